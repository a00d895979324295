// The iMAC observation builders on a real epoch of the simulated network
// (BAS3's first 1004): the rover at the master gets the master's own
// frames byte for byte, a rover elsewhere gets every satellite moved by
// exactly the gradient shift (checked with a reader written from the RTCM
// layout, not with our decoder), values that leave their fields are marked
// invalid, and a frame never mixes two decodes.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/cmr/cmr_decode.h"
#include "formats/cmr/cmr_encode.h"
#include "formats/nct/nct_decode.h"
#include "formats/nct/nct_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_frame_writer.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "formats/rtcm_test_decode.h"
#include "network/imac_observations.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

constexpr double pi = 3.1415926535898;
constexpr double k1 = 4.963636363636364, k2 = 8.174833333333334;

class ImacObservations : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        initEpochValues();
        setWallTimeOverride(1700000000);
        consoleCaptureStart();
        feedMaster(0, "network/simulated/BAS3.rtcm3");
        Client& c = client[0];
        c.masterBase = 0;
        c.latitude = baseStation[0].latitude;
        c.longitude = baseStation[0].longitude;
    }
    void TearDown() override
    {
        consoleCaptureStop();
        setWallTimeOverride(0);
    }

    // The station position (1006) and the first 1004 of a recording.
    static void feedMaster(int slot, const std::string& file)
    {
        std::vector<uint8_t> data = readFileBytes(dataPath(file));
        ASSERT_FALSE(data.empty());
        bool position = false, epoch = false;
        for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
            const uint8_t* p = &data[f.offset];
            if (f.messageNumber == 1006 && !position) position = decodeRtcm1006(p, 0, slot);
            if (f.messageNumber == 1004 && !epoch) epoch = decodeRtcm1004(p, 0, slot) > 0;
            if (position && epoch) break;
        }
        ASSERT_TRUE(position && epoch);
    }

    // Current GPS entries of the master.
    static std::vector<int> currentSlots()
    {
        std::vector<int> slots;
        const BaseStation& b = baseStation[0];
        for (int i = 0; i < 32; ++i)
            if (b.gpsSat[i].epochMs == b.gpsTowMs) slots.push_back(i);
        return slots;
    }

    uint8_t frame[maxFrameBytes] = {};
    uint8_t reference[maxFrameBytes] = {};
};

// The shift of the iMAC model, written out from its definition.
void expectedShift(const BaseStation& m, const Client& c, int slot, int band, double& code,
                   double& phase)
{
    const auto& g = m.netGradient.gps;
    double dLat = c.latitude * pi / 180 - m.latitudeRad;
    double dLon = c.longitude * pi / 180 - m.longitudeRad;
    double cosLat = std::cos(m.latitudeRad);
    double f = 1 + 16 * std::pow(0.53 - m.gpsSat[slot].elevation * pi / 180 / pi, 3);
    double ip = g[0][slot] * dLat + g[1][slot] * dLon * cosLat;
    double ic = g[4][slot] * dLat + g[5][slot] * dLon * cosLat;
    // The troposphere pair (arrays 2, 3) is not applied: the rover models
    // the troposphere at both ends itself.
    double k = band == 0 ? k1 : k2;
    code = k * f * ic;
    phase = k * f * ip;
}

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

const testdec::LegacySat* findSat(const testdec::LegacyMsg& m, int id)
{
    for (const auto& s : m.sats)
        if (s.id == id) return &s;
    return nullptr;
}

}   // namespace

TEST_F(ImacObservations, RoverAtTheMasterGetsTheMastersOwnFrames)
{
    ASSERT_GE(currentSlots().size(), 6u);
    // Gradients everywhere: at the master's position they move nothing.
    for (int k = 0; k < 6; ++k)
        for (int i = 0; i < 32; ++i) baseStation[0].netGradient.gps[k][i] = 3.0 + k + i;

    int n = encodeRtcm1004Imac(0, frame);
    int r = encodeRtcm1004(0, reference);
    ASSERT_GT(n, 8 + 6);
    ASSERT_EQ(n, r);
    EXPECT_EQ(std::memcmp(frame, reference, size_t(n)), 0);

    n = encodeCmr0Imac(frame, 0);
    r = encodeCmr0(reference, 0);
    ASSERT_EQ(n, r);
    EXPECT_EQ(std::memcmp(frame, reference, size_t(n)), 0);

    n = encodeNct5EGpsGloImac(frame, 0);
    r = encodeNct5EGpsGlo(reference, 0);
    ASSERT_EQ(n, r);
    EXPECT_EQ(std::memcmp(frame, reference, size_t(n)), 0);

    // No master base: nothing is built.
    client[0].masterBase = -1;
    EXPECT_EQ(encodeRtcm1004Imac(0, frame), 0);
    EXPECT_EQ(encodeCmr3Imac(frame, 0), 0);
    EXPECT_EQ(encodeNct5EGpsImac(frame, 0), 0);
}

TEST_F(ImacObservations, EverySatelliteMovesByItsGradientShift)
{
    BaseStation& m = baseStation[0];
    std::vector<int> slots = currentSlots();
    ASSERT_GE(slots.size(), 6u);
    // Realistic sizes: a few decimetres of ionosphere over the 35 km to
    // ROV2, different per satellite; a troposphere pair that must not move
    // anything.
    for (int i : slots) {
        m.gpsSat[i].elevation = int16_t(15 + 5 * (i % 14));
        double s = 1.0 + 0.1 * i;
        m.netGradient.gps[0][i] = -40 * s;
        m.netGradient.gps[1][i] = 25 * s;
        m.netGradient.gps[2][i] = 1.5 * s;
        m.netGradient.gps[3][i] = -0.8 * s;
        m.netGradient.gps[4][i] = 40 * s;
        m.netGradient.gps[5][i] = -25 * s;
    }
    Client& c = client[0];
    c.latitude = 47.0089932;   // ROV2
    c.longitude = 15.75;

    int n = encodeRtcm1004Imac(0, frame);
    int r = encodeRtcm1004(0, reference);
    ASSERT_TRUE(testdec::frameOk(frame, n));
    testdec::LegacyMsg imac = testdec::decodeLegacy(frame, n);
    testdec::LegacyMsg base = testdec::decodeLegacy(reference, r);
    ASSERT_FALSE(imac.overrun);
    EXPECT_EQ(imac.number, 1004);
    EXPECT_EQ(imac.station, 203);
    EXPECT_EQ(imac.epoch, m.gpsTowMs);
    // The header counts the blocks written.
    EXPECT_EQ(imac.count, int(imac.sats.size()));
    EXPECT_EQ(imac.sats.size(), slots.size());

    double largest = 0;
    for (int i : slots) {
        int id = i == 0 ? 32 : i;
        const auto* a = findSat(imac, id);
        const auto* b = findSat(base, id);
        ASSERT_TRUE(a && b) << id;
        double dc1, dp1, dc2, dp2;
        expectedShift(m, c, i, 0, dc1, dp1);
        expectedShift(m, c, i, 1, dc2, dp2);
        largest = std::max(largest, std::fabs(dc2));
        // Both frames quantise the code to 0.02 m and the phases, taken
        // against the code sent, to 0.5 mm.
        EXPECT_NEAR(a->code1 - b->code1, -dc1, 0.021) << id;
        EXPECT_NEAR(a->phase1 - b->phase1, -dp1, 0.0006) << id;
        EXPECT_NEAR(a->code2 - b->code2, -dc2, 0.021) << id;
        EXPECT_NEAR(a->phase2 - b->phase2, -dp2, 0.0006) << id;
    }
    EXPECT_GT(largest, 0.3);   // the test would not see a lost shift otherwise

    // 1003 carries the same shifted ranges without ambiguity and CNR.
    n = encodeRtcm1003Imac(0, frame);
    testdec::LegacyMsg legacy = testdec::decodeLegacy(frame, n);
    ASSERT_TRUE(testdec::frameOk(frame, n));
    ASSERT_EQ(legacy.sats.size(), imac.sats.size());
    for (size_t k = 0; k < legacy.sats.size(); ++k) {
        double modulo = std::fmod(imac.sats[k].code1, testdec::lightMs);
        EXPECT_NEAR(legacy.sats[k].code1, modulo, 0.021);
        EXPECT_NEAR(legacy.sats[k].phase1 - legacy.sats[k].code1,
                    imac.sats[k].phase1 - imac.sats[k].code1, 0.021);
    }
}

TEST_F(ImacObservations, CodeCrossingALightMillisecondKeepsItsAmbiguity)
{
    // A code just above one light-millisecond step, moved below it: the
    // ambiguity follows the moved code, so the rover reads the moved range
    // and not one 300 km off.
    BaseStation& m = baseStation[0];
    int i = currentSlots().front();
    GpsSatObs& s = m.gpsSat[i];
    const double step = 72 * testdec::lightMs;
    double p1 = s.phaseRange[0] - s.codeRange[0], p2 = s.phaseRange[1] - s.codeRange[0];
    double c2 = s.codeRange[1] - s.codeRange[0];
    s.codeRange[0] = step + 0.05;
    s.codeRange[1] = s.codeRange[0] + c2;
    s.phaseRange[0] = s.codeRange[0] + p1;
    s.phaseRange[1] = s.codeRange[0] + p2;
    s.elevation = 90;
    m.netGradient.gps[4][i] = 10.0;   // code ionosphere: K1 x F x 10 x dLat
    Client& c = client[0];
    const double f90 = 1 + 16 * std::pow(0.53 - 0.5, 3);
    c.latitude = m.latitude + 0.1 / (k1 * f90 * 10.0) * 180 / pi;   // 0.1 m lower
    int n = encodeRtcm1004Imac(0, frame);
    testdec::LegacyMsg imac = testdec::decodeLegacy(frame, n);
    const auto* a = findSat(imac, i == 0 ? 32 : i);
    ASSERT_TRUE(a);
    EXPECT_NEAR(a->code1, step - 0.05, 0.011);
}

TEST_F(ImacObservations, AJumpOfThePhaseShiftReachesTheRoverAsALossOfLock)
{
    // Epoch after epoch the shift drifts by millimetres: lock goes on. When
    // the network's estimate jumps by decimetres the rover is told the
    // carrier lost lock, as a receiver would after a slip.
    BaseStation& m = baseStation[0];
    int i = currentSlots().front();
    GpsSatObs& s = m.gpsSat[i];
    s.elevation = 90;
    s.lockTimeS[0] = s.lockTimeS[1] = 600;
    Client& c = client[0];
    c.latitude = m.latitude + 0.2;
    const int id = i == 0 ? 32 : i;
    const std::vector<int> slots = currentSlots();
    auto lockAt = [&](double gradient) {
        m.netGradient.gps[0][i] = gradient;   // phase ionosphere only
        for (int k : slots) m.gpsSat[k].epochMs = m.gpsTowMs;
        int n = encodeRtcm1004Imac(0, frame);
        testdec::LegacyMsg msg = testdec::decodeLegacy(frame, n);
        const auto* a = findSat(msg, id);
        m.gpsTowMs += 1000;
        return a ? a->lock1 : -1;
    };
    const int held = legacyLockIndicator(600);
    EXPECT_EQ(lockAt(20.0), held);
    EXPECT_EQ(lockAt(20.1), held);   // a few millimetres
    EXPECT_EQ(lockAt(30.0), 0);      // decimetres: lock lost
    EXPECT_EQ(lockAt(30.0), held);
    // A gap of more than a minute starts the rover afresh.
    m.gpsTowMs += 60000;
    EXPECT_EQ(lockAt(60.0), held);
}

TEST_F(ImacObservations, ValuesBeyondTheirFieldsAreMarkedNotWrapped)
{
    // A code gradient so large that L2 - L1 leaves its 14-bit field
    // (+-163.8 m): the rover is told "invalid", never a wrapped number.
    BaseStation& m = baseStation[0];
    int i = currentSlots().front();
    m.gpsSat[i].elevation = 90;
    m.netGradient.gps[4][i] = 1e5;
    client[0].latitude = m.latitude + 0.1;
    int n = encodeRtcm1004Imac(0, frame);
    testdec::LegacyMsg imac = testdec::decodeLegacy(frame, n);
    const auto* a = findSat(imac, i == 0 ? 32 : i);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->rawL2Code, -8192);
}

TEST_F(ImacObservations, NctAndCmrFramesDecodeToTheMovedRanges)
{
    BaseStation& m = baseStation[0];
    std::vector<int> slots = currentSlots();
    for (int i : slots) {
        m.gpsSat[i].elevation = 40;
        m.netGradient.gps[4][i] = 4.0;   // the same code ionosphere term for all
    }
    Client& c = client[0];
    c.latitude = m.latitude + 0.3;
    double dc, dp;
    expectedShift(m, c, slots.front(), 0, dc, dp);
    ASSERT_GT(std::fabs(dc), 0.1);

    // NCT 5E, GPS only: our decoder into another slot.
    int n = encodeNct5EGpsImac(frame, 0);
    ASSERT_GT(n, 20);
    EXPECT_EQ(le16(frame + 14), 203u);   // the station, not a fixed word
    EXPECT_EQ(le16(frame + 8), currentGpsWeek.load());
    ASSERT_GT(decodeNct5E(frame, 0, uint32_t(n), 1), 0);
    for (int i : slots)
        EXPECT_NEAR(baseStation[1].gpsSat[i].codeRange[0], m.gpsSat[i].codeRange[0] - dc, 0.012) << i;

    // CMR type 0: our decoder into a third slot.
    n = encodeCmr0Imac(frame, 0);
    ASSERT_GT(n, 12);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), true, 2));
    for (int i : slots) {
        const GpsSatObs& d = baseStation[2].gpsSat[i];
        ASSERT_EQ(d.epochMs % 240000, m.gpsTowMs % 240000) << i;
        double expect = std::fmod(m.gpsSat[i].codeRange[0] - dc, testdec::lightMs);
        EXPECT_NEAR(std::fmod(d.codeRange[0], testdec::lightMs), expect, 0.025) << i;
    }
}

TEST_F(ImacObservations, TimeWordOfTheDualFrameEqualsTheSteppedCounter)
{
    // The receivers' counter stepped once per second of the week, against
    // the word the iMAC frame carries, at seconds spread over the week.
    BaseStation& m = baseStation[0];
    uint32_t a = 0, b = 0, carries = 0;
    uint32_t stepped = 0;
    for (uint32_t s = 0; s <= 604799; s += (s < 300 ? 1 : 7919)) {
        while (stepped < s) {
            nctTickStep(a, b, carries);
            ++stepped;
        }
        m.gpsTowMs = s * 1000 + 250;
        int n = encodeNct5EGpsGloImac(frame, 0);
        ASSERT_GT(n, 14);
        uint32_t word = s == 0 ? 0x40000000u : (0x40000000u | (((b << 7) | (a & 0x7F)) << 3));
        ASSERT_EQ(le32(frame + 10), word) << s;
    }
}

TEST_F(ImacObservations, AFrameNeverMixesTwoDecodes)
{
    // While the base data thread rewrites the record nothing is built from
    // it; a writer that keeps switching the whole epoch between two states
    // is never caught half way.
    BaseStation& m = baseStation[0];
    beginRecordWrite(m);
    EXPECT_EQ(encodeRtcm1004Imac(0, frame), 0);
    EXPECT_EQ(encodeCmr0Imac(frame, 0), 0);
    endRecordWrite(m);
    EXPECT_GT(encodeRtcm1004Imac(0, frame), 0);

    std::vector<int> slots = currentSlots();
    double base[32];
    for (int i : slots) base[i] = m.gpsSat[i].codeRange[0];
    std::atomic<bool> run{true};
    std::thread writer([&] {
        int state = 0;
        while (run.load()) {
            state ^= 1;
            beginRecordWrite(m);
            for (int i : slots) {
                GpsSatObs& s = m.gpsSat[i];
                double d = state ? 100.0 : 0.0;
                double c0 = s.codeRange[0];
                s.codeRange[0] = base[i] + d;
                s.codeRange[1] += s.codeRange[0] - c0;
                s.phaseRange[0] += s.codeRange[0] - c0;
                s.phaseRange[1] += s.codeRange[0] - c0;
            }
            endRecordWrite(m);
        }
    });
    int built = 0;
    for (int k = 0; k < 3000; ++k) {
        int n = encodeRtcm1004Imac(0, frame);
        if (n == 0) continue;
        ++built;
        testdec::LegacyMsg msg = testdec::decodeLegacy(frame, n);
        ASSERT_EQ(msg.sats.size(), slots.size());
        int moved = 0;
        for (size_t j = 0; j < slots.size(); ++j)
            if (std::fabs(msg.sats[j].code1 - base[slots[j]]) > 50) ++moved;
        ASSERT_TRUE(moved == 0 || moved == int(slots.size())) << moved;
    }
    run = false;
    writer.join();
    EXPECT_GT(built, 0);
}
