// The NCT 5E with GLONASS that the caster builds for an RTCM base holds the
// GPS and the GLONASS observations of one and the same epoch, whether the
// base sends legacy or MSM messages, and a GPS-only base still gets one
// per epoch.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "caster/base_data_thread.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/nct/nct_decode.h"
#include "platform/console.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

constexpr double lightMs = 299792.458;

double moduloDifference(double a, double b)
{
    double d = std::fmod(a - b, lightMs);
    if (d > lightMs / 2) d -= lightMs;
    if (d <= -lightMs / 2) d += lightMs;
    return d;
}

class Nct5EEpoch : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        initEpochValues();
        consoleCaptureStart();
        casterSettings.nctGlonass = true;
        baseStation[0].connected = 1;
    }
    void TearDown() override { consoleCaptureStop(); }

    // Feeds the frames of `file` whose message numbers `keep` accepts, one
    // receive per frame, a second of clock per epoch (an epoch starts with
    // each GPS observation message). Stops after `epochs` epochs.
    template <typename Keep>
    void feed(const std::string& file, int epochs, Keep keep)
    {
        std::vector<uint8_t> data = readFileBytes(dataPath(file));
        uint32_t clock = 100000;
        int seen = 0;
        for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
            if (!keep(f.messageNumber)) continue;
            if (f.messageNumber == 1004 || f.messageNumber == 1074) {
                if (seen == epochs) return;
                ++seen;
                clock += 1000;
            }
            ASSERT_EQ(appendBaseData(0, &data[f.offset], f.length), f.length);
            scanBaseBuffer(0, 1000, clock);
        }
    }

    // Reads the kept 5E back into base 1 and compares its satellites with
    // base 0's current epoch.
    void expectKept5EHoldsCurrentEpoch()
    {
        const BaseStation& b0 = baseStation[0];
        const BaseStation& b1 = baseStation[1];
        const KeptMessage& m = b0.msg[kindNct5E];
        ASSERT_GT(decodeNct5E(m.msgBuffer, 0, m.msgLength, 1), 0);
        EXPECT_EQ(b1.gpsTowMs, b0.gpsTowMs);
        int gps = 0, glonass = 0;
        for (int prn = 1; prn <= 32; ++prn) {
            const GpsSatObs& s0 = b0.gpsSat[gpsSatIndex(prn)];
            const GpsSatObs& s1 = b1.gpsSat[gpsSatIndex(prn)];
            if (s0.epochMs != b0.gpsTowMs) continue;
            ++gps;
            ASSERT_EQ(s1.epochMs, b1.gpsTowMs) << "G" << prn;
            // This 5E form reads back with a fixed 20 m added to GPS code.
            EXPECT_NEAR(moduloDifference(s1.codeRange[0] - 20.0, s0.codeRange[0]), 0, 0.03)
                << "G" << prn;
        }
        for (int slot = 1; slot <= 24; ++slot) {
            const GloSatObs& s0 = b0.gloSat[gloSatIndex(slot)];
            const GloSatObs& s1 = b1.gloSat[gloSatIndex(slot)];
            if (s0.epochMs != b0.gloEpochMs) continue;
            ++glonass;
            ASSERT_EQ(s1.epochMs, b1.gloEpochMs) << "R" << slot;
            // A GLONASS satellite moves up to about 800 m in a second: the
            // previous epoch's code would be far off.
            EXPECT_NEAR(moduloDifference(s1.codeRange[0], s0.codeRange[0]), 0, 0.03)
                << "R" << slot;
        }
        EXPECT_GT(gps, 0);
        EXPECT_GT(glonass, 0);
    }
};

TEST_F(Nct5EEpoch, LegacyBaseGetsGpsAndGlonassOfOneEpoch)
{
    feed("rtcm3/testglo.rtcm3", 3, [](uint32_t) { return true; });
    expectKept5EHoldsCurrentEpoch();
    EXPECT_EQ(baseStation[0].msg[kindNct5E].msgNative, 0);
}

TEST_F(Nct5EEpoch, MsmBaseGetsGpsAndGlonassOfOneEpoch)
{
    feed("rtcm3/gmsd7-part1-msm4.rtcm3", 3, [](uint32_t) { return true; });
    expectKept5EHoldsCurrentEpoch();
}

TEST_F(Nct5EEpoch, GpsOnlyBaseGetsOnePerEpoch)
{
    feed("rtcm3/testglo.rtcm3", 3, [](uint32_t n) { return n == 1004; });
    const KeptMessage& m = baseStation[0].msg[kindNct5E];
    // Built with the third epoch's 1004, at its clock.
    EXPECT_EQ(m.msgStamp, 103000u);
    ASSERT_GT(decodeNct5E(m.msgBuffer, 0, m.msgLength, 1), 0);
    EXPECT_EQ(baseStation[1].gpsTowMs, baseStation[0].gpsTowMs);
}

}   // namespace
