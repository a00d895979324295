#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "caster/rover_thread.h"
#include "caster/stream_sender.h"
#include "core/rover_wake.h"
#include "platform/clock.h"
#include "rover_test_support.h"

#include <poll.h>

using namespace rovertest;

namespace {

// "$" + body + "*" + checksum + CR LF.
std::string nmea(const std::string& body)
{
    unsigned x = 0;
    for (char ch : body) x ^= static_cast<unsigned char>(ch);
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02X", x);
    return "$" + body + "*" + sum + "\r\n";
}

// 48 deg 07.038' N, 11 deg 31.000' E.
const std::string ggaFixed = nmea("GPGGA,123519,4807.038,N,01131.000,E,4,08,0.9,545.4,M,46.9,M,,");
const std::string ggaSingle = nmea("GPGGA,123520,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");

void feed(int slot, const std::string& text)
{
    handleRoverInput(slot, text.data(), uint32_t(text.size()));
}

void placeBase(int slot, double lat, double lon)
{
    makeTrustedBase(slot);
    baseStation[slot].strLatitude = lat;
    baseStation[slot].strLongitude = lon;
}

class RoverThread : public RoverTest {};

// Whether the rover thread would be woken now.
bool woken()
{
    pollfd p{wakeHandle(roverWake), POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

}   // namespace

TEST_F(RoverThread, GgaInPiecesSetsPositionAndNearestBase)
{
    placeBase(3, 48.2, 11.5);   // about 9 km away
    placeBase(1, 48.9, 11.5);
    SocketPair p = pair();
    attachRover(0, p.caster, 10, -1);
    Client& c = client[0];

    feed(0, ggaFixed.substr(0, 20));
    EXPECT_EQ(c.latitude, 0.0);
    feed(0, ggaFixed.substr(20));
    EXPECT_NEAR(c.latitude, 48.1173, 1e-4);
    EXPECT_NEAR(c.longitude, 11.516667, 1e-5);
    EXPECT_EQ(c.fixQuality, 4);
    EXPECT_EQ(c.satellites, 8);
    EXPECT_EQ(c.masterBase, 3);
    EXPECT_EQ(c.auxBase[0], 1);
    std::string log = takeConsole();
    EXPECT_NE(log.find("client is fixed\r\n\r\n"), std::string::npos);

    // A sentence without a line end counts once its checksum is in; one
    // after an overlong line of noise still counts.
    c.fixQuality = 0;
    std::string bare = ggaSingle.substr(0, ggaSingle.size() - 2);
    feed(0, bare.substr(0, bare.size() - 1));
    EXPECT_EQ(c.fixQuality, 0);
    feed(0, bare.substr(bare.size() - 1));
    EXPECT_EQ(c.fixQuality, 1);
    EXPECT_EQ(takeConsole().find("client is"), std::string::npos);   // no line for fix 1
    feed(0, "\r\n" + std::string(600, 'x') + ggaFixed);
    EXPECT_EQ(c.fixQuality, 4);

    // A position no receiver reports is ignored.
    feed(0, nmea("GPGGA,1,9999.999,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_NEAR(c.latitude, 48.1173, 1e-4);
}

TEST_F(RoverThread, RequestAfterLoginGetsNoSecondReply)
{
    SocketPair p = pair();
    attachRover(0, p.caster, 0, -1);
    const std::string request = "GET /MOUNT0 HTTP/1.0\r\nUser-Agent: NTRIP test\r\n"
                                "Authorization: Basic dGVzdDp0ZXN0\r\n\r\n";
    std::string twice = request + request;
    ASSERT_EQ(write(p.rover, twice.data(), twice.size()), ssize_t(twice.size()));
    EXPECT_GT(roverReadPass(100), 0);
    roverSendPass(1000);
    EXPECT_TRUE(drain(p.rover).empty());
    EXPECT_TRUE(client[0].active);
    std::string log = takeConsole();
    const std::string requestLine = "checking client request from logged in user device\n";
    size_t first = log.find(requestLine);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(requestLine, first + 1), std::string::npos);   // once per block
    EXPECT_EQ(log.find("sending connect OK"), std::string::npos);

    // A block that brings a GGA is no request; one that brings anything else is.
    feed(0, ggaSingle);
    EXPECT_EQ(takeConsole().find(requestLine), std::string::npos);
    feed(0, "$GPGSA,A,3,,,,,,,,,,,,,1.0,1.0,1.0*33\r\n");
    EXPECT_NE(takeConsole().find(requestLine), std::string::npos);
}

TEST_F(RoverThread, EveryRoverSlotIsRead)
{
    placeBase(0, 48.2, 11.5);
    std::vector<SocketPair> pairs;
    for (int i = 0; i < maxClients; ++i) {
        pairs.push_back(pair());
        attachRover(i, pairs.back().caster, 10, -1);
    }
    for (int i : {0, 64, 99})
        ASSERT_EQ(write(pairs[size_t(i)].rover, ggaFixed.data(), ggaFixed.size()),
                  ssize_t(ggaFixed.size()));
    hangUp(pairs[70].rover);
    EXPECT_EQ(roverReadPass(100), 4);
    for (int i : {0, 64, 99}) {
        EXPECT_EQ(client[i].masterBase, 0) << i;
        EXPECT_NEAR(client[i].latitude, 48.1173, 1e-4) << i;
    }
    EXPECT_EQ(client[63].masterBase, -1);
    EXPECT_FALSE(client[70].active);
    EXPECT_NE(takeConsole().find("client closed connection gracefully\n"), std::string::npos);
}

TEST_F(RoverThread, SecondNearestStreamIsServedFromTheNearestNctBase)
{
    placeBase(0, 48.15, 11.5);            // nearest, sends RTCM
    placeBase(1, 48.4, 11.5);
    baseStation[1].nctInput = 1;          // sends NCT itself
    keep(1, kindNct5E, rtcmFrame(1999, 30), 100);
    SocketPair p = pair();
    attachRover(0, p.caster, 13, -1);
    client[0].secondNearest = true;

    feed(0, ggaFixed);
    EXPECT_EQ(client[0].masterBase, 1);
    roverSendPass(1000);
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), std::vector<int>{1999});
}

TEST_F(RoverThread, ThreadServesRoversAndFreesTheirSlotsWhenStopped)
{
    placeBase(0, 48.2, 11.5);
    SocketPair p = pair();
    attachRover(0, p.caster, 10, -1);
    keep(0, kind1004, rtcmFrame(1004, 40), 100);
    std::thread worker(clientThread);

    ASSERT_EQ(write(p.rover, ggaFixed.data(), ggaFixed.size()), ssize_t(ggaFixed.size()));
    std::vector<uint8_t> got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
        usleep(5000);
        got = drain(p.rover);
    }
    EXPECT_EQ(rtcmNumbers(got), std::vector<int>{1004});

    dataThreadsRun = false;
    worker.join();
    EXPECT_FALSE(client[0].active);
    EXPECT_EQ(client[0].clientSocket, invalidSocket);
}

TEST_F(RoverThread, StoredMessageWakesTheThreadOnlyForABaseItServes)
{
    ASSERT_GE(wakeHandle(roverWake), 0);
    makeTrustedBase(0);
    makeTrustedBase(5);
    SocketPair p = pair();
    attachRover(0, p.caster, 0, 0);
    roverSendPass(1000);                // learns that base 0 is served
    roverReadPass(0);                   // takes whatever woke it before
    EXPECT_FALSE(woken());

    keep(5, kind1004, rtcmFrame(1004, 40), 2000);
    EXPECT_FALSE(woken());
    // Nor does a kind the rover's stream does not take.
    keep(0, kind1074, rtcmFrame(1074, 40), 2000);
    EXPECT_FALSE(woken());
    keep(0, kind1004, rtcmFrame(1004, 40), 2000);
    keep(0, kind1012, rtcmFrame(1012, 40), 2000);
    EXPECT_TRUE(woken());
    // Taken once, whatever number of messages came; the next store wakes it
    // again.
    EXPECT_EQ(roverReadPass(0), 0);
    EXPECT_FALSE(woken());
    roverSendPass(1001);
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), (std::vector<int>{1004, 1012}));
    keep(0, kind1004, rtcmFrame(1004, 40), 3000);
    EXPECT_TRUE(woken());
    roverReadPass(0);

    // The base leaving wakes it too: its rovers are closed in the next pass.
    resetBaseStation(baseStation[0]);
    EXPECT_TRUE(woken());
    roverReadPass(0);
    roverSendPass(1002);
    EXPECT_FALSE(client[0].active);
    // With nobody served, stores wake nothing.
    roverSendPass(1003);
    keep(5, kind1004, rtcmFrame(1004, 40), 4000);
    EXPECT_FALSE(woken());
}

TEST_F(RoverThread, TurnWaitsForTheSoonestTimedWorkAndNoLonger)
{
    uint32_t now = clockMs() + 100000;
    // Nobody connected: the idle turn.
    EXPECT_EQ(roverTurnWaitMs(clockMs()), 100);

    SocketPair keptAlive = pair();
    attachRover(0, keptAlive.caster, 10, -1);
    client[0].lastSent1013 = now - 4990;
    EXPECT_EQ(roverDueInMs(0, now), 10u);
    // Due by now and left by the pass (a full socket): not timed.
    client[0].lastSent1013 = now - 5000;
    EXPECT_EQ(roverDueInMs(0, now), UINT32_MAX);
    client[0].lastSent1013 = now - 1000;
    EXPECT_EQ(roverDueInMs(0, now), 4000u);
    // A rover that stopped taking data is due at the stall limit.
    client[0].outputStalled = true;
    client[0].stalledSinceMs = now - roverStallLimitMs + 20;
    EXPECT_EQ(roverDueInMs(0, now), 21u);
    client[0].outputStalled = false;

    // Network frames wait 200 ms after the epoch, for the systems the
    // stream serves, once the master is trusted.
    makeTrustedBase(2);
    SocketPair imac = pair();
    attachRover(1, imac.caster, 32, 2);
    client[1].netPending[netSystemGal] = true;
    client[1].netPendingClock[netSystemGal] = now - 150;
    client[1].netPending[netSystemGps] = true;
    client[1].netPendingClock[netSystemGps] = now - 120;
    EXPECT_EQ(roverDueInMs(1, now), 50u);
    client[1].streamCode = 34;   // CMR iMAC builds no Galileo frames
    EXPECT_EQ(roverDueInMs(1, now), 80u);
    client[1].streamCode = 0;    // a single-base stream reads no flag
    EXPECT_EQ(roverDueInMs(1, now), UINT32_MAX);
    client[1].streamCode = 32;
    baseStation[2].trusted = 0;
    EXPECT_EQ(roverDueInMs(1, now), UINT32_MAX);
    baseStation[2].trusted = 1;

    // The turn takes the soonest of all rovers as the last pass left them,
    // less the time already spent.
    uint32_t pass = clockMs();
    client[0].lastSent1013 = pass - 4000;
    client[1].netPendingClock[netSystemGal] = pass - 170;
    roverSendPass(pass);
    int wait = roverTurnWaitMs(pass);
    EXPECT_LE(wait, 30);
    EXPECT_GE(wait, 20);
    // With only the keep-alive a second ahead, the turn sleeps that long:
    // everything else wakes the thread.
    client[1].netPending[netSystemGal] = client[1].netPending[netSystemGps] = false;
    roverSendPass(pass);
    EXPECT_LE(roverTurnWaitMs(pass), 1000);
    EXPECT_GE(roverTurnWaitMs(pass), 950);
    // Keep-alives due shortly after the first are gathered into its turn,
    // so each is at most that much late and they stay together after.
    SocketPair later = pair();
    attachRover(2, later.caster, 10, -1);
    client[2].lastSent1013 = pass - 4000 + 30;
    SocketPair apart = pair();
    attachRover(3, apart.caster, 10, -1);
    client[3].lastSent1013 = pass - 4000 + 300;
    roverSendPass(pass);
    // The wait is counted from the pass: the milliseconds a slow (sanitized)
    // build spends since then are already part of it.
    const int gathered = roverTurnWaitMs(pass);
    EXPECT_GE(gathered + int(clockMs() - pass), 1000);
    EXPECT_LE(gathered, 1030);
}

// A turn that brought nothing serves only the rovers whose time has come;
// the others would have nothing to be sent.
TEST_F(RoverThread, QuietTurnServesOnlyTheRoversThatAreDue)
{
    SocketPair a = pair(), b = pair();
    attachRover(0, a.caster, 10, -1);
    attachRover(1, b.caster, 10, -1);
    uint32_t now = clockMs();
    client[0].lastSent1013 = now - 4000;
    client[1].lastSent1013 = now - 4500;
    std::thread worker(clientThread);
    // The first turn serves both (nothing due), then each is kept alive on
    // its own time.
    std::vector<double> arrivals[2];
    SocketPair* pairs[2] = {&a, &b};
    uint32_t start = clockMs();
    while (clockMs() - start < 1300) {
        usleep(5000);
        for (int k = 0; k < 2; ++k)
            if (!drain(pairs[k]->rover).empty()) arrivals[k].push_back(clockMs() - now);
    }
    dataThreadsRun = false;
    worker.join();
    ASSERT_EQ(arrivals[1].size(), 1u);
    ASSERT_EQ(arrivals[0].size(), 1u);
    EXPECT_NEAR(arrivals[1][0], 500, 60);
    EXPECT_NEAR(arrivals[0][0], 1000, 60);
}

// A message stored for one base brings a turn that serves that base's
// rovers, and leaves the others untouched.
TEST_F(RoverThread, MessageOfOneBaseServesOnlyItsRovers)
{
    makeTrustedBase(0);
    makeTrustedBase(1);
    SocketPair a = pair(), b = pair();
    attachRover(0, a.caster, 0, 0);
    attachRover(1, b.caster, 0, 1);
    std::thread worker(clientThread);
    // Past the first pass and the interval after which a served rover's
    // socket is looked at again.
    usleep(1100 * 1000);
    uint32_t sampledB = client[1].takeSampleMs;
    uint32_t sampledA = client[0].takeSampleMs;
    keep(0, kind1004, rtcmFrame(1004, 40), 5000);
    std::vector<uint8_t> got;
    for (int i = 0; i < 200 && got.empty(); ++i) {
        usleep(5000);
        got = drain(a.rover);
    }
    EXPECT_EQ(rtcmNumbers(got), std::vector<int>{1004});
    EXPECT_NE(client[0].takeSampleMs, sampledA);
    EXPECT_EQ(client[1].takeSampleMs, sampledB);
    EXPECT_TRUE(drain(b.rover).empty());
    keep(1, kind1012, rtcmFrame(1012, 40), 5000);
    got.clear();
    for (int i = 0; i < 200 && got.empty(); ++i) {
        usleep(5000);
        got = drain(b.rover);
    }
    EXPECT_EQ(rtcmNumbers(got), std::vector<int>{1012});
    dataThreadsRun = false;
    worker.join();
}
