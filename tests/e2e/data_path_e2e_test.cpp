// The main road end to end, over the real binary: two reference stations
// replay their recordings in real time, and once the caster trusts them
// (a minute of data) rovers take every format from them, single-base and
// nearest-base; then one base drops out mid-frame, the other speeds up, a
// rover hangs up with data unread and another stops reading, and everybody
// else must go on being served on time.
//
// All of it is one test: the minute of trust is paid once. A second one
// counts every epoch of every format over a longer run. With E2E_DUMP
// naming a directory, the rovers' streams and the caster's console are left
// there for a look at a failure.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "caster_process.h"
#include "core/base64.h"
#include "core/checksum.h"
#include "platform/clock.h"
#include "replay_base.h"
#include "stream_content.h"
#include "stream_frames.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

struct Rover {
    std::string stream;   // what it asks for
    RoverFormat format = RoverFormat::rtcm;
    const Recording* source = nullptr;
    std::string user;
    int fd = -1;
    Capture capture;
    double closedAtMs = -1;   // when the caster closed it, -1 while open
    ~Rover()
    {
        if (fd >= 0) close(fd);
    }
};

std::string casterSettingsText(int roverPort)
{
    // Line by line: operator, country, latitude, longitude, web address,
    // address, port, fallback address and port; then the switches RTCM 3.2,
    // CMR, BINR, NCT, nearest base, MAC, iMAC, troposphere, FKP, RTCM 3.1,
    // single base, TCP bases, ERP, GLONASS in NCT; the region radius.
    const char* lines[] = {"Test Net", "JPN", "35.87", "138.39", "www.example.com",
                           "127.0.0.1", nullptr, "127.0.0.1", nullptr,
                           "1", "1", "1", "1", "1", "0", "0", "1", "0", "1", "1", "0", "0",
                           "1", "200"};
    std::string text;
    for (const char* line : lines)
        text += (line ? std::string(line) : std::to_string(roverPort)) + "\r\n";
    return text;
}

std::string baseLogin(const std::string& mountpoint, const std::string& city, double lat,
                      double lon, const std::string& messages, const std::string& systems)
{
    char position[64];
    std::snprintf(position, sizeof position, "%.2f;%.2f", lat, lon);
    return "SOURCE pw /" + mountpoint + "\r\nSource-Agent: NTRIP replay/1.0\r\nSTR: " +
           mountpoint + ";" + city + ";RTCM 3;" + messages + ";2;" + systems + ";Net;JPN;" +
           position + ";0;0;replay;none;N;N;9600;test\r\n\r\n";
}

std::string roverRequest(const std::string& stream, const std::string& user)
{
    std::string credential = user + ":pass";
    return "GET /" + stream + " HTTP/1.0\r\nUser-Agent: NTRIP e2e/1.0\r\nAuthorization: Basic " +
           base64Encode(reinterpret_cast<const uint8_t*>(credential.data()),
                        int(credential.size())) +
           "\r\n\r\n";
}

std::string ggaSentence(const char* body)
{
    unsigned char sum = 0;
    for (const char* p = body; *p; ++p) sum ^= static_cast<unsigned char>(*p);
    char text[160];
    std::snprintf(text, sizeof text, "$%s*%02X\r\n", body, sum);
    return text;
}

bool loginRover(Rover& r, int port, int receiveBuffer = 0)
{
    r.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
        // Set before the connection exists, so the window stays this small.
        setsockopt(r.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        setsockopt(r.fd, IPPROTO_TCP, TCP_WINDOW_CLAMP, &receiveBuffer, sizeof receiveBuffer);
        int segment = 88;
        setsockopt(r.fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(r.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    return sendText(r.fd, roverRequest(r.stream, r.user));
}

// Reads every open rover until `untilMs`, or until `tick`, which runs
// between polls, returns false.
template <typename Tick>
void pump(std::vector<Rover*>& rovers, double untilMs, Tick tick)
{
    char buffer[8192];
    while (msSinceStart() < untilMs) {
        std::vector<pollfd> fds;
        std::vector<Rover*> owners;
        for (Rover* r : rovers) {
            if (r->fd < 0 || r->closedAtMs >= 0) continue;
            fds.push_back(pollfd{r->fd, POLLIN, 0});
            owners.push_back(r);
        }
        int wait = int(std::clamp(untilMs - msSinceStart(), 0.0, 20.0));
        if (poll(fds.data(), fds.size(), wait) > 0) {
            double now = msSinceStart();
            for (size_t k = 0; k < fds.size(); ++k) {
                if (!fds[k].revents) continue;
                ssize_t n = recv(fds[k].fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    owners[k]->closedAtMs = now;
                else
                    owners[k]->capture.append(buffer, size_t(n), now);
            }
        }
        if (!tick(msSinceStart())) return;
    }
}

// Reads until nothing has come for `quietMs` (at most `limitMs` in all).
void drain(Rover& r, int quietMs, int limitMs)
{
    char buffer[8192];
    double end = msSinceStart() + limitMs;
    while (msSinceStart() < end) {
        pollfd p {r.fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0) return;
        ssize_t n = recv(r.fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        r.capture.append(buffer, size_t(n), msSinceStart());
    }
}

// Reads into the capture until the whole login reply has arrived.
bool awaitGreeting(Rover& r, int timeoutMs)
{
    char buffer[8192];
    double end = msSinceStart() + timeoutMs;
    while (greetingLength(r.capture.bytes) == 0) {
        int left = int(end - msSinceStart());
        if (left <= 0) return false;
        pollfd p {r.fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        ssize_t n = recv(r.fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        r.capture.append(buffer, size_t(n), msSinceStart());
    }
    return true;
}

// The frame of each epoch in a rover's stream: (format, id) as
// stream_frames numbers them.
std::pair<int, int> epochFrame(const Rover& r)
{
    switch (r.format) {
    case RoverFormat::binr: return {1, 0x69};
    case RoverFormat::nct: return {2, 0x5E};
    case RoverFormat::cmr: return {3, 0};
    default: return {0, r.stream.back() == '2' ? 1074 : 1004};
    }
}

SplitStream split(const Rover& r)
{
    return splitStream(r.capture, greetingLength(r.capture.bytes), r.format);
}

// Median and largest delay from a base's send of an epoch to a rover's
// receipt of its observation frame, over the frames of the window.
void relayDelays(const Rover& r, const SplitStream& s, const ReplayBase& base, double fromMs,
                 double toMs, double& median, double& largest, int& count)
{
    std::vector<double> delays;
    auto [format, id] = epochFrame(r);
    for (const StreamFrame& f : s.frames) {
        if (f.format != format || f.id != id || f.arrivalMs < fromMs || f.arrivalMs >= toMs)
            continue;
        const uint8_t* frame = reinterpret_cast<const uint8_t*>(r.capture.bytes.data()) + f.offset;
        double sent = base.sentAtMs(rtcmGpsTowMs(frame));
        if (sent >= 0) delays.push_back(f.arrivalMs - sent);
    }
    std::sort(delays.begin(), delays.end());
    count = int(delays.size());
    median = delays.empty() ? 0 : delays[delays.size() / 2];
    largest = delays.empty() ? 0 : delays.back();
}

void dumpCapture(const Rover& r)
{
    const char* dir = std::getenv("E2E_DUMP");
    if (!dir) return;
    std::ofstream(std::string(dir) + "/" + r.stream + "-" + r.user + ".bin", std::ios::binary)
        << r.capture.bytes;
}

// Starts the caster with twenty users and the two bases' passwords, every
// format and stream switched on.
void startCaster(CasterProcess& caster, const CasterPorts& ports)
{
    std::string nextYear = std::to_string(std::stoi(formatLocalTime("%Y", time(nullptr))) + 1);
    std::string users;
    for (int i = 0; i < 20; ++i)
        users += "u" + std::to_string(i) + ":pass 100 " + nextYear + " l f s t st z e\r\n";
    caster.writeFile("users.txt", users);
    caster.writeFile("base.txt", "pw /TESTGLO\r\npw /GMSD\r\n");
    caster.writeFile("caster.txt", casterSettingsText(ports.rover));
    ASSERT_TRUE(caster.start(ports));
}

// testglo (GPS + GLONASS legacy observations and 1005) and gmsd7 (MSM4
// only) log in and replay; they are trusted after more than 60 s of data.
void startTrustedBases(const CasterProcess& caster, ReplayBase& testglo, ReplayBase& gmsd)
{
    ASSERT_TRUE(testglo.login(caster.ports().base,
                              baseLogin("TESTGLO", "Nagano", 35.873, 138.390,
                                        "1004(1),1005(10),1012(1)", "GPS+GLO")));
    ASSERT_TRUE(gmsd.login(caster.ports().base,
                           baseLogin("GMSD", "Tanegashima", 30.556, 131.016,
                                     "1074(1),1084(1),1124(1)", "GPS+GLO+BDS")));
    testglo.start();
    gmsd.start();
    ASSERT_TRUE(caster.waitConsole("baseID TESTGLO is now trusted", 75000)) << caster.console();
    ASSERT_TRUE(caster.waitConsole("baseID GMSD is now trusted", 5000)) << caster.console();
}

}   // namespace

TEST(DataPathE2E, TrustedBasesServeEveryFormatAndSurviveFailures)
{
    REQUIRE_TOOLS(convbinPath);
    CasterProcess caster;

    // The recordings and what convbin reads from them. gmsd7 stamps its
    // BeiDou epochs with GPS time, which makes convbin drop its GPS and
    // GLONASS epochs; it reads them from the GPS and GLONASS messages alone.
    Recording testgloRec, gmsdRec;
    testgloRec.name = "testglo";
    testgloRec.approxTime = "2009/12/18 23:07:00";
    testgloRec.leapSeconds = 15;
    gmsdRec.name = "gmsd7";
    gmsdRec.approxTime = "2012/10/13 23:59:44";
    gmsdRec.leapSeconds = 16;
    ASSERT_TRUE(loadRecording(testgloRec, dataPath("rtcm3/testglo.rtcm3"), caster.dir()));
    std::vector<uint8_t> gmsdBytes = readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"));
    ASSERT_TRUE(loadRecording(gmsdRec, dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"), caster.dir(),
                              gpsGloMsmOnly(std::string(gmsdBytes.begin(), gmsdBytes.end()))));

    CasterPorts ports = pickFreePorts();
    ASSERT_NO_FATAL_FAILURE(startCaster(caster, ports));

    ReplayBase testglo(cutIntoEpochs(std::vector<uint8_t>(testgloRec.bytes.begin(),
                                                          testgloRec.bytes.end())));
    ReplayBase gmsd(cutIntoEpochs(gmsdBytes));
    ASSERT_EQ(testglo.epochCount(), 186u);
    ASSERT_EQ(gmsd.epochCount(), 106u);
    ASSERT_NO_FATAL_FAILURE(startTrustedBases(caster, testglo, gmsd));

    // Every format from both bases, the nearest base, a rover that will hang
    // up with unread data and one that never reads.
    std::vector<std::unique_ptr<Rover>> owned;
    std::vector<Rover*> rovers;
    auto addRover = [&](const std::string& stream, RoverFormat format, const Recording& source) {
        owned.push_back(std::make_unique<Rover>());
        Rover* r = owned.back().get();
        r->stream = stream;
        r->format = format;
        r->source = &source;
        r->user = "u" + std::to_string(owned.size());
        return r;
    };
    const RoverFormat formats[5] = {RoverFormat::rtcm, RoverFormat::binr, RoverFormat::rtcm,
                                    RoverFormat::nct, RoverFormat::cmr};
    for (int f = 0; f < 5; ++f) {
        rovers.push_back(addRover("TESTGLO" + std::to_string(f), formats[f], testgloRec));
        rovers.push_back(addRover("GMSD" + std::to_string(f), formats[f], gmsdRec));
    }
    Rover* msmReader = rovers[4];   // TESTGLO2
    Rover* nearRover = addRover("RTCM31_NEAR", RoverFormat::rtcm, testgloRec);
    rovers.push_back(nearRover);
    Rover* hangUp = addRover("TESTGLO0", RoverFormat::rtcm, testgloRec);
    Rover* nonReader = addRover("TESTGLO2", RoverFormat::rtcm, testgloRec);

    for (Rover* r : rovers) ASSERT_TRUE(loginRover(*r, ports.rover)) << r->stream;
    ASSERT_TRUE(loginRover(*hangUp, ports.rover));
    // The smallest window and segments the kernel allows: the caster's
    // sends to it fill up within the test.
    ASSERT_TRUE(loginRover(*nonReader, ports.rover, 1));
    double phaseA = msSinceStart();
    // A rover sends its position once it has the reply. This one is 5 km
    // from the testglo station and 900 km from gmsd7.
    ASSERT_TRUE(awaitGreeting(*nearRover, 3000));
    ASSERT_TRUE(sendText(nearRover->fd, ggaSentence("GPGGA,230700.00,3550.0000,N,13823.4000,E,"
                                                    "1,10,1.0,1000.0,M,40.0,M,,")));

    // Phase A, 10 s: everybody reads; after 3 s one rover takes the reply
    // and part of the 1013 and hangs up with the rest unread, which resets
    // the connection.
    pump(rovers, phaseA + 10000, [&](double now) {
        if (hangUp->fd >= 0 && now > phaseA + 3000) {
            readAtLeast(hangUp->fd, 100, 1000);
            linger l {1, 0};
            setsockopt(hangUp->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close(hangUp->fd);
            hangUp->fd = -1;
        }
        return true;
    });

    // Phase B: gmsd7 drops out in the middle of an epoch, testglo sends the
    // rest of its recording at twenty epochs a second.
    double phaseB = msSinceStart();
    gmsd.dropMidFrame();
    double dropped = msSinceStart();
    int sentBeforeB = testglo.sent();
    testglo.speedUp(50);
    double fastEnd = -1;
    pump(rovers, phaseB + 15000, [&](double now) {
        if (fastEnd < 0 && testglo.finished()) fastEnd = now;
        return fastEnd < 0 || now < fastEnd + 1500;
    });
    ASSERT_GT(fastEnd, 0) << "the fast replay did not end";
    int sentInB = testglo.sent() - sentBeforeB;

    // The rover that stopped reading takes everything now.
    int queued = 0;
    ioctl(nonReader->fd, FIONREAD, &queued);
    drain(*nonReader, 1000, 5000);

    for (Rover* r : rovers) dumpCapture(*r);
    dumpCapture(*nonReader);
    if (const char* dir = std::getenv("E2E_DUMP"))
        std::ofstream(std::string(dir) + "/console.txt") << caster.console();

    {
        SCOPED_TRACE("whole frames only, in time, from the base's recording");
        for (Rover* r : rovers) {
            SCOPED_TRACE(r->stream);
            ASSERT_GT(greetingLength(r->capture.bytes), 0u);
            SplitStream s = split(*r);
            EXPECT_EQ(s.error, "");
            bool fromGmsd = r->source == &gmsdRec;
            // A rover that named the base that dropped out is closed once
            // the caster notices its base is gone; every other stays open.
            if (fromGmsd && r->stream != "RTCM31_NEAR")
                EXPECT_GE(r->closedAtMs, dropped) << "closed before its base left";
            else
                EXPECT_LT(r->closedAtMs, 0) << "the caster closed it";
            auto [format, id] = epochFrame(*r);
            // One epoch a second: none missing, none late.
            int count = 0;
            double gap = largestGap(s, format, id, phaseA + 1500, phaseA + 10000, count);
            EXPECT_GE(count, 7);
            EXPECT_LT(gap, 2000);
            if (format == 0) {
                double median = 0, largest = 0;
                int n = 0;
                relayDelays(*r, s, fromGmsd ? gmsd : testglo, phaseA, phaseB, median, largest, n);
                EXPECT_GE(n, 7);
                EXPECT_LT(largest, 1000);
                std::printf("%-12s relay delay median %.0f ms, largest %.0f ms\n",
                            r->stream.c_str(), median, largest);
            }
            if (fromGmsd) {
                // Nothing after its base dropped out (what was on its way may
                // still arrive).
                for (const StreamFrame& f : s.frames)
                    EXPECT_LT(f.arrivalMs, dropped + 1000) << f.id;
            } else {
                // Every epoch of the fast replay, none long after another.
                count = 0;
                gap = largestGap(s, format, id, phaseB + 200, fastEnd, count);
                EXPECT_GE(count, sentInB * 9 / 10) << "of " << sentInB;
                EXPECT_LT(gap, 500);
            }

            switch (r->format) {
            case RoverFormat::rtcm:
                if (r->stream == "GMSD2") {
                    EXPECT_GE(
                        expectRelayedUnchanged(r->capture, s, gmsdRec, {1074, 1084, 1114, 1124}),
                        30);
                } else if (r->stream == "TESTGLO0" || r->stream == "RTCM31_NEAR") {
                    EXPECT_GE(
                        expectRelayedUnchanged(r->capture, s, testgloRec, {1004, 1012, 1005}),
                        20);
                    if (r->stream == "TESTGLO0")
                        expectConvbinMatches(r->capture, s, testgloRec, caster.dir(), r->stream,
                                             "GR");
                } else {
                    expectConvbinMatches(r->capture, s, *r->source, caster.dir(), r->stream, "GR");
                }
                break;
            case RoverFormat::binr: expectBinrMatches(r->capture, s, *r->source); break;
            case RoverFormat::nct: expectNctMatches(r->capture, s, *r->source); break;
            case RoverFormat::cmr: expectCmrMatches(r->capture, s, *r->source); break;
            }
        }
    }
    {
        SCOPED_TRACE("the rover that stopped reading");
        SplitStream s = split(*nonReader);
        EXPECT_EQ(s.error, "");
        EXPECT_EQ(s.tailBytes, 0u);
        // Its buffers were full: it was sent fewer epochs than the rover
        // that read, and the rest once it read again.
        EXPECT_GT(queued, 0);
        int got = countFrames(s, 0, 1074);
        EXPECT_LT(got, countFrames(split(*msmReader), 0, 1074));
        EXPECT_GT(got, 10);
        std::printf("non-reader: %d bytes waiting, %d epochs of %d\n", queued, got,
                    countFrames(split(*msmReader), 0, 1074));
    }
    {
        SCOPED_TRACE("the caster noticed both failures and lives on");
        std::string console = caster.console();
        EXPECT_TRUE(console.find("error receiving base data.") != std::string::npos ||
                    console.find("base station closed connection gracefully") != std::string::npos);
        EXPECT_TRUE(console.find("error receiving client data.") != std::string::npos ||
                    console.find("client closed connection gracefully") != std::string::npos ||
                    console.find("error sending") != std::string::npos);
        int fd = connectTo(ports.rover);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendText(fd, roverRequest("", "u0")));
        bool closed = false;
        std::string table = readUntilClosed(fd, 2000, closed);
        close(fd);
        EXPECT_EQ(table.rfind("SOURCETABLE 200 OK\r\n", 0), 0u) << table;
        EXPECT_NE(table.find(";TESTGLO"), std::string::npos) << table;
    }

    testglo.stop();
    for (auto& r : owned)
        if (r->fd >= 0) {
            close(r->fd);
            r->fd = -1;
        }
    EXPECT_EQ(caster.stop(3000), 0);
}

namespace {

void setRtcmBits(uint8_t* frame, unsigned pos, unsigned n, uint64_t value)
{
    for (unsigned k = 0; k < n; ++k) {
        unsigned bit = pos + n - 1 - k;
        uint8_t mask = uint8_t(0x80 >> (bit % 8));
        uint8_t& byte = frame[3 + bit / 8];
        byte = (value >> k) & 1u ? uint8_t(byte | mask) : uint8_t(byte & ~mask);
    }
}

constexpr uint32_t weekMs = 604800000, dayMs = 86400000;

// An epoch's observation times moved on by `ms` (station and ephemeris
// messages stay as they are), with the CRCs made anew.
std::string movedOn(const std::string& bytes, uint32_t ms)
{
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
        uint8_t* p = &data[f.offset];
        uint32_t n = f.messageNumber;
        if ((n >= 1001 && n <= 1004) || (n >= 1071 && n <= 1077) || (n >= 1091 && n <= 1127)) {
            setRtcmBits(p, 24, 30, (rtcmBits(p, 24, 30) + ms) % weekMs);
        } else if (n >= 1009 && n <= 1012) {
            setRtcmBits(p, 24, 27, (rtcmBits(p, 24, 27) + ms) % dayMs);
        } else if (n >= 1081 && n <= 1087) {
            uint64_t tod = rtcmBits(p, 27, 27) + ms;
            setRtcmBits(p, 24, 3, (rtcmBits(p, 24, 3) + tod / dayMs) % 7);
            setRtcmBits(p, 27, 27, tod % dayMs);
        } else {
            continue;
        }
        appendCrc24q(p, f.length - 3);
    }
    return std::string(data.begin(), data.end());
}

// The recording `rounds` times over, each round later by the recording's
// span, so that the base's time keeps going forward.
std::vector<RecordedEpoch> looped(const std::vector<RecordedEpoch>& epochs, int rounds)
{
    uint32_t span = (epochs.back().gpsTowMs + weekMs - epochs.front().gpsTowMs) % weekMs + 1000;
    std::vector<RecordedEpoch> out;
    for (int round = 0; round < rounds; ++round)
        for (const RecordedEpoch& e : epochs) {
            uint32_t shift = uint32_t(uint64_t(span) * uint64_t(round) % weekMs);
            out.push_back({movedOn(e.bytes, shift), (e.gpsTowMs + shift) % weekMs});
        }
    return out;
}

int64_t positiveModulo(int64_t v, int64_t period)
{
    return ((v % period) + period) % period;
}

// The NCT 5E time word: a 7-bit counter that falls by 3 modulo 128 every
// second, and the count of the seconds in which it did not wrap. The
// second of the week it stands for, -1 when none.
int64_t nctWordSeconds(uint32_t word)
{
    uint32_t counter = (word >> 3) & 127, ticks = (word >> 10) & 0xFFFFF;
    for (uint64_t s = ticks; s <= uint64_t(ticks) + ticks / 32 + 8; ++s) {
        uint64_t wraps = (3 * s + 127) / 128;
        if ((128 - 3 * s % 128) % 128 == counter && s - wraps == ticks) return int64_t(s);
    }
    return -1;
}

// One epoch series of a rover stream: which frames, and the period of
// their time field in GPS seconds.
struct EpochSeries {
    std::string name;
    int64_t period;
};

// The series of a frame and its epoch as GPS seconds modulo the series'
// period, read from the format's own time field; false for a frame of no
// series. GLONASS fields count Moscow or UTC time.
bool epochOfFrame(const std::string& bytes, const StreamFrame& f, int leapSeconds,
                  EpochSeries& series, int64_t& key)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data()) + f.offset;
    if (f.format == 0) {
        if (f.id == 1004 || f.id == 1074) {
            series = {std::to_string(f.id), weekMs / 1000};
            key = int64_t(rtcmBits(p, 24, 30) / 1000);
            return true;
        }
        if (f.id == 1012 || f.id == 1084) {
            uint64_t tod = f.id == 1012 ? rtcmBits(p, 24, 27) : rtcmBits(p, 27, 27);
            series = {std::to_string(f.id), dayMs / 1000};
            key = positiveModulo(int64_t(tod / 1000) - 10800 + leapSeconds, dayMs / 1000);
            return true;
        }
        return false;
    }
    std::string data;   // BINR data with the doubled DLE bytes single
    switch (f.format) {
    case 1:
        if (f.id != 0x69) return false;
        for (size_t i = 2; i + 2 < f.length; ++i) {
            data.push_back(char(p[i]));
            if (p[i] == 0x10) ++i;
        }
        series = {data[0] == 1 ? "69h GPS" : "69h GLONASS", 3600};
        key = positiveModulo((uint8_t(data[1]) | uint8_t(data[2]) << 8) +
                                 (data[0] == 1 ? 0 : leapSeconds),
                             3600);
        return true;
    case 2:
        if (f.id != 0x5E) return false;
        series = {"5E", weekMs / 1000};
        key = nctWordSeconds(uint32_t(p[10]) | uint32_t(p[11]) << 8 | uint32_t(p[12]) << 16 |
                             uint32_t(p[13]) << 24);
        return key >= 0;
    case 3: {
        if (f.id != 0 && f.id != 3) return false;
        uint32_t field = uint32_t(p[6]) << 10 | uint32_t(p[7]) << 2 | p[8] >> 6;
        series = {f.id == 0 ? "CMR0" : "CMR3", 240};
        key = positiveModulo(int64_t(field / 1000) + (f.id == 0 ? 0 : leapSeconds), 240);
        return true;
    }
    default: return false;
    }
}

}   // namespace

// Two bases at one epoch a second, a multi-system MSM4 one and a legacy one,
// their epochs arriving together as real stations' do, the MSM4 one's
// message by message; a rover on every single-base format of each. Every epoch sent while the rovers listen must
// reach each of them once, in each system the format carries.
TEST(DataPathE2E, EveryEpochOfEveryFormatArrivesOnce)
{
    CasterProcess caster;
    CasterPorts ports = pickFreePorts();
    ASSERT_NO_FATAL_FAILURE(startCaster(caster, ports));

    // A minute of trust, then a hundred seconds of rovers: gmsd7 is played
    // twice over.
    const std::vector<RecordedEpoch> testgloEpochs =
        cutIntoEpochs(readFileBytes(dataPath("rtcm3/testglo.rtcm3")));
    const std::vector<RecordedEpoch> gmsdEpochs =
        looped(cutIntoEpochs(readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"))), 2);
    ReplayBase testglo(testgloEpochs);
    ReplayBase gmsd(gmsdEpochs);
    gmsd.sendMessageByMessage();
    ASSERT_EQ(testglo.epochCount(), 186u);
    ASSERT_EQ(gmsd.epochCount(), 212u);
    ASSERT_NO_FATAL_FAILURE(startTrustedBases(caster, testglo, gmsd));

    std::vector<std::unique_ptr<Rover>> owned;
    std::vector<Rover*> rovers;
    const RoverFormat formats[5] = {RoverFormat::rtcm, RoverFormat::binr, RoverFormat::rtcm,
                                    RoverFormat::nct, RoverFormat::cmr};
    for (const char* base : {"TESTGLO", "GMSD"})
        for (int f = 0; f < 5; ++f) {
            owned.push_back(std::make_unique<Rover>());
            Rover* r = owned.back().get();
            r->stream = base + std::to_string(f);
            r->format = formats[f];
            r->user = "u" + std::to_string(owned.size());
            rovers.push_back(r);
        }
    for (Rover* r : rovers) ASSERT_TRUE(loginRover(*r, ports.rover)) << r->stream;
    double loggedIn = msSinceStart();
    pump(rovers, loggedIn + 100000, [](double) { return true; });
    double end = msSinceStart();
    testglo.stop();
    gmsd.stop();
    for (Rover* r : rovers) dumpCapture(*r);

    // The epochs each base sent well inside the rovers' time.
    auto sentEpochs = [&](const ReplayBase& base, const std::vector<RecordedEpoch>& epochs) {
        std::vector<uint32_t> tows;
        for (const RecordedEpoch& e : epochs) {
            double at = base.sentAtMs(e.gpsTowMs);
            if (at >= loggedIn + 2000 && at <= end - 2500) tows.push_back(e.gpsTowMs);
        }
        return tows;
    };
    std::vector<uint32_t> testgloSent = sentEpochs(testglo, testgloEpochs);
    std::vector<uint32_t> gmsdSent = sentEpochs(gmsd, gmsdEpochs);
    ASSERT_GE(testgloSent.size(), 90u);
    ASSERT_GE(gmsdSent.size(), 90u);

    for (Rover* r : rovers) {
        SCOPED_TRACE(r->stream);
        EXPECT_LT(r->closedAtMs, 0) << "the caster closed it";
        SplitStream s = split(*r);
        EXPECT_EQ(s.error, "");
        bool fromGmsd = r->stream.rfind("GMSD", 0) == 0;
        int leap = fromGmsd ? 16 : 15;
        std::map<std::string, std::pair<int64_t, std::map<int64_t, int>>> received;
        for (const StreamFrame& f : s.frames) {
            EpochSeries series;
            int64_t key = 0;
            if (!epochOfFrame(r->capture.bytes, f, leap, series, key)) continue;
            auto& [period, counts] = received[series.name];
            period = series.period;
            ++counts[key];
        }
        EXPECT_EQ(received.size(), r->format == RoverFormat::nct ? 1u : 2u);
        const std::vector<uint32_t>& sent = fromGmsd ? gmsdSent : testgloSent;
        for (const auto& [name, series] : received) {
            const auto& [period, counts] = series;
            int once = 0;
            std::string missing, twice;
            for (uint32_t tow : sent) {
                auto it = counts.find(int64_t(tow / 1000) % period);
                int n = it == counts.end() ? 0 : it->second;
                if (n == 1) ++once;
                if (n == 0) missing += std::to_string(tow / 1000) + " ";
            }
            for (const auto& [key, n] : counts)
                if (n > 1) twice += std::to_string(key) + " ";
            std::printf("%-9s %-11s %3d of %3zu epochs once\n", r->stream.c_str(), name.c_str(),
                        once, sent.size());
            EXPECT_EQ(once, int(sent.size())) << name << " missing: " << missing;
            EXPECT_EQ(twice, "") << name << " more than once";
        }
    }
    for (auto& r : owned)
        if (r->fd >= 0) {
            close(r->fd);
            r->fd = -1;
        }
    EXPECT_EQ(caster.stop(3000), 0);
}
