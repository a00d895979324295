// Hostile and careless peers against the real binary: silent connections
// on both login ports, a rover that stops reading, one that reads seldom,
// a rover that repeats its request, passwords holding '/'. Nobody else may
// notice them: logins are answered at once, streams stay on time, and no
// credential shows on the console.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "caster_process.h"
#include "core/base64.h"
#include "platform/clock.h"
#include "replay_base.h"
#include "stream_frames.h"
#include "support/test_support.h"

namespace {

std::string basic(const std::string& credential)
{
    return base64Encode(reinterpret_cast<const uint8_t*>(credential.data()),
                        int(credential.size()));
}

std::string roverRequest(const std::string& stream, const std::string& credential)
{
    return "GET /" + stream + " HTTP/1.0\r\nUser-Agent: NTRIP e2e/1.0\r\nAuthorization: Basic " +
           basic(credential) + "\r\n\r\n";
}

std::string usersFile(int count)
{
    std::string nextYear = std::to_string(std::stoi(formatLocalTime("%Y", time(nullptr))) + 1);
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "u" + std::to_string(i) + ":pass 100 " + nextYear + " l f s t st z e\r\n";
    text += "watch:pa/ss 100 " + nextYear + " l f s t st z e\r\n";
    return text;
}

const char* const testgloLogin =
    "SOURCE pw /TESTGLO\r\nSource-Agent: NTRIP replay/1.0\r\nSTR: TESTGLO;Nagano;RTCM 3;"
    "1004(1),1005(10),1012(1);2;GPS+GLO;Net;JPN;35.87;138.39;0;0;replay;none;N;N;9600;t\r\n\r\n";

// A rover with the smallest receive buffer, like a GNSS receiver's small TCP
// stack. A Linux peer's default buffers would take minutes of a 300 B/s
// stream before anything waited in the caster: the kernel acknowledges what
// it buffers, and nothing on the wire tells that the application above has
// stopped reading.
constexpr int smallestReceiveBuffer = 1;

// Receives what is there now into `into` (with arrival times); false once
// the caster has closed the connection.
bool receiveNow(int fd, Capture& into, size_t most = 65536)
{
    std::vector<char> buffer(most);
    ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) into.append(buffer.data(), size_t(n), msSinceStart());
    return n != 0 && !(n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

TEST(HostilePeersE2E, RepeatedRequestAndSlashPasswordsNeverReachTheConsole)
{
    CasterProcess caster;
    caster.writeFile("base.txt", "p/w/1 /SLASH\r\nplain /OTHER\r\n");
    caster.writeFile("users.txt", usersFile(1));
    ASSERT_TRUE(caster.start());

    // A base whose password holds '/' logs in; one with a wrong slash
    // password and one that leaves out its mountpoint are refused.
    int base = connectTo(caster.ports().base);
    ASSERT_TRUE(sendText(base, "SOURCE p/w/1 /SLASH\r\nSTR: SLASH;Town;RTCM 3;x;2;GPS;N;C;1;2;\r\n"
                               "\r\n"));
    EXPECT_EQ(readAtLeast(base, 12, 2000).substr(0, 12), "ICY 200 OK\r\n");
    for (const char* login : {"SOURCE p/w/2 /SLASH\r\n\r\n", "SOURCE p/w/1\r\n\r\n"}) {
        int fd = connectTo(caster.ports().base);
        ASSERT_TRUE(sendText(fd, login));
        bool closed = false;
        EXPECT_NE(readUntilClosed(fd, 2000, closed).find("ERROR-"), std::string::npos) << login;
        close(fd);
    }

    // A rover logs in on that base and repeats its request, in two pieces.
    int rover = connectTo(caster.ports().rover);
    const std::string request = roverRequest("SLASH0", "watch:pa/ss");
    ASSERT_TRUE(sendText(rover, request));
    EXPECT_EQ(readAtLeast(rover, 12, 2000).substr(0, 12), "ICY 200 OK\r\n");
    ASSERT_TRUE(sendText(rover, request));
    ASSERT_TRUE(caster.waitConsole("checking client request from logged in user device", 2000));
    ASSERT_TRUE(sendText(rover, request.substr(0, 40)));
    usleep(100000);
    ASSERT_TRUE(sendText(rover, request.substr(40)));
    ASSERT_TRUE(caster.waitConsole("checking client request from logged in user device", 2000, 3));
    close(rover);
    close(base);
    EXPECT_EQ(caster.stop(3000), 0);

    // Everything the process printed, start to end.
    std::string console = caster.console();
    for (const std::string& secret : {std::string("p/w"), std::string("/w/"), std::string("w/1"),
                                      std::string("w/2"), std::string("plain"),
                                      std::string("pa/ss"), basic("watch:pa/ss").substr(0, 8),
                                      basic("watch:pa/ss").substr(8)})
        EXPECT_EQ(console.find(secret), std::string::npos) << secret << "\n" << console;
    EXPECT_NE(console.find("Authorization: *****"), std::string::npos) << console;
    EXPECT_NE(console.find("OK message sent base is connected"), std::string::npos);
}

// One test, so the minute a base needs to be trusted is paid once; the
// floods, the logins, the stalled and the slow rover all run at once.
TEST(HostilePeersE2E, SilentFloodsAndStalledRoversCostOthersNothing)
{
    CasterProcess caster;
    caster.writeFile("base.txt", "pw /TESTGLO\r\n");
    caster.writeFile("users.txt", usersFile(60));
    ASSERT_TRUE(caster.start());
    const CasterPorts ports = caster.ports();

    std::vector<uint8_t> recording = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    ASSERT_FALSE(recording.empty());
    ReplayBase testglo(cutIntoEpochs(recording));
    ASSERT_TRUE(testglo.login(ports.base, testgloLogin));
    testglo.start();

    // The watching rover, the one that will stop reading and the slow one.
    int watcher = connectTo(ports.rover), stalled = connectTo(ports.rover, smallestReceiveBuffer),
        slow = connectTo(ports.rover, smallestReceiveBuffer);
    ASSERT_TRUE(sendText(watcher, roverRequest("TESTGLO0", "u0:pass")));
    ASSERT_TRUE(sendText(stalled, roverRequest("TESTGLO0", "u1:pass")));
    ASSERT_TRUE(sendText(slow, roverRequest("TESTGLO0", "u2:pass")));
    ASSERT_TRUE(caster.waitConsole("baseID TESTGLO is now trusted", 75000)) << caster.console();

    Capture watched, stalledSeen, slowSeen;
    const double start = msSinceStart();
    const double floodEnd = start + 30000, end = start + 45000;
    const double stopReading = start + 3000;

    // 20 silent connections on each login port for 30 s: one the caster
    // drops after its time-out is opened again at once.
    std::atomic<bool> flooding{true};
    std::atomic<int> silentOpened{0};
    std::thread flood([&] {
        std::vector<int> fds;
        for (int i = 0; i < 40; ++i) fds.push_back(-1);
        while (msSinceStart() < floodEnd) {
            for (int i = 0; i < 40; ++i) {
                char byte;
                if (fds[i] >= 0 && recv(fds[i], &byte, 1, MSG_DONTWAIT) == 0) {
                    close(fds[i]);
                    fds[i] = -1;
                }
                if (fds[i] < 0) {
                    fds[i] = connectTo(i < 20 ? ports.base : ports.rover);
                    ++silentOpened;
                }
            }
            usleep(20000);
        }
        for (int fd : fds)
            if (fd >= 0) close(fd);
        flooding = false;
    });

    // A normal rover logs in once a second, each time a different account.
    std::vector<double> loginMs;
    std::thread logins([&] {
        usleep(500000);
        for (int k = 0; msSinceStart() < floodEnd; ++k) {
            double t0 = msSinceStart();
            int fd = connectTo(ports.rover);
            std::string reply;
            if (fd >= 0 && sendText(fd, roverRequest("TESTGLO0", "u" + std::to_string(10 + k) + ":pass")))
                reply = readAtLeast(fd, 12, 5000);
            double took = msSinceStart() - t0;
            loginMs.push_back(reply.rfind("ICY 200 OK\r\n", 0) == 0 ? took : 99999);
            if (fd >= 0) close(fd);
            double next = t0 + 1000;
            while (msSinceStart() < next) usleep(5000);
        }
    });

    bool stalledOpen = true, slowOpen = true, watcherOpen = true;
    double stalledClosedAt = -1, lastSlowRead = start, lastConsoleLook = start;
    while (msSinceStart() < end) {
        pollfd p{watcher, POLLIN, 0};
        poll(&p, 1, 10);
        if (watcherOpen) watcherOpen = receiveNow(watcher, watched);
        double now = msSinceStart();
        if (stalledOpen && now < stopReading) stalledOpen = receiveNow(stalled, stalledSeen);
        if (slowOpen && now - lastSlowRead >= 5000) {
            // One receive every 5 s.
            slowOpen = receiveNow(slow, slowSeen, 16384);
            lastSlowRead = now;
        }
        // The console is read seldom, not to slow down the watcher's reads.
        if (stalledClosedAt < 0 && now - lastConsoleLook >= 250) {
            lastConsoleLook = now;
            if (caster.console().find("client has taken no data for 30 s") != std::string::npos)
                stalledClosedAt = now;
        }
    }
    flood.join();
    logins.join();

    // Every normal login answered within a second, however many silent
    // connections were waiting.
    ASSERT_GE(loginMs.size(), 25u);
    double slowest = *std::max_element(loginMs.begin(), loginMs.end());
    EXPECT_LT(slowest, 1000) << "slowest login " << slowest << " ms";
    EXPECT_GE(silentOpened.load(), 80);   // the floods were refilled after their time-outs
    std::printf("logins: %zu, slowest %.1f ms; silent connections opened: %d\n", loginMs.size(),
                slowest, silentOpened.load());

    // The watching rover got every epoch on time meanwhile.
    SplitStream s = splitStream(watched, greetingLength(watched.bytes), RoverFormat::rtcm);
    EXPECT_EQ(s.error, "");
    std::vector<double> delays;
    for (const StreamFrame& f : s.frames) {
        if (f.id != 1004) continue;
        const uint8_t* frame = reinterpret_cast<const uint8_t*>(watched.bytes.data()) + f.offset;
        double sent = testglo.sentAtMs(rtcmGpsTowMs(frame));
        if (sent >= start) delays.push_back(f.arrivalMs - sent);
    }
    ASSERT_GE(delays.size(), 40u);
    double latest = *std::max_element(delays.begin(), delays.end());
    EXPECT_LT(latest, 100) << "latest epoch " << latest << " ms";
    std::printf("watching rover: %zu epochs, latest %.1f ms after the base sent it\n",
                delays.size(), latest);

    // The rover that stopped reading lost its slot after 30 to 40 s; the
    // slow one kept its stream.
    ASSERT_GT(stalledClosedAt, 0) << "the stalled rover was not closed";
    double stalledFor = stalledClosedAt - stopReading;
    EXPECT_GE(stalledFor, 30000);
    EXPECT_LE(stalledFor, 40000);
    std::printf("stalled rover closed %.1f s after it stopped reading\n", stalledFor / 1000);
    EXPECT_TRUE(slowOpen);
    EXPECT_TRUE(watcherOpen);
    EXPECT_EQ(countOf(caster.console(), "client has taken no data for 30 s"), 1);
    EXPECT_GT(slowSeen.bytes.size(), 8000u);

    testglo.stop();
    close(watcher);
    close(stalled);
    close(slow);
    EXPECT_EQ(caster.stop(3000), 0);
}

}   // namespace
