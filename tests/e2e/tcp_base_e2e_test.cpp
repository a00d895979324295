// Outgoing TCP bases over the real binary: str2str (rtklib) serves a real
// recording on a plain TCP port listed in tcpbase.txt; the caster connects
// to it, trusts it after a minute and serves rovers its RTCM 3.1 and MSM4
// streams, which convbin reads back; a base that falls silent is closed
// after 14 s and connected again once it is back; a port where nobody
// listens is retried about every 5 s. Those checks run side by side, so the
// minute of trust is paid once.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "caster_process.h"
#include "core/base64.h"
#include "platform/clock.h"
#include "replay_base.h"
#include "rinex_obs.h"
#include "stream_content.h"
#include "stream_frames.h"
#include "support/test_support.h"

namespace {

const char* const str2strPath = "/usr/bin/str2str";

// Operator settings with RTCM 3.1, RTCM 3.2 MSM, single-base streams and
// the TCP bases switched on.
std::string casterSettingsText(int roverPort)
{
    const char* lines[] = {"TCP Net", "CAN", "45.42", "-75.69", "www.example.com",
                           "127.0.0.1", nullptr, "127.0.0.1", nullptr,
                           "1", "0", "0", "0", "0", "0", "0", "1", "0", "1", "1", "1", "0",
                           "1", "200"};
    std::string text;
    for (const char* line : lines)
        text += (line ? std::string(line) : std::to_string(roverPort)) + "\r\n";
    return text;
}

pid_t startStr2str(const std::string& input, int port, const std::string& log)
{
    pid_t pid = fork();
    if (pid == 0) {
        FILE* f = freopen(log.c_str(), "a", stderr);
        (void)f;
        std::string in = "file://" + input + "::T", out = "tcpsvr://:" + std::to_string(port);
        execl(str2strPath, str2strPath, "-in", in.c_str(), "-out", out.c_str(), (char*)nullptr);
        _exit(127);
    }
    return pid;
}

void endChild(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

struct Rover {
    std::string stream;
    int fd = -1;
    Capture capture;
};

bool loginRover(Rover& r, int port, const std::string& user)
{
    r.fd = connectTo(port);
    if (r.fd < 0) return false;
    std::string credential = user + ":pass";
    return sendText(r.fd, "GET /" + r.stream + " HTTP/1.0\r\nUser-Agent: NTRIP e2e/1.0\r\n"
                          "Authorization: Basic " +
                              base64Encode(reinterpret_cast<const uint8_t*>(credential.data()),
                                           int(credential.size())) +
                              "\r\n\r\n");
}

// Reads every rover for `ms`.
void readRovers(std::vector<Rover*>& rovers, double ms)
{
    char buffer[8192];
    double end = msSinceStart() + ms;
    while (msSinceStart() < end) {
        std::vector<pollfd> fds;
        for (Rover* r : rovers) fds.push_back(pollfd{r->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 20) <= 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            ssize_t n = recv(fds[k].fd, buffer, sizeof buffer, 0);
            if (n > 0) rovers[k]->capture.append(buffer, size_t(n), msSinceStart());
        }
    }
}

// Times (ms) at which `text` appeared on the console, watched until
// `untilMs` or until `stop` returns true.
template <typename Stop>
std::vector<double> watchConsole(const CasterProcess& caster, const std::string& text,
                                 double untilMs, Stop stop)
{
    std::vector<double> seen;
    while (msSinceStart() < untilMs && !stop()) {
        int count = 0;
        std::string console = caster.console();
        for (size_t at = console.find(text); at != std::string::npos;
             at = console.find(text, at + 1))
            ++count;
        while (int(seen.size()) < count) seen.push_back(msSinceStart());
        usleep(50000);
    }
    return seen;
}

}   // namespace

TEST(TcpBaseE2E, Str2strServerIsConnectedTrustedServedClosedAndReconnected)
{
    REQUIRE_TOOLS(str2strPath, convbinPath);
    CasterProcess caster;
    Recording testglo;
    testglo.name = "testglo";
    testglo.approxTime = "2009/12/18 23:07:00";
    testglo.leapSeconds = 15;
    ASSERT_TRUE(loadRecording(testglo, dataPath("rtcm3/testglo.rtcm3"), caster.dir()));
    std::string recording = caster.dir() + "/timed.rtcm3";
    ASSERT_TRUE(writeTimedRecording(
        recording, cutIntoEpochs(std::vector<uint8_t>(testglo.bytes.begin(), testglo.bytes.end()))));

    CasterPorts ports = pickFreePorts();
    CasterPorts basePorts = pickFreePorts();
    int servedPort = basePorts.rover, refusedPort = basePorts.base;
    std::string nextYear = std::to_string(std::stoi(formatLocalTime("%Y", time(nullptr))) + 1);
    caster.writeFile("users.txt", "u1:pass 100 " + nextYear + " l f s t st z e\r\n"
                                  "u2:pass 100 " + nextYear + " l f s t st z e\r\n");
    caster.writeFile("caster.txt", casterSettingsText(ports.rover));
    caster.writeFile("tcpbase.txt", "TCPB 127.0.0.1 " + std::to_string(servedPort) +
                                        " Ottawa TestNet CAN GPS+GLO\r\n"
                                        "DEAD 127.0.0.1 " + std::to_string(refusedPort) +
                                        " Nowhere TestNet CAN GPS\r\n");
    pid_t server = startStr2str(recording, servedPort, caster.dir() + "/str2str.log");
    usleep(300000);
    double started = msSinceStart();
    ASSERT_TRUE(caster.start(ports));

    ASSERT_TRUE(caster.waitConsole("TCPbase thread SUCCESS connecting to outside IP address", 5000))
        << caster.console();
    std::printf("connected %.0f ms after the start\n", msSinceStart() - started);

    // While the minute of trust runs, the refused port's attempts are timed.
    const std::string refusal = "no server program at requested address 127.0.0.1\n";
    std::vector<double> refusals =
        watchConsole(caster, refusal, started + 75000, [&] {
            return caster.console().find("baseID TCPB is now trusted") != std::string::npos;
        });
    ASSERT_NE(caster.console().find("baseID TCPB is now trusted"), std::string::npos)
        << caster.console();
    double trustedAt = msSinceStart();
    std::printf("trusted %.0f ms after the start; %zu refusals\n", trustedAt - started,
                refusals.size());
    EXPECT_GE(refusals.size(), 10u);
    double shortest = 1e9, longest = 0;
    for (size_t i = 1; i < refusals.size(); ++i) {
        double gap = refusals[i] - refusals[i - 1];
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
        EXPECT_GT(gap, 4000) << i;
        EXPECT_LT(gap, 7000) << i;
    }
    std::printf("refused port retried every %.0f to %.0f ms\n", shortest, longest);
    EXPECT_NE(caster.console().find("TCPbase thread FAILED to connect to outside IP address "
                                    "127.0.0.1   port " + std::to_string(refusedPort)),
              std::string::npos);

    // Its RTCM 3.1 and MSM4 streams, 15 s of each, read back by convbin.
    Rover rtcm31, msm;
    rtcm31.stream = "TCPB0";
    msm.stream = "TCPB2";
    ASSERT_TRUE(loginRover(rtcm31, ports.rover, "u1"));
    ASSERT_TRUE(loginRover(msm, ports.rover, "u2"));
    std::vector<Rover*> rovers = {&rtcm31, &msm};
    readRovers(rovers, 15000);
    for (Rover* r : rovers) {
        SCOPED_TRACE(r->stream);
        size_t greeting = greetingLength(r->capture.bytes);
        ASSERT_GT(greeting, 0u) << r->capture.bytes.substr(0, 200);
        SplitStream s = splitStream(r->capture, greeting, RoverFormat::rtcm);
        EXPECT_EQ(s.error, "");
        EXPECT_GE(countFrames(s, 0, r == &msm ? 1074 : 1004), 12);
        expectConvbinMatches(r->capture, s, testglo, caster.dir(), r->stream, "GR");
    }

    // str2str stops sending but keeps its connection: silence closes the
    // slot after 14 s.
    kill(server, SIGSTOP);
    double stoppedAt = msSinceStart();
    ASSERT_TRUE(caster.waitConsole("no data activity from basestation TCPB\n", 20000))
        << caster.console();
    double closedAfter = msSinceStart() - stoppedAt;
    std::printf("closed %.0f ms after the base fell silent\n", closedAfter);
    EXPECT_GT(closedAfter, 13500);
    EXPECT_LT(closedAfter, 17000);

    // A new str2str on the same port is connected again at the next on-line
    // check, and its data keep the slot open past the silence limit.
    endChild(server);
    server = startStr2str(recording, servedPort, caster.dir() + "/str2str.log");
    double restartedAt = msSinceStart();
    ASSERT_TRUE(caster.waitConsole("TCPbase thread SUCCESS connecting to outside IP address", 30000,
                                   2))
        << caster.console();
    std::printf("reconnected %.0f ms after the restart\n", msSinceStart() - restartedAt);
    usleep(16000000);
    std::string console = caster.console();
    EXPECT_EQ(console.find("no data activity from basestation TCPB\n") ,
              console.rfind("no data activity from basestation TCPB\n"))
        << "closed again for silence";

    for (Rover* r : rovers) close(r->fd);
    endChild(server);
    EXPECT_EQ(caster.stop(3000), 0);
}
