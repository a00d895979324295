// CMR builders and the CMR / CMR+ decoders: frames checked field by field
// against the CMR layout, and epochs taken through our own decoder again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/cmr/cmr_decode.h"
#include "formats/cmr/cmr_encode.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/test_support.h"

uint8_t encodeCmrSnr(uint8_t cn0DbHz);

namespace {

constexpr double lightMs = 299792.458;
constexpr double l1Unit = 0.023786709;
constexpr double l1PhaseUnit = 0.000743709;
constexpr double l2PhaseUnit = 0.000953371;

// MSB-first field of a frame, independent of the caster's bit reader.
uint64_t bitsAt(const uint8_t* p, int bit, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i, ++bit) v = (v << 1) | ((p[bit / 8] >> (7 - bit % 8)) & 1u);
    return v;
}
int64_t signedBitsAt(const uint8_t* p, int bit, int n)
{
    const uint64_t v = bitsAt(p, bit, n);
    return (v >> (n - 1)) & 1u ? int64_t(v) - (int64_t(1) << n) : int64_t(v);
}

// STX, status, type, N, data, sum of bytes 1..N+3, ETX.
void expectEnvelope(const uint8_t* f, int length, uint8_t type = 0x93)
{
    ASSERT_GE(length, 6);
    EXPECT_EQ(f[0], 0x02);
    EXPECT_EQ(f[2], type);
    EXPECT_EQ(f[3] + 6, length);
    uint8_t sum = 0;
    for (int i = 1; i < length - 2; ++i) sum = uint8_t(sum + f[i]);
    EXPECT_EQ(f[length - 2], sum);
    EXPECT_EQ(f[length - 1], 0x03);
}

std::vector<uint8_t> envelope(uint8_t type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> f = {0x02, 0x00, type, uint8_t(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum = uint8_t(sum + f[i]);
    f.push_back(sum);
    f.push_back(0x03);
    return f;
}

class Cmr : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
    void TearDown() override { setWallTimeOverride(0); }
    uint8_t frame[cmrMaxFrameBytes + 16] = {};
};

// 2009-11-27 23:07:00 GPS (the first epoch of testglo.rtcm3): Friday,
// 515220 s of the week, epoch field 180000 ms.
constexpr uint32_t testEpochMs = 515220000;

TEST_F(Cmr, Type0FrameFromKnownEpochMatchesLayoutAndDecodesBack)
{
    BaseStation& b = baseStation[0];
    b.stationId = 5;
    b.gpsTowMs = testEpochMs;
    b.gpsSatCount = 7;   // stale: the count field tells the blocks written
    b.msg[kindCmr0].msgStamp = 4321;

    GpsSatObs& s32 = b.gpsSat[0];   // satellite 32, written as 0
    s32.epochMs = testEpochMs;
    s32.ambiguityMs = 70;
    s32.codeIndicator[0] = 1;
    s32.codeIndicator[1] = 1;
    s32.codeRange[0] = 70 * lightMs + 256.5 * l1Unit;
    s32.phaseRange[0] = s32.codeRange[0] - 2000.3 * l1PhaseUnit;
    s32.codeRange[1] = s32.codeRange[0] - 3.456;
    s32.phaseRange[1] = s32.codeRange[0] + 500.5 * l2PhaseUnit;
    s32.cn0[0] = 20.9f;
    s32.cn0[1] = 33.0f;
    s32.slipCount = 1;

    GpsSatObs& s3 = b.gpsSat[3];   // L1 only
    s3.epochMs = testEpochMs;
    s3.ambiguityMs = 68;
    s3.codeRange[0] = 68 * lightMs + (0x123456 + 0.5) * l1Unit;
    s3.phaseRange[0] = s3.codeRange[0] + 1000.5 * l1PhaseUnit;
    s3.cn0[0] = 45.0f;
    s3.slipCount = 7;

    b.gpsSat[5] = s3;
    b.gpsSat[5].epochMs = testEpochMs - 1000;   // not of this epoch
    b.gpsSat[35] = s3;                          // SBAS entry: CMR has no number for it

    const int n = encodeCmr0(frame, 0);
    // Header 65 02 AF C8 30 00: version 3, station 5, type 0, 2 satellites,
    // epoch 180000, clock bits 3. Satellite 32 with L2 (15 bytes), then 3.
    const std::vector<uint8_t> expected = hexBytes(
        "02 00 93 1D 65 02 AF C8 30 00"
        " 07 00 01 00 00 7D 05 01 F8 FE A7 FF E0 C9 01"
        " 1A 12 34 56 FF C1 8B 07 97 03");
    ASSERT_EQ(n, int(expected.size()));
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + n), expected);
    expectEnvelope(frame, n);
    EXPECT_EQ(b.msg[kindCmr0].msgPrevRxTime, 4321u);

    // Back through the decoder into another base, storing.
    setGpsTow(testEpochMs - 1000);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), true, 1));
    const BaseStation& r = baseStation[1];
    EXPECT_EQ(r.stationId, 5);
    EXPECT_EQ(r.gpsTowMs, testEpochMs);
    EXPECT_EQ(currentGpsTowMs.load(), testEpochMs);

    const GpsSatObs& d3 = r.gpsSat[3];
    // A fresh entry has no whole milliseconds yet; the decoder sets 1.
    EXPECT_DOUBLE_EQ(d3.cmrL1Code, 0x123456 * l1Unit);
    EXPECT_DOUBLE_EQ(d3.cmrL1Phase, d3.cmrL1Code + 1000 * l1PhaseUnit);
    EXPECT_EQ(d3.ambiguityMs, 1);
    EXPECT_EQ(d3.epochMs, testEpochMs);
    EXPECT_EQ(d3.cmrEpochMs, testEpochMs);
    EXPECT_EQ(d3.cmrSlipCount[0], 7);
    EXPECT_DOUBLE_EQ(d3.codeRange[0], d3.cmrL1Code);
    EXPECT_DOUBLE_EQ(d3.phaseRange[0], d3.cmrL1Phase);
    EXPECT_EQ(d3.codeRange[1], 0.0);   // no L2 block: L2 untouched
    EXPECT_EQ(d3.cn0[1], 0.0f);
    EXPECT_FLOAT_EQ(d3.cn0[0], 46.0f);   // code 11 (44-48 dB-Hz)

    const GpsSatObs& d32 = r.gpsSat[0];
    EXPECT_DOUBLE_EQ(d32.cmrL1Code, 256 * l1Unit);
    EXPECT_DOUBLE_EQ(d32.cmrL1Phase, d32.cmrL1Code - 2000 * l1PhaseUnit);
    EXPECT_DOUBLE_EQ(d32.cmrL2Code, d32.cmrL1Code - 3.45);
    EXPECT_DOUBLE_EQ(d32.cmrL2Phase, d32.cmrL1Code + 500 * l2PhaseUnit);
    EXPECT_DOUBLE_EQ(d32.codeRange[1], d32.cmrL2Code);
    EXPECT_DOUBLE_EQ(d32.phaseRange[1], d32.cmrL2Phase);
    EXPECT_EQ(d32.cmrSlipCount[1], 1);
    EXPECT_FLOAT_EQ(d32.cn0[0], 22.0f);   // code 5 (20-23)
    EXPECT_FLOAT_EQ(d32.cn0[1], 34.0f);   // code 9 (28-39)
    EXPECT_EQ(r.gpsSat[5].epochMs, 0u);

    // Store flag clear: the CMR fields are written, the observation and
    // the base's epoch are left to the RTCM decoders.
    const double code3 = s3.codeRange[0], phase3 = s3.phaseRange[0];
    initGlobals();
    baseStation[2].gpsSat[3].ambiguityMs = 68;
    ASSERT_TRUE(decodeCmr(expected.data(), 0, uint32_t(n), false, 2));
    const BaseStation& q = baseStation[2];
    EXPECT_EQ(q.stationId, 0);
    EXPECT_EQ(q.gpsTowMs, 1u);
    EXPECT_NEAR(q.gpsSat[3].cmrL1Code, code3, l1Unit);
    EXPECT_NEAR(q.gpsSat[3].cmrL1Phase, phase3, l1Unit + l1PhaseUnit);
    EXPECT_EQ(q.gpsSat[3].codeRange[0], 0.0);
    EXPECT_EQ(q.gpsSat[3].ambiguityMs, 68);
    EXPECT_EQ(q.gpsSat[3].epochMs, 0u);

    // A base without a current satellite: header only, count 0.
    initGlobals();
    baseStation[0].stationId = 5;
    baseStation[0].gpsTowMs = testEpochMs;
    baseStation[0].gpsSatCount = 9;
    ASSERT_EQ(encodeCmr0(frame, 0), 12);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 12),
              hexBytes("02 00 93 06 65 00 AF C8 30 00 A5 03"));
    EXPECT_EQ(encodeCmr0(frame, 10), 0);
    EXPECT_EQ(encodeCmr0(frame, -1), 0);
}

TEST_F(Cmr, LengthByteNeverOverflowsSatellitesLeftOut)
{
    BaseStation& b = baseStation[0];
    b.gpsTowMs = 1000;
    for (int i = 0; i < 40; ++i) {
        GpsSatObs& s = b.gpsSat[i];
        s.epochMs = 1000;
        s.ambiguityMs = 70;
        s.codeRange[0] = 70 * lightMs + 100.0 + i;
        s.phaseRange[0] = s.codeRange[0] + 0.5;
        s.codeRange[1] = s.codeRange[0] + 1.0;
        s.phaseRange[1] = s.codeRange[0] + 0.7;
        s.codeIndicator[1] = 1;
    }
    // 6 + 16 x 15 = 246 data bytes; a 17th block would make 261.
    int n = encodeCmr0(frame, 0);
    ASSERT_EQ(n, 246 + 6);
    expectEnvelope(frame, n);
    EXPECT_EQ(bitsAt(frame + 4, 11, 5), 16u);
    setGpsTow(1000);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), true, 1));
    EXPECT_EQ(baseStation[1].gpsSat[15].epochMs, 1000u);
    EXPECT_EQ(baseStation[1].gpsSat[16].epochMs, 0u);
    EXPECT_NEAR(baseStation[1].gpsSat[15].cmrL2Code - baseStation[1].gpsSat[15].cmrL1Code, 1.0,
                0.011);

    // Without L2, 31 blocks of 8 bytes fit (254): slot 31 stays out.
    for (auto& s : b.gpsSat) s.codeIndicator[1] = 0;
    n = encodeCmr0(frame, 0);
    ASSERT_EQ(n, 254 + 6);
    EXPECT_EQ(bitsAt(frame + 4, 11, 5), 31u);
    EXPECT_EQ(bitsAt(frame + 4, 48 + 30 * 64, 5), 30u);

    // GLONASS: 24 slots with L2, 16 fit.
    b.gloEpochMs = 5000;
    for (auto& s : b.gloSat) {
        s.epochMs = 5000;
        s.freqChannel = 7;
        s.codeRange[1] = 2.0e7;
    }
    n = encodeCmr3(frame, 0);
    ASSERT_EQ(n, 246 + 6);
    EXPECT_EQ(bitsAt(frame + 4, 11, 5), 16u);
}

// The first epoch of testglo.rtcm3 as the independent decoder gives it:
//   convbin -r rtcm3 -tr 2009/12/01 00:00:00 -v 2.11 -od -os -o t.obs -g t.gnav testglo.rtcm3
// (2009/11/27 23:07:00 GPS; observation types C1 L1 S1 P2 L2 S2 C2;
// GLONASS channels from t.gnav). The RTCM decoders fill the same fields.
struct RealSat {
    int number;
    double c1, l1, s1, c2, l2, s2;
    int channel;   // GLONASS only
};
const RealSat realGps[] = {
    {3, 20213931.126, 106224925.381, 50.000, 20213930.686, 82772669.679, 42.250, 0},
    {22, 24674143.136, 129663497.512, 43.250, 24674142.116, 101036491.404, 35.250, 0},
    {7, 21872691.096, 114941768.441, 48.500, 21872690.096, 89565014.279, 41.750, 0},
    {6, 21118916.980, 110980657.869, 49.000, 21118916.600, 86478434.748, 41.250, 0},
    {13, 24389990.178, 128170263.201, 41.000, 24389990.218, 99872931.621, 31.000, 0},
    {19, 20421761.464, 107317080.955, 49.750, 20421758.664, 83623698.483, 45.500, 0},
    {11, 23656735.484, 124316983.965, 44.500, 23656735.464, 96870376.629, 31.500, 0},
    {16, 22489005.270, 118180519.380, 47.750, 22489004.490, 92088716.291, 38.500, 0},
    {8, 24725783.236, 129934868.048, 43.000, 24725782.436, 101247948.711, 33.750, 0},
};
const RealSat realGlo[] = {
    {14, 19271851.392, 102729811.697, 49.000, 19271859.552, 79900966.285, 43.000, -7},
    {17, 21115654.940, 112994134.125, 44.750, 21115656.260, 87884326.269, 41.250, 4},
    {13, 21815847.816, 116495409.360, 44.250, 21815853.636, 90607541.756, 41.000, -2},
    {23, 22657649.972, 121203148.636, 38.250, 22657653.892, 94269116.665, 33.750, 3},
    {15, 21365654.620, 114171579.612, 43.750, 21365660.060, 88800118.106, 39.750, 0},
    {8, 23736508.824, 127107926.605, 33.250, 0.0, 0.0, 0.0, 6},
};

TEST_F(Cmr, RealEpochThroughCmrAndBack)
{
    const double gpsL1 = 299792458.0 / 1575.42e6, gpsL2 = 299792458.0 / 1227.6e6;
    BaseStation& b = baseStation[0];
    b.stationId = 0;
    b.gpsTowMs = testEpochMs;
    for (const RealSat& r : realGps) {
        GpsSatObs& s = b.gpsSat[r.number];
        s.epochMs = testEpochMs;
        s.ambiguityMs = uint8_t(r.c1 / lightMs);
        s.codeIndicator[1] = 1;
        s.codeRange[0] = r.c1;
        s.codeRange[1] = r.c2;
        s.phaseRange[0] = r.l1 * gpsL1;
        s.phaseRange[1] = r.l2 * gpsL2;
        s.cn0[0] = float(r.s1);
        s.cn0[1] = float(r.s2);
    }
    const int n = encodeCmr0(frame, 0);
    ASSERT_EQ(n, 6 + 9 * 15 + 6);
    expectEnvelope(frame, n);

    // With the whole milliseconds known (an RTCM stream alongside), the CMR
    // fields give back the same ranges within their resolution.
    for (const RealSat& r : realGps)
        baseStation[1].gpsSat[r.number].ambiguityMs = uint8_t(r.c1 / lightMs);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), false, 1));
    for (const RealSat& r : realGps) {
        SCOPED_TRACE(r.number);
        const GpsSatObs& d = baseStation[1].gpsSat[r.number];
        EXPECT_NEAR(d.cmrL1Code, r.c1, l1Unit);
        EXPECT_NEAR(d.cmrL1Phase, r.l1 * gpsL1, l1Unit + l1PhaseUnit);
        EXPECT_NEAR(d.cmrL2Code, r.c2, l1Unit + 0.01);
        EXPECT_NEAR(d.cmrL2Phase, r.l2 * gpsL2, l1Unit + l2PhaseUnit);
    }

    // Stored alone, the range is known modulo one light-millisecond; the
    // estimator ran on finite values.
    setGpsTow(testEpochMs);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), true, 2));
    for (const RealSat& r : realGps) {
        SCOPED_TRACE(r.number);
        const GpsSatObs& d = baseStation[2].gpsSat[r.number];
        EXPECT_NEAR(d.codeRange[0], std::fmod(r.c1, lightMs), l1Unit);
        EXPECT_NEAR(d.phaseRange[1] - d.codeRange[0], r.l2 * gpsL2 - r.c1, l1Unit + l2PhaseUnit);
        EXPECT_EQ(encodeCmrSnr(uint8_t(d.cn0[0])), encodeCmrSnr(uint8_t(r.s1)));
        EXPECT_TRUE(std::isfinite(d.smoothedCode[0]) && std::isfinite(d.codeDelay[0]));
    }

    // Type 1 from the station's 1005 position, back through the decoder.
    b.ecefX = -3869297.5138;
    b.ecefY = 3436571.3345;
    b.ecefZ = 3717369.3757;
    ASSERT_EQ(encodeCmr1(frame, 0), 31);
    expectEnvelope(frame, 31);
    EXPECT_EQ(signedBitsAt(frame + 4, 48, 34), -3869297513);
    EXPECT_EQ(signedBitsAt(frame + 4, 96, 34), 3436571334);
    EXPECT_EQ(signedBitsAt(frame + 4, 144, 34), 3717369375);
    BaseStation& p = baseStation[3];
    p.gpsSat[4].elevation = 30;
    p.bdsSat[63].elevation = 30;
    ASSERT_TRUE(decodeCmr(frame, 0, 31, true, 3));
    EXPECT_DOUBLE_EQ(p.ecefX, -3869297.513);
    EXPECT_DOUBLE_EQ(p.ecefZ, 3717369.375);
    EXPECT_NEAR(p.latitude, 35.9, 0.1);
    EXPECT_NEAR(p.longitude, 138.4, 0.1);
    EXPECT_DOUBLE_EQ(p.strLatitude, std::round(p.latitude * 100) / 100);
    EXPECT_GT(p.gpsSat[4].tropoDelay, 2.0);
    EXPECT_GT(p.bdsSat[63].tropoDelay, 2.0);

    // Type 3 from the GLONASS epoch, read back by field meaning.
    b.gloEpochMs = 7605000;   // 23:06:45 UTC + 3 h
    for (const RealSat& r : realGlo) {
        GloSatObs& s = b.gloSat[r.number];
        const double f1 = glonassL1Freq[r.channel + 7], f2 = glonassL2Freq[r.channel + 7];
        s.epochMs = b.gloEpochMs;
        s.freqChannel = uint8_t(r.channel + 7);
        s.codeRange[0] = r.c1;
        s.codeRange[1] = r.c2;
        s.phaseRange[0] = r.l1 * 299792458.0 / f1;
        s.phaseRange[1] = r.l2 * 299792458.0 / f2;
        s.cn0[0] = float(r.s1);
        s.cn0[1] = float(r.s2);
        s.l1CodeModulo = std::fmod(r.c1, 599584.916);
        s.l1PhaseMinusCode = s.phaseRange[0] - r.c1;
        s.l2MinusL1Code = r.c2 > 0 ? r.c2 - r.c1 : 0;
        s.l2PhaseMinusCode = r.l2 > 0 ? s.phaseRange[1] - r.c1 : 0;
    }
    // A channel outside the carrier tables has no wavelength: left out.
    b.gloSat[1] = b.gloSat[14];
    b.gloSat[1].freqChannel = 30;
    b.gloSatCount = 9;
    const int g = encodeCmr3(frame, 0);
    ASSERT_EQ(g, 6 + 5 * 15 + 8 + 6);   // slot 8 has no L2
    expectEnvelope(frame, g);
    const uint8_t* data = frame + 4;
    EXPECT_EQ(bitsAt(data, 8, 3), 3u);
    EXPECT_EQ(bitsAt(data, 11, 5), 6u);
    EXPECT_EQ(bitsAt(data, 16, 18), 165000u);   // (7605000 - 3 h + 1 day) mod 240 s
    int bit = 48;
    for (int slot : {8, 13, 14, 15, 17, 23}) {
        SCOPED_TRACE(slot);
        const RealSat* r = nullptr;
        for (const RealSat& x : realGlo)
            if (x.number == slot) r = &x;
        const double lambda1 = 299792448.0 / glonassL1Freq[r->channel + 7];
        const double lambda2 = 299792448.0 / glonassL2Freq[r->channel + 7];
        EXPECT_EQ(bitsAt(data, bit, 5), uint64_t(slot));
        const bool l2 = bitsAt(data, bit + 7, 1) != 0;
        EXPECT_EQ(l2, slot != 8);
        EXPECT_NEAR(bitsAt(data, bit + 8, 24) * lambda1 / 8, std::fmod(r->c1, lightMs), lambda1 / 8);
        EXPECT_NEAR(signedBitsAt(data, bit + 32, 20) * (-lambda1 / 256),
                    r->l1 * (299792458.0 / glonassL1Freq[r->channel + 7]) - r->c1,
                    lambda1 / 256 + 1e-6);
        bit += 64;
        if (!l2) continue;
        EXPECT_EQ(bitsAt(data, bit, 4), 0xBu);   // code available, C/A, code valid, phase valid
        EXPECT_NEAR(signedBitsAt(data, bit + 8, 16) / 100.0, r->c2 - r->c1, 0.01);
        EXPECT_NEAR(signedBitsAt(data, bit + 24, 20) * (-lambda2 / 256),
                    r->l2 * (299792458.0 / glonassL2Freq[r->channel + 7]) - r->c1,
                    lambda2 / 256 + 1e-6);
        bit += 56;
    }
    // A type 3 frame gives the decoder nothing but the station number.
    EXPECT_FALSE(decodeCmr(frame, 0, uint32_t(g), true, 4));
}

TEST_F(Cmr, StationTypesOneAndTwo)
{
    BaseStation& b = baseStation[0];
    b.gpsTowMs = testEpochMs;
    b.ecefX = -1.0005;   // -1000 mm, toward zero
    b.ecefY = 0.0;
    b.ecefZ = 9000000.0;   // beyond 34 bits: the largest value, not a wrap
    b.msg[kindCmr1].msgStamp = 77;
    const int folds[][2] = {{40, 9}, {100, 7}, {20, 20}, {200, 8}, {62, 31}, {124, 31}};
    for (auto [id, folded] : folds) {
        b.stationId = uint16_t(id);
        ASSERT_EQ(encodeCmr1(frame, 0), 31);
        EXPECT_EQ(bitsAt(frame + 4, 3, 5), uint64_t(folded)) << id;
    }
    expectEnvelope(frame, 31);
    const uint8_t* d = frame + 4;
    EXPECT_EQ(bitsAt(d, 0, 3), 3u);
    EXPECT_EQ(bitsAt(d, 8, 3), 1u);
    EXPECT_EQ(bitsAt(d, 11, 5), 0x02u);
    EXPECT_EQ(bitsAt(d, 16, 18), 180000u);
    EXPECT_EQ(bitsAt(d, 34, 2), 1u);
    EXPECT_EQ(bitsAt(d, 36, 12), 0u);
    EXPECT_EQ(signedBitsAt(d, 48, 34), -1000);
    EXPECT_EQ(bitsAt(d, 82, 14), 0u);
    EXPECT_EQ(signedBitsAt(d, 144, 34), 8589934591);
    EXPECT_EQ(d[24], 0xF0);
    EXPECT_EQ(b.msg[kindCmr1].msgPrevRxTime, 77u);

    ASSERT_EQ(encodeCmr2(frame, 0), 87);
    expectEnvelope(frame, 87);
    EXPECT_EQ(bitsAt(d, 8, 3), 2u);
    EXPECT_EQ(d[6], 74);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d + 7), 8), "QUILLMRK");
    for (int i = 15; i < 81; ++i) EXPECT_EQ(d[i], 0) << i;

    // A type 2 frame gives the decoder the station number only.
    EXPECT_FALSE(decodeCmr(frame, 0, 87, true, 1));
    EXPECT_EQ(baseStation[1].stationId, 31);
    EXPECT_EQ(baseStation[1].ecefX, 0.0);

    // A base with no position sends zeros: stored, nothing derived.
    b.ecefX = b.ecefY = b.ecefZ = 0;
    ASSERT_EQ(encodeCmr1(frame, 0), 31);
    baseStation[2].latitude = 12.5;
    ASSERT_TRUE(decodeCmr(frame, 0, 31, true, 2));
    EXPECT_EQ(baseStation[2].latitude, 12.5);
    EXPECT_EQ(baseStation[2].strLatitude, 0.0);
}

TEST_F(Cmr, EpochTakesTheNearestPeriodAcrossTheWrap)
{
    // Just after the 240 s wrap the field is small while the reference is
    // still in the previous period: the epoch is the next period's.
    EXPECT_EQ(extendCmrEpoch(1000, 239000), 241000u);
    EXPECT_EQ(extendCmrEpoch(239500, 241000), 239500u);
    EXPECT_EQ(extendCmrEpoch(5000, 480000), 485000u);
    EXPECT_EQ(extendCmrEpoch(5000, 240000), 245000u);
    EXPECT_EQ(extendCmrEpoch(180000, testEpochMs), testEpochMs);
    // Across the end of the week, both ways.
    EXPECT_EQ(extendCmrEpoch(5000, 604790000), 5000u);
    EXPECT_EQ(extendCmrEpoch(239000, 1000), 604799000u);
    // Exactly half a period away: the later one.
    EXPECT_EQ(extendCmrEpoch(120000, 0), 120000u);

    // Through the decoder: the base's epochs run on across the wrap.
    BaseStation& b = baseStation[0];
    b.gpsTowMs = 239000;
    setGpsTow(239000);
    std::vector<uint8_t> f = envelope(0x93, {0x65, 0x00, 0, 0, 0, 0});
    auto setField = [&](uint32_t ms) {
        f[6] = uint8_t(ms >> 10);
        f[7] = uint8_t(ms >> 2);
        f[8] = uint8_t((ms & 3) << 6);
        f = envelope(0x93, std::vector<uint8_t>(f.begin() + 4, f.end() - 2));
    };
    setField(1000);
    ASSERT_TRUE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(b.gpsTowMs, 241000u);
    EXPECT_EQ(currentGpsTowMs.load(), 241000u);

    // An epoch older than the base's last one is refused.
    setField(230000);
    consoleCaptureStart();
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(consoleCaptureStop(), "GPS tow less than current CMR0\n");
    EXPECT_EQ(b.gpsTowMs, 241000u);

    // Nothing has set the GPS time yet: the PC clock gives the reference.
    // 1700000000 is GPS week 2288, 252817 s (with the caster's 17 s).
    initGlobals();
    setWallTimeOverride(1700000000);
    EXPECT_EQ(cmrReferenceTowMs(), 252817000u);
    setField(98000);   // 252818000 mod 240000
    ASSERT_TRUE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(baseStation[0].gpsTowMs, 252818000u);
    EXPECT_EQ(currentGpsTowMs.load(), 252818000u);

    // A field beyond the period cannot be placed: refused, nothing written.
    setField(250000);
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(baseStation[0].gpsTowMs, 252818000u);
}

TEST_F(Cmr, DecoderReadsOnlyWhatTheFrameHolds)
{
    // Two satellites announced, one 8-byte block held: nothing is stored.
    std::vector<uint8_t> data = {0x65, 0x02, 0xAF, 0xC8, 0x30, 0x00,
                                 0x1A, 0x12, 0x34, 0x56, 0xFF, 0xC1, 0x8B, 0x07};
    std::vector<uint8_t> f = envelope(0x93, data);
    setGpsTow(testEpochMs);
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(baseStation[0].stationId, 0);
    EXPECT_EQ(baseStation[0].gpsTowMs, 1u);
    EXPECT_EQ(baseStation[0].gpsSat[3].cmrEpochMs, 0u);
    // L2 announced in the last block but not held.
    data[1] = 0x01;
    data[6] = 0x1B;
    f = envelope(0x93, data);
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    // The same block without L2 is a frame.
    data[6] = 0x1A;
    f = envelope(0x93, data);
    EXPECT_TRUE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 0));
    EXPECT_EQ(baseStation[0].gpsSat[3].cmrEpochMs, testEpochMs);

    // A length below what the length byte says, or too short an envelope.
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()) - 1, true, 0));
    EXPECT_FALSE(decodeCmr(f.data(), 0, 5, true, 0));
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, maxBases));
    // Type 1 needs 24 data bytes.
    std::vector<uint8_t> t1(24, 0);
    t1[0] = 0x65;
    t1[1] = 0x22;
    t1[10] = 0x40;   // X = 1 mm
    f = envelope(0x93, std::vector<uint8_t>(t1.begin(), t1.end() - 1));
    EXPECT_FALSE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 1));
    EXPECT_EQ(baseStation[1].stationId, 0);

    // A type 1 longer than its kept buffer (32 bytes) is decoded but never
    // kept: the store refuses it and the kept frame stays as it was.
    t1.resize(40, 0xAA);
    f = envelope(0x93, t1);
    ASSERT_EQ(f.size(), 46u);
    EXPECT_FALSE(storeKeptMessage(baseStation[1], kindCmr1, f.data(), uint32_t(f.size()), 5, true));
    EXPECT_EQ(baseStation[1].msg[kindCmr1].msgLength, 0u);
    EXPECT_TRUE(decodeCmr(f.data(), 0, uint32_t(f.size()), true, 1));
    EXPECT_DOUBLE_EQ(baseStation[1].ecefX, 0.001);
    std::vector<uint8_t> t2(85, 0);
    t2[0] = 0x65;
    t2[1] = 0x42;
    f = envelope(0x93, t2);
    EXPECT_FALSE(storeKeptMessage(baseStation[1], kindCmr2, f.data(), uint32_t(f.size()), 5, true));

    // A frame inside a larger buffer is read from its position.
    std::vector<uint8_t> buf(7, 0xEE);
    const std::vector<uint8_t> one = envelope(0x93, {0x61, 0x00, 0xAF, 0xC8, 0x30, 0x00});
    buf.insert(buf.end(), one.begin(), one.end());
    EXPECT_TRUE(decodeCmr(buf.data(), 7, uint32_t(one.size()), true, 2));
    EXPECT_EQ(baseStation[2].stationId, 1);
    EXPECT_FALSE(decodeCmr(buf.data(), 6, uint32_t(one.size()), true, 2));
}

// CMR+ pages as the base sends them: page number in byte 5, X in bytes 8-12
// (page 1), Y in 7-11 and the top byte of Z in 13 (page 2), the low 32 bits
// of Z in 7-10 (page 3); each field 34 bits of millimetres above 6 bits.
std::vector<uint8_t> cmrPlusPage(int page, int64_t mm, int at, uint8_t extra = 0)
{
    std::vector<uint8_t> data(10, 0);
    data[1] = uint8_t(page);
    const uint64_t field = uint64_t(mm) << 6;
    for (int i = 0; i < 5; ++i) {
        const int index = at - 4 + i;
        if (index < int(data.size())) data[index] = uint8_t(field >> (32 - 8 * i));
    }
    if (page == 2) data[13 - 4] = extra;
    return envelope(0x94, data);
}

TEST_F(Cmr, CmrPlusStationPagesInAnyOrder)
{
    const int64_t x = -3869297513, y = 3436571334, z = 3717369375;
    const uint64_t zField = uint64_t(z) << 6;
    const std::vector<uint8_t> p1 = cmrPlusPage(1, x, 8);
    const std::vector<uint8_t> p2 = cmrPlusPage(2, y, 7, uint8_t(zField >> 32));
    // Page 3 carries the low 32 bits of Z at bytes 7-10.
    std::vector<uint8_t> d3(10, 0);
    d3[1] = 3;
    for (int i = 0; i < 4; ++i) d3[3 + i] = uint8_t(zField >> (24 - 8 * i));
    const std::vector<uint8_t> p3 = envelope(0x94, d3);

    BaseStation& b = baseStation[0];
    auto page = [&](const std::vector<uint8_t>& f, bool store) {
        return decodeCmrPlusStationPage(f.data(), 0, uint32_t(f.size()), store, 0);
    };
    // Page 3 first: the top byte of Z is not known yet (0 in a new record).
    ASSERT_TRUE(page(p3, true));
    EXPECT_DOUBLE_EQ(b.ecefZ, double(int64_t(zField & 0xFFFFFFFFu) >> 6) * 0.001);
    ASSERT_TRUE(page(p1, true));
    ASSERT_TRUE(page(p2, true));
    ASSERT_TRUE(page(p3, true));
    EXPECT_DOUBLE_EQ(b.ecefX, -3869297.513);
    EXPECT_DOUBLE_EQ(b.ecefY, 3436571.334);
    EXPECT_DOUBLE_EQ(b.ecefZ, 3717369.375);
    EXPECT_EQ(b.latitude, 0.0);   // no geodetic conversion here

    // Store flag clear: coordinates untouched, page 2 still keeps its byte.
    initGlobals();
    ASSERT_TRUE(page(p2, false));
    ASSERT_TRUE(page(p1, false));
    EXPECT_EQ(b.ecefX, 0.0);
    EXPECT_EQ(b.ecefY, 0.0);
    EXPECT_EQ(b.cmrPlusPageByte, uint8_t(zField >> 32));

    // The most negative field.
    std::vector<uint8_t> d1(10, 0);
    d1[1] = 1;
    d1[4] = 0x80;
    ASSERT_TRUE(page(envelope(0x94, d1), true));
    EXPECT_DOUBLE_EQ(b.ecefX, -8589934.592);

    // Not a station page, a frame too short for its page, a frame that
    // runs past what the caller holds, a CMR frame.
    d1[1] = 4;
    EXPECT_FALSE(page(envelope(0x94, d1), true));
    d1[1] = 1;
    EXPECT_FALSE(page(envelope(0x94, std::vector<uint8_t>(d1.begin(), d1.begin() + 8)), true));
    EXPECT_TRUE(page(envelope(0x94, std::vector<uint8_t>(d1.begin(), d1.begin() + 9)), false));
    EXPECT_FALSE(decodeCmrPlusStationPage(p1.data(), 0, uint32_t(p1.size()) - 1, true, 0));
    EXPECT_FALSE(page(envelope(0x93, d1), true));
    std::vector<uint8_t> short3(7, 0);
    short3[1] = 3;
    EXPECT_TRUE(page(envelope(0x94, short3), true));
    EXPECT_FALSE(page(envelope(0x94, std::vector<uint8_t>(short3.begin(), short3.end() - 1)), true));
}

}  // namespace
