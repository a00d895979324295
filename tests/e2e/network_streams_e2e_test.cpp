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
#include "support/test_support.h"

namespace {

const std::vector<std::string> simulatedBases = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};
// truth.json of the simulated network.
constexpr double rov1Lat = 47.2282831, rov1Lon = 15.0085323, rov1H = 486.955;
constexpr double rov2Lat = 47.0089932, rov2Lon = 15.75, rov2H = 496.080;

// ---- RTCM 3 network messages, from the public layouts ----

int64_t signedBits(const uint8_t* frame, unsigned pos, unsigned n)
{
    uint64_t v = rtcmBits(frame, pos, n);
    return (v >> (n - 1)) ? int64_t(v) - (int64_t(1) << n) : int64_t(v);
}

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
        s.n0 = double(signedBits(frame, pos + 14, 12)) * 0.01;
        s.e0 = double(signedBits(frame, pos + 26, 12)) * 0.01;
        s.ni = double(signedBits(frame, pos + 38, 14)) * 0.01;
        s.ei = double(signedBits(frame, pos + 52, 14)) * 0.01;
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
            s.geometric = double(signedBits(frame, at, 17)) * 0.0005;
            at += 25;
        }
        s.ionospheric = double(signedBits(frame, at, 17)) * 0.0005;
        m.satellites.push_back(s);
    }
    return true;
}

const uint8_t* frameAt(const Capture& c, const StreamFrame& f)
{
    return reinterpret_cast<const uint8_t*>(c.bytes.data()) + f.offset;
}

// The satellites of a GPS observation frame: 1004 (count at bit 55, 5 bits,
// ids 6 bits every 125 bits from bit 64) or the satellite mask of a 1074.
std::set<int> observedSatellites(const uint8_t* frame, int number)
{
    std::set<int> sats;
    if (number == 1004) {
        int count = int(rtcmBits(frame, 55, 5));
        for (int k = 0; k < count; ++k) sats.insert(int(rtcmBits(frame, 64 + 125 * unsigned(k), 6)));
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

bool longTests()
{
    const char* v = std::getenv("CASTER_LONG_TESTS");
    return v && std::string(v) == "1";
}

}   // namespace

TEST(NetworkStreamsE2E, FkpAndMacRoversGetEveryEpochConvbin)
{
    if (access(convbinPath, X_OK) != 0) GTEST_SKIP() << "convbin (rtklib) is not installed";
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
    if (const char* dir = std::getenv("E2E_DUMP")) {
        for (int k = 0; k < net.roverCount(); ++k)
            std::ofstream(std::string(dir) + "/" + net.rover(k).stream + "-" +
                              net.rover(k).user + ".bin",
                          std::ios::binary)
                << net.rover(k).capture.bytes;
        std::ofstream(std::string(dir) + "/console.txt") << net.caster().console();
    }
}
