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
#include "formats/field_codes.h"
#include "formats/frames.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "rtcm3_test_frames.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/test_support.h"

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
    uint32_t recognised = 0;
    const int32_t code = checkCmrId(f, 0, uint32_t(length), recognised);
    EXPECT_EQ(recognised, uint32_t(length));
    if (type == 0x93) {
        EXPECT_EQ(code, -1 - int32_t(f[5] >> 5));
    }
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
        " 07 00 01 00 00 7C 05 01 F8 FE A8 FF E0 09 01"
        " 1A 12 34 56 FF C0 8B 07 D6 03");
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
    // The carriers are rebuilt on the code as sent: whatever the code's
    // truncation took off, they come back where they were, up to whole
    // milliseconds of range.
    auto sameRange = [](double decoded, double sent, double step) {
        double d = std::fmod(decoded - sent, lightMs);
        if (d > lightMs / 2) d -= lightMs;
        if (d < -lightMs / 2) d += lightMs;
        return std::fabs(d) <= step;
    };
    EXPECT_TRUE(sameRange(d3.phaseRange[0], s3.phaseRange[0], l1PhaseUnit));
    EXPECT_EQ(d3.ambiguityMs, 1);
    EXPECT_EQ(d3.epochMs, testEpochMs);
    EXPECT_EQ(d3.cmrSlipCount[0], 7);
    EXPECT_EQ(d3.codeRange[1], 0.0);   // no L2 block: no L2
    EXPECT_FLOAT_EQ(d3.cn0[0], 46.0f);   // code 11 (44-48 dB-Hz)

    const GpsSatObs& d32 = r.gpsSat[0];
    EXPECT_TRUE(sameRange(d32.phaseRange[0], s32.phaseRange[0], l1PhaseUnit));
    EXPECT_TRUE(sameRange(d32.codeRange[1], s32.codeRange[1], 0.01));
    EXPECT_TRUE(sameRange(d32.phaseRange[1], s32.phaseRange[1], l2PhaseUnit));
    EXPECT_FLOAT_EQ(d32.cn0[1], 34.0f);   // code 9 (28-39)
    EXPECT_EQ(r.gpsSat[5].epochMs, 0u);

    // Satellite 32 loses L2 in the next epoch: its L2 goes with it rather
    // than the last epoch's L2 staying on as this one's.
    b.gpsTowMs = s32.epochMs = s3.epochMs = testEpochMs + 1000;
    s32.codeIndicator[1] = 0;
    s32.codeRange[1] = s32.phaseRange[1] = 0;
    const int next = encodeCmr0(frame, 0);
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(next), true, 1));
    EXPECT_EQ(d32.epochMs, testEpochMs + 1000);
    EXPECT_EQ(d32.codeRange[1], 0.0);
    EXPECT_EQ(d32.phaseRange[1], 0.0);
    EXPECT_EQ(d32.cmrL2Code, 0.0);
    EXPECT_EQ(d32.cmrL2Phase, 0.0);
    EXPECT_EQ(d32.cn0[1], 0.0f);
    EXPECT_TRUE(sameRange(d32.phaseRange[0], s32.phaseRange[0], l1PhaseUnit));

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

// The first epoch of testglo.rtcm3 (2009/11/27 23:07:00 GPS), decoded by
// the RTCM decoders, goes out as CMR and comes back through our decoder.
// Spot values from the independent decoder:
//   convbin -r rtcm3 -tr 2009/12/01 00:00:00 -v 2.11 -od -os -o t.obs testglo.rtcm3
//   G03: C1 20213931.126, L1 106224925.381, P2 20213930.686, L2 82772669.679
//   R14 (channel -7): C1 19271851.392
TEST_F(Cmr, RealEpochThroughCmrAndBack)
{
    const auto data = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    BaseStation& b = baseStation[0];
    ASSERT_EQ(decodeRtcm1004(nthFrame(data, 1004).data(), 0, 0), 11u);   // 9 GPS + 2 SBAS
    ASSERT_EQ(decodeRtcm1012(nthFrame(data, 1012).data(), 0, 0), 6u);
    ASSERT_TRUE(decodeRtcm1005(nthFrame(data, 1005).data(), 0, 0));
    b.gpsSatCount = 11;
    b.gloSatCount = 6;
    ASSERT_EQ(b.gpsTowMs, testEpochMs);
    const double gpsL1 = 299792458.0 / 1575.42e6, gpsL2 = 299792458.0 / 1227.6e6;
    EXPECT_NEAR(b.gpsSat[3].phaseRange[0], 106224925.381 * gpsL1, 0.001);

    // The SBAS satellites have no CMR number: 9 blocks, and the count says 9.
    const int n = encodeCmr0(frame, 0);
    ASSERT_EQ(n, 6 + 9 * 15 + 6);
    expectEnvelope(frame, n);
    EXPECT_EQ(bitsAt(frame + 4, 11, 5), 9u);
    std::vector<int> current;
    for (int i = 0; i < 32; ++i)
        if (b.gpsSat[i].epochMs == b.gpsTowMs) current.push_back(i);
    ASSERT_EQ(current.size(), 9u);

    // With the whole milliseconds known (an RTCM stream alongside), the CMR
    // fields give back the same ranges within their resolution.
    for (int i : current) baseStation[1].gpsSat[i].ambiguityMs = b.gpsSat[i].ambiguityMs;
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), false, 1));
    for (int i : current) {
        SCOPED_TRACE(i);
        const GpsSatObs& s = b.gpsSat[i];
        const GpsSatObs& d = baseStation[1].gpsSat[i];
        EXPECT_NEAR(d.cmrL1Code, s.codeRange[0], l1Unit);
        EXPECT_NEAR(d.cmrL1Phase, s.phaseRange[0], l1Unit + l1PhaseUnit);
        EXPECT_NEAR(d.cmrL2Code, s.codeRange[1], l1Unit + 0.01);
        EXPECT_NEAR(d.cmrL2Phase, s.phaseRange[1], l1Unit + l2PhaseUnit);
    }
    EXPECT_NEAR(baseStation[1].gpsSat[3].cmrL1Code, 20213931.126, l1Unit);
    // ... and leave the observation and the epoch to the RTCM decoders.
    EXPECT_EQ(baseStation[1].gpsSat[3].codeRange[0], 0.0);
    EXPECT_EQ(baseStation[1].gpsTowMs, 1u);
    EXPECT_NEAR(baseStation[1].gpsSat[3].cmrL2Phase, 82772669.679 * gpsL2, l1Unit + l2PhaseUnit);

    // Stored alone, the range is known modulo one light-millisecond; the
    // estimator ran on finite values.
    ASSERT_TRUE(decodeCmr(frame, 0, uint32_t(n), true, 2));
    EXPECT_EQ(baseStation[2].gpsTowMs, testEpochMs);
    for (int i : current) {
        SCOPED_TRACE(i);
        const GpsSatObs& s = b.gpsSat[i];
        const GpsSatObs& d = baseStation[2].gpsSat[i];
        EXPECT_NEAR(d.codeRange[0], std::fmod(s.codeRange[0], lightMs), l1Unit);
        EXPECT_NEAR(d.phaseRange[1] - d.codeRange[0], s.phaseRange[1] - s.codeRange[0],
                    l1Unit + l2PhaseUnit);
        EXPECT_EQ(encodeCmrSnr(uint8_t(d.cn0[0])), encodeCmrSnr(uint8_t(s.cn0[0])));
        EXPECT_EQ(encodeCmrSnr(uint8_t(d.cn0[1])), encodeCmrSnr(uint8_t(s.cn0[1])));
        EXPECT_TRUE(std::isfinite(d.smoothedCode[0]) && std::isfinite(d.codeDelay[0]));
    }

    // Type 1 from the station's 1005 position, back through the decoder.
    ASSERT_EQ(encodeCmr1(frame, 0), 31);
    expectEnvelope(frame, 31);
    EXPECT_EQ(signedBitsAt(frame + 4, 48, 34), int64_t(b.ecefX * 1000));
    EXPECT_EQ(signedBitsAt(frame + 4, 96, 34), int64_t(b.ecefY * 1000));
    EXPECT_EQ(signedBitsAt(frame + 4, 144, 34), int64_t(b.ecefZ * 1000));
    BaseStation& p = baseStation[3];
    p.gpsSat[4].elevation = 30;
    p.bdsSat[63].elevation = 30;
    ASSERT_TRUE(decodeCmr(frame, 0, 31, true, 3));
    EXPECT_NEAR(p.ecefX, b.ecefX, 0.001);
    EXPECT_NEAR(p.ecefY, b.ecefY, 0.001);
    EXPECT_NEAR(p.ecefZ, b.ecefZ, 0.001);
    EXPECT_NEAR(p.latitude, b.latitude, 1e-7);
    EXPECT_NEAR(p.longitude, b.longitude, 1e-7);
    EXPECT_DOUBLE_EQ(p.strLatitude, std::round(p.latitude * 100) / 100);
    EXPECT_GT(p.gpsSat[4].tropoDelay, 2.0);
    EXPECT_GT(p.bdsSat[63].tropoDelay, 2.0);

    // Type 3 from the GLONASS epoch (23:06:45 UTC + 3 h), read back by field
    // meaning.
    ASSERT_EQ(b.gloEpochMs, 7605000u);
    // A channel outside the carrier tables has no wavelength: left out.
    b.gloSat[1] = b.gloSat[14];
    b.gloSat[1].freqChannel = 30;
    const int g = encodeCmr3(frame, 0);
    ASSERT_EQ(g, 6 + 6 * 15 + 6);
    expectEnvelope(frame, g);
    const uint8_t* d = frame + 4;
    EXPECT_EQ(bitsAt(d, 8, 3), 3u);
    EXPECT_EQ(bitsAt(d, 11, 5), 6u);
    EXPECT_EQ(bitsAt(d, 16, 18), 165000u);   // (7605000 - 3 h + 1 day) mod 240 s
    int bit = 48;
    for (int slot : {8, 13, 14, 15, 17, 23}) {
        SCOPED_TRACE(slot);
        const GloSatObs& s = b.gloSat[slot];
        const double lambda1 = 299792448.0 / glonassL1Freq[s.freqChannel];
        const double lambda2 = 299792448.0 / glonassL2Freq[s.freqChannel];
        EXPECT_EQ(bitsAt(d, bit, 5), uint64_t(slot));
        EXPECT_EQ(bitsAt(d, bit + 7, 1), 1u);
        EXPECT_NEAR(bitsAt(d, bit + 8, 24) * lambda1 / 8, std::fmod(s.codeRange[0], lightMs),
                    lambda1 / 8);
        // The differences are taken against the code as sent.
        const double sentCode = bitsAt(d, bit + 8, 24) * lambda1 / 8;
        const double code = std::fmod(s.codeRange[0], lightMs);
        EXPECT_NEAR(sentCode + signedBitsAt(d, bit + 32, 20) * (-lambda1 / 256),
                    code + s.l1PhaseMinusCode, lambda1 / 256);
        bit += 64;
        EXPECT_EQ(bitsAt(d, bit, 1), 1u);   // L2 code
        EXPECT_EQ(bitsAt(d, bit + 2, 2), 3u);   // L2 code and phase valid
        EXPECT_NEAR(sentCode + signedBitsAt(d, bit + 8, 16) / 100.0, code + s.l2MinusL1Code,
                    0.01);
        EXPECT_NEAR(sentCode + signedBitsAt(d, bit + 24, 20) * (-lambda2 / 256),
                    code + s.l2PhaseMinusCode, lambda2 / 256);
        bit += 56;
    }
    EXPECT_NEAR(bitsAt(d, 48 + 2 * 120 + 8, 24) * 299792448.0 / glonassL1Freq[0] / 8,
                std::fmod(19271851.392, lightMs), 0.03);   // R14
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

    // A frame inside a larger buffer is read from its position.
    std::vector<uint8_t> buf(7, 0xEE);
    const std::vector<uint8_t> one = envelope(0x93, {0x61, 0x00, 0xAF, 0xC8, 0x30, 0x00});
    buf.insert(buf.end(), one.begin(), one.end());
    EXPECT_TRUE(decodeCmr(buf.data(), 7, uint32_t(one.size()), true, 2));
    EXPECT_EQ(baseStation[2].stationId, 1);
    EXPECT_FALSE(decodeCmr(buf.data(), 6, uint32_t(one.size()), true, 2));
}

// A CMR+ page: page number in frame byte 5, `count` bytes of `value` from
// frame byte `at`. Pages put X in bytes 8-12 (page 1), Y in 7-11 and the top
// byte of Z in 13 (page 2), the low 32 bits of Z in 7-10 (page 3); each field
// 34 bits of millimetres above 6 bits.
std::vector<uint8_t> cmrPlusPage(int page, int at, uint64_t value, int count, int dataBytes = 10)
{
    std::vector<uint8_t> data(size_t(dataBytes), 0);
    data[1] = uint8_t(page);
    for (int i = 0; i < count; ++i)
        data[size_t(at - 4 + i)] = uint8_t(value >> (8 * (count - 1 - i)));
    return envelope(0x94, data);
}

TEST_F(Cmr, CmrPlusStationPagesInAnyOrder)
{
    const uint64_t mask40 = (uint64_t(1) << 40) - 1;
    const uint64_t xField = (uint64_t(-3869297513LL) << 6) & mask40;
    const uint64_t yField = uint64_t(3436571334LL) << 6;
    const uint64_t zField = uint64_t(3717369375LL) << 6;
    const auto p1 = cmrPlusPage(1, 8, xField, 5);
    const auto p2 = cmrPlusPage(2, 7, (yField << 16) | (zField >> 32), 7);
    const auto p3 = cmrPlusPage(3, 7, zField & 0xFFFFFFFFu, 4);

    BaseStation& b = baseStation[0];
    auto page = [&](const std::vector<uint8_t>& f, bool store) {
        return decodeCmrPlusStationPage(f.data(), 0, uint32_t(f.size()), store, 0);
    };
    // Page 3 first: the top byte of Z is not known yet (0 in a new record).
    ASSERT_TRUE(page(p3, true));
    EXPECT_DOUBLE_EQ(b.ecefZ, double((zField & 0xFFFFFFFFu) >> 6) * 0.001);
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

    ASSERT_TRUE(page(cmrPlusPage(1, 8, 0x8000000000u, 5), true));
    EXPECT_DOUBLE_EQ(b.ecefX, -8589934.592);   // the most negative field

    // Not a station page; frames too short for their page (page 1 reads to
    // byte 12, page 3 to byte 10); a frame running past what the caller
    // holds; a CMR frame.
    EXPECT_FALSE(page(cmrPlusPage(4, 8, 0, 0), true));
    EXPECT_FALSE(page(cmrPlusPage(1, 8, 0, 0, 8), true));
    EXPECT_TRUE(page(cmrPlusPage(1, 8, 0, 0, 9), true));
    EXPECT_FALSE(page(cmrPlusPage(3, 7, 0, 0, 6), true));
    EXPECT_TRUE(page(cmrPlusPage(3, 7, 0, 0, 7), true));
    EXPECT_FALSE(decodeCmrPlusStationPage(p1.data(), 0, uint32_t(p1.size()) - 1, true, 0));
    EXPECT_FALSE(decodeCmr(p1.data(), 0, uint32_t(p1.size()), true, 0));
    std::vector<uint8_t> cmr = p1;
    cmr[2] = 0x93;
    EXPECT_FALSE(page(cmr, true));
}

}  // namespace
