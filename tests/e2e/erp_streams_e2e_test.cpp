// ERP streams end to end, over the real binary: the simulated GPS + GLONASS
// network's five bases replayed in lockstep, a rover on each ERP stream
// with GGA at a rover point. Every epoch must bring that format's
// observation frames whole; RTCM 3.1 and 3.2 read back in convbin, NCT, CMR
// and BINR through the stream readers, against convbin's reading of the
// RTCM 3.1 stream of the same station.
//
// With CASTER_LONG_TESTS=1 a long run replays twenty minutes of history at
// two epochs a second into the binary and judges the RTCM31_ERP stream as
// RTKLIB's reference station for the rover's own observations, side by side
// with single-base RTK from the master.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/geodesy.h"
#include "erp_replay.h"
#include "network_replay.h"
#include "replay_base.h"
#include "rinex_obs.h"
#include "stream_content.h"
#include "stream_frames.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

const std::vector<std::string> bases = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};

bool longTests()
{
    const char* v = std::getenv("CASTER_LONG_TESTS");
    return v && std::string(v) == "1";
}

// The 1019 and 1020 frames of a recording, back to back.
std::string ephemerisOf(const std::string& path)
{
    std::vector<uint8_t> data = readFileBytes(path);
    std::string out;
    for (const RtcmWalkFrame& f : walkRtcmFrames(data))
        if (f.messageNumber == 1019 || f.messageNumber == 1020)
            out.append(reinterpret_cast<const char*>(&data[f.offset]), f.length);
    return out;
}

// The RTCM frames of a split stream, back to back.
std::string rtcmFrames(const Capture& c, const SplitStream& s)
{
    std::string out;
    for (const StreamFrame& f : s.frames)
        if (f.format == 0) out += c.bytes.substr(f.offset, f.length);
    return out;
}

struct ObsKind {
    int format, id, sub;
};

struct ErpWatch {
    const char* stream;
    RoverFormat format;
    std::vector<ObsKind> observations;
    int rover = -1;
};

}   // namespace

TEST(ErpStreamsE2E, EveryErpStreamBringsEveryEpochWholeConvbin)
{
    REQUIRE_TOOLS(convbinPath);
    NetworkReplay net;
    net.settings.erp = true;
    net.settings.nct = net.settings.cmr = net.settings.binr = true;
    net.settings.nctGlonass = true;
    const std::string dir = dataPath("network/simulated-glonass");
    ASSERT_TRUE(net.addBases(dir, bases));
    // Ten minutes into the window, two epochs a second.
    ASSERT_TRUE(net.start(2.0, 600));
    ASSERT_TRUE(net.waitTrusted(80000)) << net.caster().console();
    // ROV2 of the simulated GPS + GLONASS network; its node is 45.75, 12.5.
    const double lat = 45.7589932, lon = 12.5, height = 168.878;
    std::vector<ErpWatch> watched = {
        {"RTCM31_ERP", RoverFormat::rtcm, {{0, 1004, -1}, {0, 1012, -1}}},
        {"RTCM32_ERP", RoverFormat::rtcm, {{0, 1074, -1}, {0, 1084, -1}}},
        {"JD_ERP", RoverFormat::nct, {{2, 0x5B, -1}, {2, 0x5E, -1}}},
        {"CMR_ERP", RoverFormat::cmr, {{3, 0, -1}, {3, 3, -1}}},
        {"BINR_ERP", RoverFormat::binr, {{1, 0x69, 1}, {1, 0x69, 2}}},
    };
    for (ErpWatch& w : watched) {
        w.rover = net.addRover(w.stream, lat, lon, height);
        ASSERT_GE(w.rover, 0) << w.stream;
    }
    net.runFor(30000);
    const double end = msSinceStart();
    const std::vector<ReplayedEpoch> sent = net.replayed();

    std::vector<SplitStream> split;
    for (const ErpWatch& w : watched) {
        const NetworkRover& r = net.rover(w.rover);
        SCOPED_TRACE(r.stream);
        split.push_back(splitStream(r.capture, greetingLength(r.capture.bytes), w.format));
        const SplitStream& s = split.back();
        EXPECT_EQ(s.error, "");
        EXPECT_LT(r.closedAtMs, 0) << "the caster closed it";
        // From a second after the first observations until two seconds
        // before the end, every replayed epoch brings each observation
        // frame of the format.
        double served = -1;
        for (const StreamFrame& f : s.frames)
            if (f.format == w.observations[0].format && f.id == w.observations[0].id) {
                served = f.arrivalMs;
                break;
            }
        ASSERT_GT(served, 0) << "no observations";
        int epochs = 0;
        for (const ReplayedEpoch& e : sent)
            if (e.sentAtMs >= served + 1000 && e.sentAtMs < end - 2000) ++epochs;
        ASSERT_GE(epochs, 40);
        for (const ObsKind& k : w.observations) {
            int count = 0;
            double gap = largestGap(s, k.format, k.id, served + 1000, end - 2000, count);
            EXPECT_GE(count, epochs - 1) << "frames " << k.id << "/" << k.sub;
            EXPECT_LT(gap, 1600.0) << "frames " << k.id;
            if (k.sub >= 0) {
                EXPECT_GE(countFrames(s, k.format, k.id, k.sub), epochs - 1);
            }
        }
        std::printf("%s: %zu frames, %d epochs from the first observations on\n", r.stream.c_str(),
                    s.frames.size(), epochs);
    }

    // The RTCM 3.1 stream read by convbin is the reference for the others.
    Recording reference;
    reference.name = "erp-rtcm31";
    reference.approxTime = "2026/12/10 21:30:00";
    reference.leapSeconds = 18;
    const NetworkRover& r31 = net.rover(watched[0].rover);
    const std::string stream31 = rtcmFrames(r31.capture, split[0]);
    const std::string path31 = net.caster().dir() + "/erp-rtcm31.rtcm3";
    std::ofstream(path31, std::ios::binary) << stream31;
    const std::string ephemeris = ephemerisOf(dir + "/BAS2.rtcm3");
    ASSERT_TRUE(loadRecording(reference, path31, net.caster().dir(), ephemeris + stream31));
    reference.ephemeris = ephemeris;
    ASSERT_TRUE(reference.hasPosition);
    double node[3];
    geodeticToEcef(45.75, 12.5, 100.0, node[0], node[1], node[2]);
    EXPECT_NEAR(reference.ecef[0], node[0], 0.001);
    EXPECT_NEAR(reference.ecef[1], node[1], 0.001);
    EXPECT_NEAR(reference.ecef[2], node[2], 0.001);

    expectConvbinMatches(net.rover(watched[1].rover).capture, split[1], reference,
                         net.caster().dir(), "erp-rtcm32", "GR");
    expectNctMatches(net.rover(watched[2].rover).capture, split[2], reference);
    expectCmrMatches(net.rover(watched[3].rover).capture, split[3], reference);
    expectBinrMatches(net.rover(watched[4].rover).capture, split[4], reference);
}

// Fifty minutes of the simulated network at two epochs a second, the
// RTCM31_ERP stream at ROV2 as RTKLIB's reference station side by side with
// the master's single-base stream, judged over two ten-minute slices: the
// first after twenty minutes of levelling, the second after forty (it opens
// with the master's G27 slip).
TEST(ErpStreamsE2E, LongRunRtkFromTheErpStreamRnx2rtkpConvbin)
{
    if (!longTests()) GTEST_SKIP() << "set CASTER_LONG_TESTS=1 for the long ERP run";
    REQUIRE_TOOLS(convbinPath, "/usr/bin/rnx2rtkp");
    NetworkReplay net;
    net.settings.erp = true;
    const std::string dir = dataPath("network/simulated");
    ASSERT_TRUE(net.addBases(dir, bases));
    ASSERT_TRUE(net.start(2.0, 0, 3000));
    const double lat = 47.0089932, lon = 15.75, height = 496.080;
    int erpRover = net.addRover("RTCM31_ERP", lat, lon, height);
    int single = net.addRover("BAS30", lat, lon, height);   // BAS3 as RTCM 3.1
    ASSERT_GE(erpRover, 0);
    ASSERT_GE(single, 0);
    ASSERT_TRUE(net.runToEnd(3000 * 1000));

    const std::string work = makeTempDir();
    const std::string ephemeris = ephemerisOf(dir + "/BAS3.rtcm3");
    RtkFigures figures[2], later[2];
    const char* names[2] = {"RTCM31_ERP", "BAS3 single base"};
    const double truth[3] = {4193701.1296688314, 1182746.0417083006, 4642809.444434451};
    const std::string rover = gunzipInto(dataPath("network/simulated/ROV2.rnx.gz"), work);
    ASSERT_FALSE(rover.empty());
    for (int k = 0; k < 2; ++k) {
        const NetworkRover& r = net.rover(k == 0 ? erpRover : single);
        SplitStream s = splitStream(r.capture, greetingLength(r.capture.bytes), RoverFormat::rtcm);
        EXPECT_EQ(s.error, "");
        const std::string rtcm = work + "/" + std::to_string(k) + ".rtcm3";
        const std::string obs = work + "/" + std::to_string(k) + ".obs";
        std::ofstream(rtcm, std::ios::binary) << ephemeris + rtcmFrames(r.capture, s);
        ASSERT_TRUE(runConvbin(rtcm, obs, "2026/12/10 21:30:00"));
        double base[3];
        ASSERT_TRUE(rinexApproxPosition(obs, base));
        ASSERT_TRUE(runRnx2rtkp(dataPath("network/simulated/rtk.conf"), rover, obs,
                                {dataPath("network/simulated/brdc3440.26n")}, base,
                                "2026/12/10 21:50:00", "2026/12/10 22:00:00", truth, work,
                                figures[k]));
        ASSERT_TRUE(runRnx2rtkp(dataPath("network/simulated/rtk.conf"), rover, obs,
                                {dataPath("network/simulated/brdc3440.26n")}, base,
                                "2026/12/10 22:10:00", "2026/12/10 22:20:00", truth, work,
                                later[k]));
        std::printf("real binary, rnx2rtkp ROV2 against %s, 21:50-22:00: %d epochs, fix ratio "
                    "%.3f, fixed horizontal median %.3f m, worst %.3f m; all epochs median %.3f m\n",
                    names[k], figures[k].epochs, figures[k].fixRatio,
                    figures[k].medianHorizontalM, figures[k].worstHorizontalM,
                    figures[k].medianAllHorizontalM);
        std::printf("real binary, rnx2rtkp ROV2 against %s, 22:10-22:20: %d epochs, fix ratio "
                    "%.3f, fixed horizontal median %.3f m, worst %.3f m; all epochs median %.3f m\n",
                    names[k], later[k].epochs, later[k].fixRatio, later[k].medianHorizontalM,
                    later[k].worstHorizontalM, later[k].medianAllHorizontalM);
    }
    EXPECT_GE(figures[0].epochs, 590);
    EXPECT_GE(figures[0].fixRatio, figures[1].fixRatio);
    EXPECT_LE(figures[0].medianAllHorizontalM, figures[1].medianAllHorizontalM);
    EXPECT_GE(later[0].fixRatio, 0.8);
    EXPECT_LE(later[0].worstHorizontalM, 0.05);
    EXPECT_GE(later[0].fixRatio, later[1].fixRatio);
    std::filesystem::remove_all(work);
}
