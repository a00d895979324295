// The iMAC shift on the simulated network, in process: the five bases fed
// epoch by epoch into the decoders with the gradients run after each epoch
// (as the network-correction thread does), a rover at ROV2's ERP node,
// where the simulation also holds a perfect station (ideal_vrs_R2). After
// 20 minutes of history the rover's RTCM 3.1 iMAC epochs, read back with a
// reader written from the message layout, must leave clearly less
// double-differenced ionosphere against that station than the master's own
// epochs do. A sign, unit or time-base fault in the shift cannot pass.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "formats/rtcm_test_decode.h"
#include "network/gradients.h"
#include "network/imac_observations.h"
#include "network/nearest_base.h"
#include "platform/console.h"
#include "support/double_differences.h"
#include "support/network_feed.h"

namespace {

const char* const bases[] = {"BAS1", "BAS2", "BAS3", "BAS4", "BAS5"};
constexpr int master = 2, station = 5;   // BAS3; the perfect station at the node
constexpr double gammaMinus1 = (154.0 * 154.0) / (120.0 * 120.0) - 1.0;

// Per satellite number: the geometry-free code C2 - C1 (metres) of a frame.
std::map<int, double> geometryFree(const uint8_t* frame, int length)
{
    std::map<int, double> out;
    testdec::LegacyMsg m = testdec::decodeLegacy(frame, length);
    for (const auto& s : m.sats)
        if (s.code1 != 0 && s.code2 != 0) out[s.id] = s.code2 - s.code1;
    return out;
}

// Single differences rover - reference of the geometry-free code, epoch by
// epoch, and from them the mean double-differenced L1 ionosphere of each
// satellite against the one seen in most epochs.
struct DoubleDifferences {
    std::vector<std::map<int, double>> epochs;
    void add(const std::map<int, double>& rover, const std::map<int, double>& reference)
    {
        std::map<int, double> sd;
        for (const auto& [sat, v] : rover)
            if (reference.count(sat)) sd[sat] = (v - reference.at(sat)) / gammaMinus1;
        epochs.push_back(sd);
    }
    // 300 epochs at least, to average the code noise down.
    double rms(int& pairs) const { return meanDoubleDifferenceRms(epochs, 300, pairs); }
};

}   // namespace

TEST(ImacReplay, ShiftLeavesLessIonosphereThanTheMaster)
{
    initGlobals();
    casterSettings.networkRegionRadius = 200;
    consoleCaptureStart();
    NetworkFeed feed;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(feed.add(dataPath(std::string("network/simulated/") + bases[i] + ".rtcm3"), i));
    ASSERT_TRUE(feed.add(dataPath("network/simulated/ideal_vrs_R2.rtcm3"), station));

    Client& c = client[0];
    c.latitude = 47.0;   // the node of ideal_vrs_R2
    c.longitude = 15.75;
    uint8_t frame[maxFrameBytes], own[maxFrameBytes];
    DoubleDifferences imac, unshifted;
    uint32_t tow = 0;
    const uint32_t from = feed.firstTowMs() + 20 * 60 * 1000, to = from + 40 * 60 * 1000;
    int epochs = 0;
    double largestShift = 0;
    while (feed.nextEpoch(tow) && tow < to) {
        feed.trustPlacedBases();
        baseStation[station].trusted = 0;
        // The gradient runs also give every station its elevations.
        for (int m = 0; m <= station; ++m) calcNetCorrGPS(m);
        if (tow < from) continue;
        if (c.masterBase < 0) {
            ASSERT_TRUE(selectNearestBases(0));
            ASSERT_EQ(c.masterBase, master);
        }
        // The perfect station's own epoch, as its own 1004 gives it.
        std::map<int, double> truth;
        const BaseStation& v = baseStation[station];
        if (v.gpsTowMs != tow || baseStation[master].gpsTowMs != tow) continue;
        for (int s = 0; s < 32; ++s) {
            const GpsSatObs& o = v.gpsSat[s];
            if (o.epochMs == tow && o.codeRange[0] != 0 && o.codeRange[1] != 0 && o.elevation >= 15)
                truth[s == 0 ? 32 : s] = o.codeRange[1] - o.codeRange[0];
        }
        int n = encodeRtcm1004Imac(0, frame);
        // The master unmoved: the same builder for a rover at the master.
        Client& atMaster = client[1];
        atMaster.masterBase = master;
        atMaster.latitude = baseStation[master].latitude;
        atMaster.longitude = baseStation[master].longitude;
        int k = encodeRtcm1004Imac(1, own);
        ASSERT_GT(n, 0);
        ASSERT_GT(k, 0);
        std::map<int, double> moved = geometryFree(frame, n), master0 = geometryFree(own, k);
        if (truth.empty()) continue;
        imac.add(truth, moved);
        unshifted.add(truth, master0);
        for (const auto& [sat, gf] : moved)
            if (master0.count(sat)) largestShift = std::max(largestShift, std::fabs(gf - master0[sat]));
        ++epochs;
    }
    consoleCaptureStop();
    int pairsI = 0, pairsM = 0;
    double rmsI = imac.rms(pairsI), rmsM = unshifted.rms(pairsM);
    std::printf("%d epochs; double-differenced L1 ionosphere left against the station at the "
                "node: iMAC %.3f m, master %.3f m (%d / %d satellites); largest change of C2 - C1 "
                "%.3f m\n",
                epochs, rmsI, rmsM, pairsI, pairsM, largestShift);
    EXPECT_GT(epochs, 800);
    ASSERT_GE(pairsI, 4);
    EXPECT_GT(rmsM, 0.05);          // the master is 35 km off: there is something to remove
    EXPECT_LT(rmsI, 0.5 * rmsM);    // and most of it is gone
    EXPECT_LT(largestShift, 1.0);   // no unit fault
}

