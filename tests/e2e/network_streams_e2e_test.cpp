// Network streams end to end, over the real binary: the simulated network's
// five bases replayed in lockstep, rovers at the two rover points on the
// FKP and MAC streams. Every epoch must bring frames that decode: the
// observations with convbin, the FKP and MAC messages with the reader
// below, written from the public RTCM 3 message layouts and nothing of the
// caster's.
//
// With CASTER_LONG_TESTS=1 a long run also judges the FKP gradients against
// the simulated atmosphere (20 minutes of replayed history at two epochs a
// second) and replays the real Catalan stations.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

#include "network_replay.h"
#include "replay_base.h"
#include "rinex_obs.h"
#include "stream_content.h"
#include "stream_frames.h"
#include "core/checksum.h"
#include "support/orbit_reference.h"
#include "support/rtcm_fields.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

const std::vector<std::string> simulatedBases = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};
// truth.json of the simulated network.
constexpr double rov1Lat = 47.2282831, rov1Lon = 15.0085323, rov1H = 486.955;
constexpr double rov2Lat = 47.0089932, rov2Lon = 15.75, rov2H = 496.080;

// ---- RTCM 3 network messages, from the public layouts ----

// 1034 (GPS) and 1035 (GLONASS) FKP gradients: station id 12, epoch (GPS
// 20 bits, GLONASS 17 bits, seconds), satellite count 5; per satellite id 6,
// IOD 8, N0 12 and E0 12 (geometric), NI 14 and EI 14 (ionospheric), all in
// 0.01 ppm.
struct FkpSatellite {
    int id = 0, iod = 0;
    double n0 = 0, e0 = 0, ni = 0, ei = 0;   // ppm
};
struct FkpMessage {
    int number = 0, station = 0;
    uint32_t epochS = 0;
    std::vector<FkpSatellite> satellites;
};

bool readFkp(const uint8_t* frame, size_t length, FkpMessage& m)
{
    size_t bits = (length - 6) * 8;
    m.number = int(rtcmBits(frame, 0, 12));
    m.station = int(rtcmBits(frame, 12, 12));
    unsigned epochBits = m.number == 1034 ? 20 : 17;
    m.epochS = uint32_t(rtcmBits(frame, 24, epochBits));
    unsigned pos = 24 + epochBits;
    int count = int(rtcmBits(frame, pos, 5));
    pos += 5;
    if (pos + size_t(count) * 66 > bits) return false;
    for (int k = 0; k < count; ++k, pos += 66) {
        FkpSatellite s;
        s.id = int(rtcmBits(frame, pos, 6));
        s.iod = int(rtcmBits(frame, pos + 6, 8));
        s.n0 = double(rtcmPayloadSigned(frame, pos + 14, 12)) * 0.01;
        s.e0 = double(rtcmPayloadSigned(frame, pos + 26, 12)) * 0.01;
        s.ni = double(rtcmPayloadSigned(frame, pos + 38, 14)) * 0.01;
        s.ei = double(rtcmPayloadSigned(frame, pos + 52, 14)) * 0.01;
        m.satellites.push_back(s);
    }
    return true;
}

// 1015/1017 (GPS) and 1037/1039 (GLONASS) correction differences: network
// id 8, subnetwork 4, epoch (GPS 23 bits, GLONASS 20 bits, 0.1 s units as
// sent), multiple message 1, master id 12, auxiliary id 12, count 4; per
// satellite id 6, ambiguity status 2, non-sync count 3, then for the
// combined kinds the geometric difference 17 and IOD 8, and the ionospheric
// difference 17 (signed, 0.5 mm).
struct MacSatellite {
    int id = 0;
    double geometric = 0, ionospheric = 0;   // m
};
struct MacMessage {
    int number = 0, master = 0, aux = 0, multiple = 0;
    uint32_t epoch = 0;
    std::vector<MacSatellite> satellites;
};

bool readMac(const uint8_t* frame, size_t length, MacMessage& m)
{
    size_t bits = (length - 6) * 8;
    m.number = int(rtcmBits(frame, 0, 12));
    bool glonass = m.number == 1037 || m.number == 1039;
    bool combined = m.number == 1017 || m.number == 1039;
    unsigned epochBits = glonass ? 20 : 23;
    m.epoch = uint32_t(rtcmBits(frame, 24, epochBits));
    unsigned pos = 24 + epochBits;
    m.multiple = int(rtcmBits(frame, pos, 1));
    m.master = int(rtcmBits(frame, pos + 1, 12));
    m.aux = int(rtcmBits(frame, pos + 13, 12));
    int count = int(rtcmBits(frame, pos + 25, 4));
    pos += 29;
    unsigned per = combined ? 53 : 28;
    if (pos + size_t(count) * per > bits) return false;
    for (int k = 0; k < count; ++k, pos += per) {
        MacSatellite s;
        s.id = int(rtcmBits(frame, pos, 6));
        unsigned at = pos + 11;
        if (combined) {
            s.geometric = double(rtcmPayloadSigned(frame, at, 17)) * 0.0005;
            at += 25;
        }
        s.ionospheric = double(rtcmPayloadSigned(frame, at, 17)) * 0.0005;
        m.satellites.push_back(s);
    }
    return true;
}

const uint8_t* frameAt(const Capture& c, const StreamFrame& f)
{
    return reinterpret_cast<const uint8_t*>(c.bytes.data()) + f.offset;
}

// The satellites of an observation frame: 1004 (count at bit 55, 5 bits,
// ids 6 bits every 125 bits from bit 64), 1012 (count at bit 52, ids every
// 130 bits from bit 61) or the satellite mask of an MSM.
std::set<int> observedSatellites(const uint8_t* frame, int number)
{
    std::set<int> sats;
    if (number == 1004) {
        int count = int(rtcmBits(frame, 55, 5));
        for (int k = 0; k < count; ++k) sats.insert(int(rtcmBits(frame, 64 + 125 * unsigned(k), 6)));
    } else if (number == 1012) {
        int count = int(rtcmBits(frame, 52, 5));
        for (int k = 0; k < count; ++k) sats.insert(int(rtcmBits(frame, 61 + 130 * unsigned(k), 6)));
    } else {
        for (unsigned k = 0; k < 64; ++k)
            if (rtcmBits(frame, 73 + k, 1)) sats.insert(int(k) + 1);
    }
    return sats;
}

uint32_t observationTow(const uint8_t* frame)
{
    return uint32_t(rtcmBits(frame, 24, 30));
}

// What one rover received, epoch by epoch (GPS time of week in ms).
struct EpochContent {
    std::set<int> observed;   // satellites of the observation frame
    std::vector<FkpMessage> fkp;
    std::vector<MacMessage> mac;
};

std::map<uint32_t, EpochContent> epochsOf(const NetworkRover& r, const SplitStream& s,
                                          int& unreadable)
{
    std::map<uint32_t, EpochContent> out;
    unreadable = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 0) continue;
        const uint8_t* frame = frameAt(r.capture, f);
        if (f.id == 1004 || f.id == 1074) {
            out[observationTow(frame)].observed = observedSatellites(frame, f.id);
        } else if (f.id == 1034) {
            FkpMessage m;
            if (!readFkp(frame, f.length, m)) ++unreadable;
            else out[m.epochS * 1000].fkp.push_back(m);
        } else if (f.id == 1015 || f.id == 1017) {
            MacMessage m;
            if (!readMac(frame, f.length, m)) ++unreadable;
            else out[m.epoch * 100].mac.push_back(m);
        }
    }
    return out;
}

SplitStream splitRover(const NetworkRover& r)
{
    return splitStream(r.capture, greetingLength(r.capture.bytes), RoverFormat::rtcm);
}

// The times of week replayed between two moments.
std::vector<uint32_t> towsBetween(const std::vector<ReplayedEpoch>& sent, double fromMs,
                                  double toMs)
{
    std::vector<uint32_t> tows;
    for (const ReplayedEpoch& e : sent)
        if (e.sentAtMs >= fromMs && e.sentAtMs < toMs) tows.push_back(e.towMs);
    return tows;
}

double firstArrival(const SplitStream& s, int id)
{
    for (const StreamFrame& f : s.frames)
        if (f.format == 0 && f.id == id) return f.arrivalMs;
    return -1;
}

// With E2E_DUMP naming a directory, every rover's bytes and the console go there.
void dumpRovers(NetworkReplay& net)
{
    const char* dir = std::getenv("E2E_DUMP");
    if (!dir) return;
    for (int k = 0; k < net.roverCount(); ++k)
        std::ofstream(std::string(dir) + "/" + net.rover(k).stream + "-" + net.rover(k).user +
                          ".bin",
                      std::ios::binary)
            << net.rover(k).capture.bytes;
    std::ofstream(std::string(dir) + "/console.txt") << net.caster().console();
}

bool longTests()
{
    const char* v = std::getenv("CASTER_LONG_TESTS");
    return v && std::string(v) == "1";
}

}   // namespace

TEST(NetworkStreamsE2E, FkpAndMacRoversGetEveryEpochConvbin)
{
    REQUIRE_TOOLS(convbinPath);
    NetworkReplay net;
    net.settings.fkp = true;
    net.settings.mac = true;
    ASSERT_TRUE(net.addBases(dataPath("network/simulated"), simulatedBases));
    ASSERT_EQ(net.bases().size(), 5u);
    // The 1006 position of BAS1 is that of truth.json.
    EXPECT_NEAR(net.bases()[0].latitude, 47.3300959, 1e-6);
    EXPECT_NEAR(net.bases()[0].longitude, 14.9589589, 1e-6);

    Recording bas1;
    bas1.name = "BAS1";
    bas1.approxTime = "2026/12/10 21:30:00";
    bas1.leapSeconds = 18;
    ASSERT_TRUE(loadRecording(bas1, dataPath("network/simulated/BAS1.rtcm3"), net.caster().dir()));

    // Ten minutes into the window, two epochs a second.
    ASSERT_TRUE(net.start(2.0, 600));
    // A rover that logs in before the bases are trusted is served once they are.
    int early = net.addRover("RTCM31_FKP", rov1Lat, rov1Lon, rov1H);
    ASSERT_GE(early, 0);
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    struct Watch {
        int rover;
        int observation;   // 1004 or 1074
        int master;        // station id of the master base
        bool mac;
    };
    std::vector<Watch> watched = {
        {early, 1004, 201, false},
        {net.addRover("RTCM31_FKP", rov2Lat, rov2Lon, rov2H), 1004, 203, false},
        {net.addRover("RTCM32_FKP", rov1Lat, rov1Lon, rov1H), 1074, 201, false},
        {net.addRover("RTCM31_MAC", rov1Lat, rov1Lon, rov1H), 1004, 201, true},
        {net.addRover("RTCM31_MAC", rov2Lat, rov2Lon, rov2H), 1004, 203, true},
    };
    for (const Watch& w : watched) ASSERT_GE(w.rover, 0);
    net.runFor(30000);
    double end = msSinceStart();
    std::vector<ReplayedEpoch> sent = net.replayed();

    {
        SCOPED_TRACE("lockstep replay");
        ASSERT_GT(sent.size(), 150u);
        EXPECT_EQ(sent[0].towMs, (423000u + 600u) * 1000u);
        for (size_t k = 1; k < sent.size(); ++k) {
            EXPECT_EQ(sent[k].towMs - sent[k - 1].towMs, 1000u);
            EXPECT_EQ(sent[k].bases, 5);
            EXPECT_GE(sent[k].sentAtMs - sent[k - 1].sentAtMs, 400.0);
        }
    }

    const std::set<int> auxiliaries = {201, 202, 203, 204, 205};
    for (const Watch& w : watched) {
        const NetworkRover& r = net.rover(w.rover);
        SCOPED_TRACE(r.stream + " " + r.user);
        SplitStream s = splitRover(r);
        EXPECT_EQ(s.error, "");
        EXPECT_LT(r.closedAtMs, 0) << "the caster closed it";
        double served = firstArrival(s, w.observation);
        ASSERT_GT(served, 0) << "no observations";
        int unreadable = 0;
        std::map<uint32_t, EpochContent> epochs = epochsOf(r, s, unreadable);
        EXPECT_EQ(unreadable, 0);
        // Every epoch replayed from a second after the first until two
        // seconds before the end.
        std::vector<uint32_t> tows = towsBetween(sent, served + 1000, end - 2000);
        ASSERT_GE(tows.size(), 40u);
        int missingObs = 0, missingNet = 0, macMessages = 0, macSatellites = 0;
        double largestIono = 0;
        for (uint32_t tow : tows) {
            const EpochContent& e = epochs[tow];
            if (e.observed.empty()) ++missingObs;
            if (!w.mac) {
                // One 1034 of the master for the epoch, with its satellites.
                if (e.fkp.size() != 1) {
                    ++missingNet;
                    continue;
                }
                const FkpMessage& m = e.fkp[0];
                EXPECT_EQ(m.station, w.master);
                std::set<int> ids;
                for (const FkpSatellite& sat : m.satellites) ids.insert(sat.id);
                EXPECT_EQ(ids, e.observed) << "epoch " << tow;
                continue;
            }
            // At least one auxiliary's differences, of the master, for the
            // satellites of the epoch; the last one ends the set.
            if (e.mac.empty()) {
                ++missingNet;
                continue;
            }
            EXPECT_EQ(e.mac.back().multiple, 0);
            std::set<int> auxSeen;
            for (const MacMessage& m : e.mac) {
                ++macMessages;
                EXPECT_EQ(m.master, w.master);
                EXPECT_TRUE(auxiliaries.count(m.aux) && m.aux != w.master) << m.aux;
                EXPECT_TRUE(auxSeen.insert(m.aux).second) << "auxiliary twice";
                for (const MacSatellite& sat : m.satellites) {
                    ++macSatellites;
                    EXPECT_TRUE(e.observed.count(sat.id)) << sat.id;
                    largestIono = std::max(largestIono, std::fabs(sat.ionospheric));
                }
            }
        }
        EXPECT_EQ(missingObs, 0) << "of " << tows.size();
        EXPECT_EQ(missingNet, 0) << "of " << tows.size();
        // Not the clamp of a field that overflowed.
        EXPECT_LT(largestIono, 30.0);
        std::printf("%s at %.4f %.4f: %zu epochs, %d MAC messages, %d MAC satellites, largest "
                    "ionospheric difference %.3f m\n",
                    r.stream.c_str(), r.latitude, r.longitude, tows.size(), macMessages,
                    macSatellites, largestIono);
        if (w.master == 201)
            expectConvbinMatches(r.capture, s, bas1, net.caster().dir(), r.stream + r.user, "G");
    }
    dumpRovers(net);
}

namespace {

// The GLONASS side of a rover's stream, by GLONASS time of day in ms: the
// satellites of each 1012 that arrived in [fromMs, toMs) and the FKP and
// MAC messages of the same epoch.
std::map<uint32_t, EpochContent> glonassEpochsOf(const NetworkRover& r, const SplitStream& s,
                                                 double fromMs, double toMs, int& unreadable)
{
    std::map<uint32_t, EpochContent> out;
    unreadable = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 0) continue;
        const uint8_t* frame = frameAt(r.capture, f);
        // The epochs are those whose observations came in the window; their
        // network messages follow them.
        if (f.id == 1012 && f.arrivalMs >= fromMs && f.arrivalMs < toMs) {
            // Count at bit 52 (5 bits), 130 bits a satellite from bit 61.
            EpochContent& e = out[uint32_t(rtcmBits(frame, 12 + 12, 27))];
            int count = int(rtcmBits(frame, 52, 5));
            for (int k = 0; k < count; ++k)
                e.observed.insert(int(rtcmBits(frame, 61 + 130 * unsigned(k), 6)));
        } else if (f.id == 1035) {
            FkpMessage m;
            if (!readFkp(frame, f.length, m)) ++unreadable;
            else out[m.epochS * 1000].fkp.push_back(m);
        } else if (f.id == 1037 || f.id == 1039) {
            MacMessage m;
            if (!readMac(frame, f.length, m)) ++unreadable;
            else out[m.epoch * 1000].mac.push_back(m);
        }
    }
    return out;
}

// Satellite-epochs of each system ('G', 'R'), counted over the epochs
// (GPS time of week) whose observation frames arrived in [fromMs, toMs):
// what the stream sent, and what convbin read of it; [0] of the epochs the
// master sent GPS first, [1] of those it sent GLONASS first.
struct SystemCounts {
    std::map<char, int> sent[2], read[2];
};

// The master base sends the epochs of odd seconds GLONASS first.
bool glonassFirst(uint32_t towMs)
{
    return (towMs / 1000) % 2 == 1;
}

// Sets payload bit `pos` of a frame and its CRC.
void setPayloadBit(std::string& frame, unsigned pos, bool value)
{
    uint8_t* p = reinterpret_cast<uint8_t*>(frame.data());
    const unsigned bit = 24 + pos;
    const uint8_t mask = uint8_t(0x80u >> (bit % 8));
    p[bit / 8] = value ? uint8_t(p[bit / 8] | mask) : uint8_t(p[bit / 8] & ~mask);
    appendCrc24q(p, frame.size() - 3);
}

// An epoch as a receiver that outputs GLONASS first sends it: its 1012 moved
// before its 1004 in the same send, the 1012 saying that more of the epoch
// follows (synchronous flag, payload bit 51) and the 1004 that it is the
// last (bit 54), the two flags the epoch came with swapped.
std::string glonassFirstEpoch(const std::string& bytes)
{
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    std::vector<RtcmWalkFrame> frames = walkRtcmFrames(data);
    int gps = findRtcmFrame(frames, 1004), glo = findRtcmFrame(frames, 1012);
    if (gps < 0 || glo < gps) return bytes;
    const RtcmWalkFrame& g = frames[size_t(gps)];
    const RtcmWalkFrame& r = frames[size_t(glo)];
    std::string gpsFrame = bytes.substr(g.offset, g.length);
    std::string gloFrame = bytes.substr(r.offset, r.length);
    const bool gpsSync = rtcmBits(data.data() + g.offset, 54, 1) != 0;
    const bool gloSync = rtcmBits(data.data() + r.offset, 51, 1) != 0;
    setPayloadBit(gloFrame, 51, gpsSync);
    setPayloadBit(gpsFrame, 54, gloSync);
    return bytes.substr(0, g.offset) + gloFrame + gpsFrame +
           bytes.substr(g.offset + g.length, r.offset - g.offset - g.length) +
           bytes.substr(r.offset + r.length);
}

// GPS time of week of a GLONASS time of day (Moscow, UTC + 3 h), the
// candidate nearest `nearTowMs`.
uint32_t glonassTow(uint32_t todMs, uint32_t nearTowMs, int leapSeconds)
{
    const int64_t day = 86400000, week = 7 * day;
    const int64_t ofDay = ((int64_t(todMs) - 3 * 3600000 + leapSeconds * 1000) % day + day) % day;
    int64_t best = int64_t(nearTowMs) - int64_t(nearTowMs) % day + ofDay;
    for (int64_t c : {best - day, best + day})
        if (std::llabs(c - int64_t(nearTowMs)) < std::llabs(best - int64_t(nearTowMs))) best = c;
    return uint32_t((best % week + week) % week);
}

SystemCounts convbinSatelliteEpochs(const NetworkRover& r, const SplitStream& s,
                                    const std::string& ephemeris, const std::string& workDir,
                                    uint32_t nearTowMs, double fromMs, double toMs)
{
    SystemCounts out;
    std::map<std::pair<char, uint32_t>, std::set<int>> sent;
    std::string rtcm = ephemeris;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 0) continue;
        const uint8_t* frame = frameAt(r.capture, f);
        rtcm.append(reinterpret_cast<const char*>(frame), f.length);
        if (f.arrivalMs < fromMs || f.arrivalMs >= toMs) continue;
        if (f.id == 1004 || f.id == 1074) {
            std::set<int> sats = observedSatellites(frame, f.id);
            sent[{'G', observationTow(frame)}].insert(sats.begin(), sats.end());
        } else if (f.id == 1012 || f.id == 1084) {
            // 27 bits of time of day (the MSM's first 3 bits are the day).
            const uint32_t tod = uint32_t(rtcmBits(frame, f.id == 1012 ? 24 : 27, 27));
            std::set<int> sats = observedSatellites(frame, f.id);
            sent[{'R', glonassTow(tod, nearTowMs, 18)}].insert(sats.begin(), sats.end());
        }
    }
    const std::string input = workDir + "/" + r.stream + r.user + ".rtcm3";
    const std::string obs = workDir + "/" + r.stream + r.user + ".obs";
    std::ofstream(input, std::ios::binary) << rtcm;
    EXPECT_TRUE(runConvbin(input, obs, "2026/12/10 21:30:00"));
    std::map<std::pair<char, uint32_t>, int> read;
    for (const auto& [epoch, sats] : readRinexObs(obs))
        for (const auto& sat : sats) ++read[{sat.first[0], rinexTowMs(epoch)}];
    for (const auto& [key, sats] : sent) {
        const int order = glonassFirst(key.second) ? 1 : 0;
        out.sent[order][key.first] += int(sats.size());
        out.read[order][key.first] += read[key];
    }
    return out;
}

}   // namespace

// The GLONASS paths: the simulated GPS + GLONASS network, FKP and MAC rovers
// near its first rover point get a 1035 and GLONASS correction differences
// with every GLONASS epoch, for the epoch's satellites. And a rover keeps
// both systems of every epoch of every stream that carries observations:
// each stream sends the systems in its own order, and an observation
// message whose synchronous flag disagrees with what follows it costs the
// rover that system's epochs. The master sends every other epoch GLONASS
// first, with the flags such a receiver gives them (1012 "more follow",
// 1004 "last"), both frames in one send, while the streams send GPS first.
TEST(NetworkStreamsE2E, GlonassFkpAndMacRoversGetEveryEpoch)
{
    REQUIRE_TOOLS(convbinPath);
    NetworkReplay net;
    net.settings.fkp = true;
    net.settings.mac = true;
    net.settings.imac = true;
    net.settings.erp = true;
    const std::string dir = dataPath("network/simulated-glonass");
    ASSERT_TRUE(net.addBases(dir, simulatedBases));
    ASSERT_EQ(net.bases()[1].mountpoint, "BAS2");
    int reordered = 0;
    for (NetworkBase::Epoch& e : net.bases()[1].epochs) {
        if (!glonassFirst(e.towMs)) continue;
        std::string bytes = glonassFirstEpoch(e.bytes);
        reordered += bytes != e.bytes;
        e.bytes = bytes;
    }
    ASSERT_GT(reordered, 1000);
    ASSERT_TRUE(net.start(2.0, 600));
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    // ROV1 of truth.json; BAS2 (id 402) is its master.
    int rovers[2] = {net.addRover("RTCM31_FKP", 45.75, 12.7949077, 132.128),
                     net.addRover("RTCM31_MAC", 45.75, 12.7949077, 132.128)};
    std::vector<int> bothSystems = {rovers[0], rovers[1]};
    // BAS20 and BAS22: the master's own RTCM 3.1 and MSM streams.
    for (const char* stream : {"BAS20", "BAS22", "RTCM31_NEAR", "RTCM32_NEAR", "RTCM32_FKP",
                               "RTCM31_iMAC", "RTCM32_iMAC", "RTCM31_ERP", "RTCM32_ERP"}) {
        bothSystems.push_back(net.addRover(stream, 45.75, 12.7949077, 132.128));
        ASSERT_GE(bothSystems.back(), 0) << stream;
    }
    net.runFor(25000);
    double end = msSinceStart();
    dumpRovers(net);

    // GLONASS MSM phases need the channels of the 1020s.
    std::string ephemeris;
    const std::vector<uint8_t> bas2 = readFileBytes(dir + "/BAS2.rtcm3");
    for (const RtcmWalkFrame& f : walkRtcmFrames(bas2))
        if (f.messageNumber == 1019 || f.messageNumber == 1020)
            ephemeris.append(reinterpret_cast<const char*>(&bas2[f.offset]), f.length);
    const uint32_t nearTow = net.replayed().front().towMs;
    for (int k : bothSystems) {
        const NetworkRover& r = net.rover(k);
        SCOPED_TRACE(r.stream);
        SplitStream s = splitRover(r);
        EXPECT_EQ(s.error, "");
        double served = std::max(firstArrival(s, 1004), firstArrival(s, 1074));
        ASSERT_GT(served, 0) << "no GPS observations";
        SystemCounts n = convbinSatelliteEpochs(r, s, ephemeris, net.caster().dir(), nearTow,
                                                served + 1000, end - 2000);
        // Seen while the MAC stream sent its GLONASS 1012 closing the epoch
        // before the GPS 1004: 11 of 473 GPS satellite-epochs read. And
        // while the relayed streams kept the master's flags in their own
        // order: the GLONASS of its GLONASS-first epochs lost.
        for (int order : {0, 1}) {
            SCOPED_TRACE(order ? "GLONASS first" : "GPS first");
            EXPECT_GE(n.sent[order]['G'], 75);
            EXPECT_GE(n.sent[order]['R'], 100);
            EXPECT_EQ(n.read[order]['G'], n.sent[order]['G']);
            EXPECT_EQ(n.read[order]['R'], n.sent[order]['R']);
            std::printf("%s, %s: convbin read %d of %d GPS and %d of %d GLONASS "
                        "satellite-epochs\n",
                        r.stream.c_str(), order ? "GLONASS first" : "GPS first",
                        n.read[order]['G'], n.sent[order]['G'], n.read[order]['R'],
                        n.sent[order]['R']);
        }
    }

    for (int k : rovers) {
        const NetworkRover& r = net.rover(k);
        SCOPED_TRACE(r.stream);
        SplitStream s = splitRover(r);
        EXPECT_EQ(s.error, "");
        double served = firstArrival(s, 1012);
        ASSERT_GT(served, 0) << "no GLONASS observations";
        int unreadable = 0;
        std::map<uint32_t, EpochContent> epochs =
            glonassEpochsOf(r, s, served + 1000, end - 2000, unreadable);
        EXPECT_EQ(unreadable, 0);
        int withObservations = 0, missing = 0, satellites = 0;
        for (const auto& [tod, e] : epochs) {
            if (e.observed.empty()) continue;   // a message of an epoch cut by the window
            ++withObservations;
            bool fkp = r.stream == "RTCM31_FKP";
            if (fkp ? e.fkp.size() != 1 : e.mac.empty()) {
                ++missing;
                continue;
            }
            for (const FkpMessage& m : e.fkp) {
                EXPECT_EQ(m.station, 402);
                std::set<int> ids;
                for (const FkpSatellite& sat : m.satellites) ids.insert(sat.id);
                EXPECT_EQ(ids, e.observed);
                satellites += int(ids.size());
            }
            for (const MacMessage& m : e.mac) {
                EXPECT_EQ(m.master, 402);
                for (const MacSatellite& sat : m.satellites) {
                    EXPECT_TRUE(e.observed.count(sat.id)) << sat.id;
                    EXPECT_LT(std::fabs(sat.ionospheric), 30.0);
                    ++satellites;
                }
            }
        }
        EXPECT_GE(withObservations, 35);
        EXPECT_EQ(missing, 0) << "of " << withObservations;
        std::printf("%s GLONASS: %d epochs, %d missing, %d satellites\n", r.stream.c_str(),
                    withObservations, missing, satellites);
    }
}

namespace {

// ---- what the simulated atmosphere implies, from the stations' own RINEX ----

struct NavRecord {
    int prn = 0;
    RefGpsEph eph {};
};

double navValue(const std::string& line, int k)
{
    std::string field = line.substr(size_t(3 + 19 * k), 19);
    for (char& ch : field)
        if (ch == 'D' || ch == 'd') ch = 'E';
    return std::atof(field.c_str());
}

// A RINEX 2 GPS navigation file, every record.
std::vector<NavRecord> readNav(const std::string& path)
{
    std::vector<NavRecord> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line) && line.find("END OF HEADER") == std::string::npos) {}
    std::string l[8];
    while (std::getline(in, l[0])) {
        for (int k = 1; k < 8; ++k)
            if (!std::getline(in, l[k])) return out;
        NavRecord r;
        r.prn = std::atoi(l[0].substr(0, 2).c_str());
        RefGpsEph& e = r.eph;
        e.crs = navValue(l[1], 1), e.deltaN = navValue(l[1], 2), e.m0 = navValue(l[1], 3);
        e.cuc = navValue(l[2], 0), e.e = navValue(l[2], 1), e.cus = navValue(l[2], 2);
        e.sqrtA = navValue(l[2], 3);
        e.toe = navValue(l[3], 0), e.cic = navValue(l[3], 1), e.omega0 = navValue(l[3], 2);
        e.cis = navValue(l[3], 3);
        e.i0 = navValue(l[4], 0), e.crc = navValue(l[4], 1), e.omega = navValue(l[4], 2);
        e.omegaDot = navValue(l[4], 3);
        e.iDot = navValue(l[5], 0);
        e.toc = e.toe;   // the clock does not matter for an elevation
        out.push_back(r);
    }
    return out;
}

void ecefOf(double latDeg, double lonDeg, double h, double out[3])
{
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double lat = latDeg * M_PI / 180, lon = lonDeg * M_PI / 180;
    double n = a / std::sqrt(1 - e2 * std::sin(lat) * std::sin(lat));
    out[0] = (n + h) * std::cos(lat) * std::cos(lon);
    out[1] = (n + h) * std::cos(lat) * std::sin(lon);
    out[2] = (n * (1 - e2) + h) * std::sin(lat);
}

// Elevation (radians) of satellite `prn` at GPS time of week `tow` seen from
// a station, with the record whose toe is nearest; -1 without one.
double elevationOf(const std::vector<NavRecord>& nav, int prn, double tow, double latDeg,
                   double lonDeg, double h)
{
    const NavRecord* best = nullptr;
    for (const NavRecord& r : nav)
        if (r.prn == prn && (!best || std::fabs(r.eph.toe - tow) < std::fabs(best->eph.toe - tow)))
            best = &r;
    if (!best) return -1;
    double sat[3], sta[3];
    refGpsPosition(best->eph, tow, sat);
    ecefOf(latDeg, lonDeg, h, sta);
    double d[3] = {sat[0] - sta[0], sat[1] - sta[1], sat[2] - sta[2]};
    double lat = latDeg * M_PI / 180, lon = lonDeg * M_PI / 180;
    double up = std::cos(lat) * std::cos(lon) * d[0] + std::cos(lat) * std::sin(lon) * d[1] +
                std::sin(lat) * d[2];
    return std::asin(up / std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
}

// The L1 ionospheric delay (m) of every satellite of a station at the
// chosen epochs, levelled the textbook way: the geometry-free phase moved to
// the geometry-free code by their mean difference over the arc so far. The
// station's observations are its own stream as convbin reads it (within the
// message resolution, far below the levels' noise).
std::map<uint32_t, std::map<int, double>> levelledIono(const std::string& rtcm3,
                                                      const std::string& workDir,
                                                      const std::set<uint32_t>& wanted)
{
    const double f1 = 1575.42e6, f2 = 1227.60e6, c = 299792458.0;
    const double l1 = c / f1, l2 = c / f2, k = f2 * f2 / (f1 * f1 - f2 * f2);
    std::string plain = workDir + "/levelled.obs";
    std::map<uint32_t, std::map<int, double>> out;
    if (!runConvbin(rtcm3, plain, "2026/12/10 21:30:00")) return out;
    const RinexObs obs = readRinexObs(plain);
    std::remove(plain.c_str());
    uint32_t last = wanted.empty() ? 0 : *wanted.rbegin();
    struct Arc {
        double sum = 0;
        int n = 0;
        double lastGf = 0;
    };
    std::map<int, Arc> arcs;
    // Epoch keys are fixed-width dates: their order is the time order.
    for (const auto& [epoch, sats] : obs) {
        const uint32_t tow = rinexTowMs(epoch);
        if (tow > last) break;
        for (const auto& [sat, values] : sats) {
            if (sat[0] != 'G') continue;
            auto value = [&](const char* type) {
                auto it = values.find(type);
                return it == values.end() ? 0.0 : it->second;
            };
            const double c1 = value("C1C"), p1 = value("L1C"), c2 = value("C2W"), p2 = value("L2W");
            if (c1 == 0 || c2 == 0 || p1 == 0 || p2 == 0) continue;
            const int prn = std::atoi(sat.c_str() + 1);
            double codeGf = c2 - c1, phaseGf = p1 * l1 - p2 * l2;
            Arc& a = arcs[prn];
            // A jump of the phase combination is a slip: a new arc.
            if (a.n > 0 && std::fabs(phaseGf - a.lastGf) > 0.5) a = Arc();
            a.sum += codeGf - phaseGf;
            a.lastGf = phaseGf;
            ++a.n;
            if (wanted.count(tow)) out[tow][prn] = k * (phaseGf + a.sum / a.n);
        }
    }
    return out;
}

struct Slopes {
    double north = 0, east = 0;   // per radian of latitude and of cos-scaled longitude
    bool ok = false;
};

// Least-squares plane through the master's value 0: value = n dLat + e dLonC.
Slopes fitSlopes(const std::vector<std::array<double, 3>>& samples)
{
    double a = 0, b = 0, d = 0, y1 = 0, y2 = 0;
    for (const auto& s : samples) {
        a += s[0] * s[0], b += s[0] * s[1], d += s[1] * s[1];
        y1 += s[0] * s[2], y2 += s[1] * s[2];
    }
    double det = a * d - b * b;
    Slopes out;
    if (samples.size() < 2 || std::fabs(det) < 1e-18) return out;
    out.north = (d * y1 - b * y2) / det;
    out.east = (a * y2 - b * y1) / det;
    out.ok = true;
    return out;
}

// The slant troposphere the simulation describes: Saastamoinen with a
// standard atmosphere at the station height (humidity 0.6) and a plain
// 1/sin(E) mapping.
double slantTroposphere(double latDeg, double h, double elevation)
{
    double p = 1013.25 * std::pow(1 - 2.2557e-5 * h, 5.2568);
    double t = 15.0 - 6.5e-3 * h + 273.15;
    double e = 0.6 * 6.11 * std::exp(17.27 * (t - 273.15) / (t - 35.85));
    double z = 0.0022768 * (p + (1255.0 / t + 0.05) * e) /
               (1 - 0.00266 * std::cos(2 * latDeg * M_PI / 180) - 0.00028 * h / 1000);
    return z / std::sin(elevation);
}

struct Station {
    std::string name;
    double lat, lon, h;
};

const Station simulatedStations[] = {{"BAS1", 47.3300959, 14.9589589, 557.661},
                                     {"BAS2", 47.4748395, 15.7434112, 537.778},
                                     {"BAS3", 46.8219475, 16.1207186, 322.436},
                                     {"BAS4", 46.5332947, 15.5820560, 643.582},
                                     {"BAS5", 46.8692047, 14.6912565, 684.413}};

double fkpMapping(double elevation)
{
    double x = 0.53 - elevation / M_PI;
    return 1 + 16 * x * x * x;
}

}   // namespace

// Twenty minutes of the simulated network at two epochs a second, then the
// FKP gradients of the masters of both rover points for every satellite above
// 30 degrees against the slopes the stations' own observations give (the L1
// ionosphere levelled from their RINEX, the troposphere of the model), read
// with the public FKP definition: L1 ionospheric change (120/154) x 6.37 x H x
// (NI dLat + EI dLonC), geometric change 6.37 x (N0 dLat + E0 dLonC).
TEST(NetworkStreamsE2E, LongFkpGradientsAgreeWithTheSimulatedAtmosphere)
{
    if (!longTests()) GTEST_SKIP() << "set CASTER_LONG_TESTS=1 (about 13 minutes)";
    NetworkReplay net;
    net.settings.fkp = true;
    net.settings.mac = true;
    ASSERT_TRUE(net.addBases(dataPath("network/simulated"), simulatedBases));
    const int historyS = 1200, judgedS = 60;
    ASSERT_TRUE(net.start(2.0, 0, historyS + judgedS));
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    int rovers[2] = {net.addRover("RTCM31_FKP", rov1Lat, rov1Lon, rov1H),
                     net.addRover("RTCM31_FKP", rov2Lat, rov2Lon, rov2H)};
    int macRover = net.addRover("RTCM31_MAC", rov1Lat, rov1Lon, rov1H);
    ASSERT_TRUE(net.runToEnd(historyS * 1000 + 120000));
    dumpRovers(net);
    const uint32_t firstJudged = (423000u + uint32_t(historyS)) * 1000u;

    // The 1034 of each judged epoch, per master.
    std::map<int, std::map<uint32_t, FkpMessage>> fkp;   // station id -> tow -> message
    for (int k : rovers) {
        const NetworkRover& r = net.rover(k);
        SplitStream s = splitRover(r);
        EXPECT_EQ(s.error, "");
        for (const StreamFrame& f : s.frames) {
            if (f.format != 0 || f.id != 1034) continue;
            FkpMessage m;
            ASSERT_TRUE(readFkp(frameAt(r.capture, f), f.length, m));
            if (m.epochS * 1000u >= firstJudged) fkp[m.station][m.epochS * 1000u] = m;
        }
    }
    // Every tenth judged epoch.
    std::set<uint32_t> wanted;
    for (uint32_t t = firstJudged; t < firstJudged + uint32_t(judgedS) * 1000u; t += 10000) wanted.insert(t);
    std::map<std::string, std::map<uint32_t, std::map<int, double>>> iono;
    for (const Station& st : simulatedStations)
        iono[st.name] = levelledIono(dataPath("network/simulated/" + st.name + ".rtcm3"),
                                     net.caster().dir(), wanted);
    std::vector<NavRecord> nav = readNav(dataPath("network/simulated/brdc3440.26n"));
    ASSERT_FALSE(nav.empty());

    struct Masters {
        int index;
        int id;
    } masters[] = {{0, 201}, {2, 203}};
    int compared = 0, ionoSignOk = 0, ionoWithin2 = 0, geoSignOk = 0, geoWithin2 = 0, geoCompared = 0;
    std::vector<double> ionoRatios, geoRatios;
    for (const Masters& ms : masters) {
        const Station& m = simulatedStations[ms.index];
        double cosLat = std::cos(m.lat * M_PI / 180);
        for (uint32_t tow : wanted) {
            auto found = fkp[ms.id].find(tow);
            ASSERT_NE(found, fkp[ms.id].end()) << "no 1034 of " << ms.id << " at " << tow;
            for (const FkpSatellite& sat : found->second.satellites) {
                double el = elevationOf(nav, sat.id, tow / 1000.0, m.lat, m.lon, m.h);
                if (el < 30 * M_PI / 180) continue;
                std::vector<std::array<double, 3>> ionoSamples, tropoSamples;
                double mIono = iono[m.name][tow].count(sat.id) ? iono[m.name][tow][sat.id] : 0;
                double mTropo = slantTroposphere(m.lat, m.h, el);
                for (const Station& a : simulatedStations) {
                    if (a.name == m.name || !iono[a.name][tow].count(sat.id) || mIono == 0) continue;
                    double dLat = (a.lat - m.lat) * M_PI / 180;
                    double dLonC = (a.lon - m.lon) * M_PI / 180 * cosLat;
                    double aEl = elevationOf(nav, sat.id, tow / 1000.0, a.lat, a.lon, a.h);
                    ionoSamples.push_back({dLat, dLonC, iono[a.name][tow][sat.id] - mIono});
                    tropoSamples.push_back({dLat, dLonC, slantTroposphere(a.lat, a.h, aEl) - mTropo});
                }
                Slopes si = fitSlopes(ionoSamples), st = fitSlopes(tropoSamples);
                if (!si.ok) continue;
                double h = fkpMapping(el);
                double ni = si.north / (6.37 * 120.0 / 154.0 * h), ei = si.east / (6.37 * 120.0 / 154.0 * h);
                double n0 = st.north / 6.37, e0 = st.east / 6.37;
                // Each component large enough for its 0.01 ppm field to judge.
                for (auto [expected, got] : {std::pair{ni, sat.ni}, std::pair{ei, sat.ei}}) {
                    if (std::fabs(expected) < 0.1) continue;
                    ++compared;
                    double ratio = got / expected;
                    ionoRatios.push_back(ratio);
                    if (ratio > 0) ++ionoSignOk;
                    if (ratio >= 0.5 && ratio <= 2.0) ++ionoWithin2;
                }
                for (auto [expected, got] : {std::pair{n0, sat.n0}, std::pair{e0, sat.e0}}) {
                    if (std::fabs(expected) < 0.05) continue;
                    ++geoCompared;
                    double ratio = got / expected;
                    geoRatios.push_back(ratio);
                    if (ratio > 0) ++geoSignOk;
                    if (ratio >= 0.5 && ratio <= 2.0) ++geoWithin2;
                }
                std::printf("master %d G%02d el %4.1f: NI %6.2f (expected %6.2f) EI %6.2f (%6.2f) "
                            "N0 %6.2f (%6.2f) E0 %6.2f (%6.2f) ppm\n",
                            ms.id, sat.id, el * 180 / M_PI, sat.ni, ni, sat.ei, ei, sat.n0, n0,
                            sat.e0, e0);
            }
        }
    }
    // The MAC rover's ionospheric differences are the auxiliary's L1 delay
    // less the master's (BAS1, id 201).
    const std::map<int, std::string> stationOfId = {
        {201, "BAS1"}, {202, "BAS2"}, {203, "BAS3"}, {204, "BAS4"}, {205, "BAS5"}};
    int macCompared = 0, macClose = 0;
    double macWorst = 0;
    {
        const NetworkRover& r = net.rover(macRover);
        SplitStream s = splitRover(r);
        int unreadable = 0;
        std::map<uint32_t, EpochContent> epochs = epochsOf(r, s, unreadable);
        for (uint32_t tow : wanted)
            for (const MacMessage& m : epochs[tow].mac) {
                EXPECT_EQ(m.master, 201);
                const auto& mIono = iono["BAS1"][tow];
                const auto& aIono = iono[stationOfId.at(m.aux)][tow];
                for (const MacSatellite& sat : m.satellites) {
                    if (!mIono.count(sat.id) || !aIono.count(sat.id)) continue;
                    double expected = aIono.at(sat.id) - mIono.at(sat.id);
                    double off = std::fabs(sat.ionospheric - expected);
                    ++macCompared;
                    if (off < 0.03) ++macClose;
                    macWorst = std::max(macWorst, off);
                }
            }
    }
    std::printf("MAC: %d ionospheric differences, %d within 3 cm of the stations' levelled "
                "delays, worst %.3f m\n", macCompared, macClose, macWorst);
    EXPECT_GE(macCompared, 50);
    EXPECT_GE(macClose * 10, macCompared * 9);

    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("ionospheric: %d components, %d of the expected sign, %d within a factor of two, "
                "median ratio %.2f\n", compared, ionoSignOk, ionoWithin2, median(ionoRatios));
    std::printf("geometric: %d components, %d of the expected sign, %d within a factor of two, "
                "median ratio %.2f\n", geoCompared, geoSignOk, geoWithin2, median(geoRatios));
    ASSERT_GE(compared, 10);
    EXPECT_GE(ionoSignOk * 10, compared * 9);
    EXPECT_GE(ionoWithin2 * 10, compared * 8);
    EXPECT_GE(geoSignOk * 10, geoCompared * 9);
    EXPECT_GE(geoWithin2 * 10, geoCompared * 8);
}

// The four real Catalan stations (30 s epochs) at two epochs a second: the
// FKP and MAC rovers near MATA get every epoch, and no ionospheric gradient
// or correction difference stands at its field's limit (where a value that
// was not a number or out of range would end up).
TEST(NetworkStreamsE2E, LongCataloniaDeliversEveryEpochFinite)
{
    if (!longTests()) GTEST_SKIP() << "set CASTER_LONG_TESTS=1 (about 4 minutes)";
    NetworkReplay net;
    net.settings.fkp = true;
    net.settings.mac = true;
    ASSERT_TRUE(net.addBases(dataPath("network/catalonia"), {"CREU", "EBRE", "GARR", "MATA"}));
    // From 10:00 of the day, when the arcs have long been levelled.
    ASSERT_TRUE(net.start(2.0, 36000 - 0, 0));
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    // Between MATA and GARR, closer to MATA.
    int fkpRover = net.addRover("RTCM31_FKP", 41.47, 2.25, 150.0);
    int macRover = net.addRover("RTCM31_MAC", 41.47, 2.25, 150.0);
    net.runFor(150000);
    double end = msSinceStart();
    dumpRovers(net);
    std::vector<ReplayedEpoch> sent = net.replayed();
    for (int k : {fkpRover, macRover}) {
        const NetworkRover& r = net.rover(k);
        SCOPED_TRACE(r.stream);
        SplitStream s = splitRover(r);
        EXPECT_EQ(s.error, "");
        double served = firstArrival(s, 1004);
        ASSERT_GT(served, 0);
        int unreadable = 0;
        std::map<uint32_t, EpochContent> epochs = epochsOf(r, s, unreadable);
        EXPECT_EQ(unreadable, 0);
        std::vector<uint32_t> tows = towsBetween(sent, served + 1000, end - 2000);
        ASSERT_GE(tows.size(), 200u);
        int missing = 0, atLimit = 0, values = 0, geometricAtLimit = 0;
        for (uint32_t tow : tows) {
            const EpochContent& e = epochs[tow];
            if (e.observed.empty() || (r.stream == "RTCM31_FKP" ? e.fkp.empty() : e.mac.empty()))
                ++missing;
            // The geometric terms may stand at their limit: the model
            // troposphere of stations 500 m apart in height, low in the sky,
            // changes faster than the field can say, and is clamped.
            for (const FkpMessage& m : e.fkp)
                for (const FkpSatellite& sat : m.satellites) {
                    values += 2;
                    atLimit += std::fabs(sat.ni) >= 81.91 || std::fabs(sat.ei) >= 81.91;
                    geometricAtLimit += std::fabs(sat.n0) >= 20.47 || std::fabs(sat.e0) >= 20.47;
                }
            for (const MacMessage& m : e.mac)
                for (const MacSatellite& sat : m.satellites) {
                    values += 2;
                    atLimit += std::fabs(sat.ionospheric) >= 32.76 || std::fabs(sat.geometric) >= 32.76;
                }
        }
        EXPECT_EQ(missing, 0) << "of " << tows.size();
        EXPECT_EQ(atLimit, 0) << "of " << values;
        std::printf("%s: %zu epochs, %d missing, %d ionospheric values, %d at a field limit; "
                    "%d satellites with a geometric gradient at its limit\n",
                    r.stream.c_str(), tows.size(), missing, values, atLimit, geometricAtLimit);
    }
}
