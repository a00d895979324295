#include "rinex_obs.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool runQuietly(const std::vector<std::string>& argv, int timeoutMs)
{
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) return false;
    int status = 0;
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

bool runConvbin(const std::string& rtcmFile, const std::string& obsFile,
                const std::string& approxTime)
{
    std::string date = approxTime.substr(0, approxTime.find(' '));
    std::string time = approxTime.substr(approxTime.find(' ') + 1);
    return runQuietly({convbinPath, "-r", "rtcm3", "-tr", date, time, "-o", obsFile, rtcmFile},
                      30000);
}

RinexObs readRinexObs(const std::string& obsFile)
{
    RinexObs obs;
    std::ifstream in(obsFile);
    std::map<char, std::vector<std::string>> types;
    std::string line, epoch;
    char system = 0;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            if (line.find("SYS / # / OBS TYPES") != std::string::npos) {
                // Continuation lines leave the system blank.
                if (line[0] != ' ') system = line[0];
                std::istringstream words(line.substr(7, 53));
                std::string t;
                while (words >> t) types[system].push_back(t);
            }
            if (line.find("END OF HEADER") != std::string::npos) header = false;
            continue;
        }
        if (line.rfind("> ", 0) == 0) {
            epoch = line.substr(2, 19);
            continue;
        }
        if (line.size() < 3 || epoch.empty()) continue;
        std::string sat = line.substr(0, 3);
        const auto& list = types[sat[0]];
        for (size_t i = 0; i < list.size(); ++i) {
            size_t at = 3 + 16 * i;
            if (at >= line.size()) break;
            std::string field = line.substr(at, 14);
            if (field.find_first_not_of(' ') == std::string::npos) continue;
            obs[epoch][sat][list[i]] = std::atof(field.c_str());
        }
    }
    return obs;
}

uint32_t rinexTowMs(const std::string& epoch)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::istringstream(epoch) >> y >> mo >> d >> h >> mi >> s;
    // Days since 1970-01-01 of a civil date (proleptic Gregorian).
    auto days = [](int y, int m, int d) {
        y -= m <= 2;
        int era = (y >= 0 ? y : y - 399) / 400;
        int yoe = y - era * 400;
        int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return era * 146097 + doe - 719468;
    };
    int sinceGpsEpoch = days(y, mo, d) - days(1980, 1, 6);
    return uint32_t(((sinceGpsEpoch % 7) * 86400 + h * 3600 + mi * 60 + s)) * 1000u;
}

namespace {

// Values of one satellite of one kind ('C', 'L') in one band ('1', '2').
std::vector<double> band(const std::map<std::string, double>& sat, char kind, char number)
{
    std::vector<double> v;
    for (const auto& [type, value] : sat)
        if (type.size() == 3 && type[0] == kind && type[1] == number) v.push_back(value);
    return v;
}

}   // namespace

ObsComparison compareObs(const RinexObs& reference, const RinexObs& stream,
                         const std::string& systems, double codeTolM, double phaseTolCyc)
{
    ObsComparison r;
    auto problem = [&](const std::string& text) {
        if (r.problems.size() < 20) r.problems.push_back(text);
    };
    for (const auto& [epoch, sats] : stream) {
        auto ref = reference.find(epoch);
        if (ref == reference.end()) {
            problem(epoch + ": epoch not in the recording");
            continue;
        }
        ++r.epochs;
        for (char system : systems) {
            std::set<std::string> mine, theirs;
            for (const auto& s : sats)
                if (s.first[0] == system) mine.insert(s.first);
            for (const auto& s : ref->second)
                if (s.first[0] == system) theirs.insert(s.first);
            if (mine.empty() && !theirs.empty())
                ++r.systemsMissing;
            else if (mine != theirs)
                problem(epoch + ": other " + system + " satellites");
            for (const std::string& sat : mine) {
                if (!theirs.count(sat)) continue;
                const auto& ours = sats.at(sat);
                const auto& truth = ref->second.at(sat);
                for (char kind : {'C', 'L'})
                    for (char number : {'1', '2'}) {
                        std::vector<double> want = band(truth, kind, number);
                        std::vector<double> got = band(ours, kind, number);
                        if (want.empty()) continue;
                        if (got.empty()) {
                            problem(epoch + " " + sat + ": no " + kind + number);
                            continue;
                        }
                        for (double g : got) {
                            double best = 1e300;
                            for (double w : want) best = std::min(best, std::fabs(g - w));
                            ++r.values;
                            double& worst = kind == 'C' ? r.worstCodeM : r.worstPhaseCyc;
                            worst = std::max(worst, best);
                            if (best > (kind == 'C' ? codeTolM : phaseTolCyc))
                                problem(epoch + " " + sat + " " + kind + number + " off by " +
                                        std::to_string(best));
                        }
                    }
            }
        }
    }
    return r;
}
