#include "rtk_compare.h"

#include "support/double_differences.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

bool runRnx2rtkp(const std::string& confFile, const std::string& extraOptions,
                 const std::string& roverObs, const std::string& baseObs,
                 const std::string& navFile, const double basePosition[3],
                 const std::string& start, const std::string& end, const std::string& posFile,
                 const std::string& workDir)
{
    std::string conf = workDir + "/" + std::to_string(getpid()) + "-" +
                       std::to_string(std::hash<std::string>{}(posFile)) + ".conf";
    {
        std::ifstream in(confFile);
        std::ofstream out(conf);
        out << in.rdbuf() << "\n" << extraOptions << "\n";
    }
    char x[32], y[32], z[32];
    std::snprintf(x, sizeof x, "%.4f", basePosition[0]);
    std::snprintf(y, sizeof y, "%.4f", basePosition[1]);
    std::snprintf(z, sizeof z, "%.4f", basePosition[2]);
    std::string ts0 = start.substr(0, start.find(' ')), ts1 = start.substr(start.find(' ') + 1);
    std::string te0 = end.substr(0, end.find(' ')), te1 = end.substr(end.find(' ') + 1);
    return runQuietly({rnx2rtkpPath, "-k", conf, "-r", x, y, z, "-ts", ts0, ts1, "-te", te0, te1,
                       "-o", posFile, roverObs, baseObs, navFile},
                      600000);
}

namespace {

// East and north of an ECEF offset at the true position.
double horizontal(const double truth[3], const double p[3])
{
    double lon = std::atan2(truth[1], truth[0]);
    double lat = std::atan2(truth[2], std::hypot(truth[0], truth[1]));   // geocentric: enough here
    double dx = p[0] - truth[0], dy = p[1] - truth[1], dz = p[2] - truth[2];
    double e = -std::sin(lon) * dx + std::cos(lon) * dy;
    double n = -std::sin(lat) * std::cos(lon) * dx - std::sin(lat) * std::sin(lon) * dy +
               std::cos(lat) * dz;
    return std::hypot(e, n);
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    size_t k = size_t(std::min(double(v.size() - 1), std::floor(q * double(v.size()))));
    return v[k];
}

}   // namespace

RtkFigures rtkFigures(const std::string& posFile, const double truth[3], bool fixedOnly)
{
    RtkFigures f;
    std::ifstream in(posFile);
    std::string line;
    std::vector<double> errors;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '%') continue;
        std::istringstream words(line);
        double week, tow, p[3];
        int q;
        if (!(words >> week >> tow >> p[0] >> p[1] >> p[2] >> q)) continue;
        ++f.epochs;
        if (q == 1) ++f.fixed;
        if (!fixedOnly || q == 1) errors.push_back(horizontal(truth, p));
    }
    if (f.epochs) f.fixRatio = double(f.fixed) / f.epochs;
    f.horizontalMedian = percentile(errors, 0.5);
    f.horizontal95 = percentile(errors, 0.95);
    return f;
}

double ddIonosphereRms(const RinexObs& rover, const RinexObs& reference, uint32_t fromTowMs,
                       uint32_t toTowMs, int& pairs)
{
    // Geometry-free code C2W - C1C = I2 - I1 = (gamma - 1) I1, gamma = (f1/f2)^2.
    const double gammaMinus1 = (154.0 * 154.0) / (120.0 * 120.0) - 1.0;
    // Single differences rover - reference per epoch and satellite.
    std::vector<std::map<std::string, double>> sd;
    for (const auto& [epoch, sats] : rover) {
        uint32_t tow = rinexTowMs(epoch);
        if (tow < fromTowMs || tow >= toTowMs) continue;
        auto ref = reference.find(epoch);
        if (ref == reference.end()) continue;
        std::map<std::string, double>& epochSd = sd.emplace_back();
        for (const auto& [sat, values] : sats) {
            if (sat[0] != 'G') continue;
            auto other = ref->second.find(sat);
            if (other == ref->second.end()) continue;
            auto get = [](const std::map<std::string, double>& v, const char* type) {
                auto it = v.find(type);
                return it == v.end() ? 0.0 : it->second;
            };
            double r1 = get(values, "C1C"), r2 = get(values, "C2W");
            double b1 = get(other->second, "C1C"), b2 = get(other->second, "C2W");
            if (r1 == 0 || r2 == 0 || b1 == 0 || b2 == 0) continue;
            epochSd[sat] = ((r2 - r1) - (b2 - b1)) / gammaMinus1;
        }
    }
    // Sixty epochs at least, to average the code noise down.
    return meanDoubleDifferenceRms(sd, 60, pairs);
}
