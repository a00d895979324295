// The interpolated ionospheric values of one iMAC rover (per satellite, and
// as BINR 69h and NCT 5B), the GLONASS observation builders, and the CMR
// carrier-scale calibration, on a small synthetic network: master M and
// one auxiliary base A due north of it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/rtcm_test_decode.h"
#include "network/imac_corrections.h"
#include "network/imac_iono_messages.h"
#include "network/imac_observations.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr double pi = 3.1415926535898;
constexpr uint32_t towMs = 423000 * 1000u;

class ImacIono : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        initEpochValues();
        setWallTimeOverride(1700000000);
        consoleCaptureStart();
        place(0, 47.0, 15.0, 203);
        place(1, 47.5, 15.0, 202);
        Client& c = client[0];
        c.masterBase = 0;
        c.auxBase[0] = 1;
        c.latitude = 47.5;   // at the auxiliary base
        c.longitude = 15.0;
    }
    void TearDown() override
    {
        consoleCaptureStop();
        setWallTimeOverride(0);
    }
    static void place(int slot, double lat, double lon, uint16_t id)
    {
        BaseStation& b = baseStation[slot];
        b.connected = 1;
        b.trusted = 1;
        b.latitude = b.strLatitude = lat;
        b.longitude = b.strLongitude = lon;
        b.latitudeRad = lat * pi / 180;
        b.longitudeRad = lon * pi / 180;
        b.stationId = id;
        b.gpsTowMs = towMs;
        b.gloEpochMs = 3600000;
    }
    // GPS entry `i` of base `slot` current, with ionospheric values scaled by v.
    static void gpsIono(int slot, int i, double v)
    {
        GpsSatObs& s = baseStation[slot].gpsSat[i];
        s.epochMs = baseStation[slot].gpsTowMs;
        s.codeDelay[0] = 2.0 * v;
        s.codeDelay[1] = 3.3 * v;
        s.phaseAdvance[0] = -2.0 * v;
        s.phaseAdvance[1] = -3.3 * v;
        s.codeDelayEma[0] = float(2.0 * v);
        s.codeDelayEma[1] = float(3.3 * v);
        s.codeDelayF[0] = float(2.0 * v);
        s.ionoRate[0] = float(0.001 * v);
        s.nctRefWord = 0x1234;
        s.deltaIonoScaled = -5;
        s.slipCount = 3;
    }
    uint8_t frame[maxFrameBytes] = {};
};

float floatAt(const uint8_t* p)
{
    uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// BINR data bytes with the doubled DLEs taken out (frame without its
// DLE id ... DLE ETX envelope).
std::vector<uint8_t> binrData(const uint8_t* f, int n)
{
    std::vector<uint8_t> d;
    EXPECT_EQ(f[0], 0x10);
    EXPECT_EQ(f[n - 2], 0x10);
    EXPECT_EQ(f[n - 1], 0x03);
    for (int i = 2; i < n - 2; ++i) {
        if (f[i] == 0x10) {
            EXPECT_EQ(f[i + 1], 0x10) << "lone DLE inside the frame at " << i;
            ++i;
        }
        d.push_back(f[i]);
    }
    return d;
}

}   // namespace

TEST_F(ImacIono, CorrectionsPerSatelliteAtTheRover)
{
    gpsIono(0, 5, 1.0);
    gpsIono(1, 5, 2.0);
    gpsIono(0, 9, 1.0);   // the auxiliary base does not have it
    baseStation[0].gpsSat[7].epochMs = towMs - 1000;   // not in the master's epoch
    gpsIono(0, 11, 1.0);
    gpsIono(1, 11, 2.0);
    baseStation[0].gpsSat[11].codeDelayEma[0] = 0;   // no smoothed L1 delay yet

    double code1[32], phase1[32], code2[32], phase2[32];
    for (int i = 0; i < 32; ++i) code1[i] = phase1[i] = code2[i] = phase2[i] = 99;
    calcIMACCorrGPS(0, code1, phase1, code2, phase2);
    // At the auxiliary base: its own values.
    EXPECT_NEAR(code1[5], 4.0, 1e-9);
    EXPECT_NEAR(phase1[5], -4.0, 1e-9);
    EXPECT_NEAR(code2[5], 6.6, 1e-9);
    EXPECT_NEAR(phase2[5], -6.6, 1e-9);
    // Only the master holds it: the master's values.
    EXPECT_NEAR(code1[9], 2.0, 1e-9);
    EXPECT_NEAR(phase2[9], -3.3, 1e-9);
    // Not current at the master: zeros; no smoothed delay: left alone.
    EXPECT_EQ(code1[7], 0.0);
    EXPECT_EQ(phase2[7], 0.0);
    EXPECT_EQ(code1[11], 99.0);
    EXPECT_EQ(phase1[11], 99.0);
    EXPECT_NEAR(code2[11], 6.6, 1e-9);
    EXPECT_EQ(code1[20], 0.0);   // the master has no such satellite
}

TEST_F(ImacIono, Binr69CarriesTheValuesAtTheRover)
{
    gpsIono(0, 0, 1.0);   // satellite 32
    gpsIono(1, 0, 2.0);
    baseStation[1].gpsSat[0].epochMs = towMs - 1000;   // a lagging auxiliary entry
    gpsIono(0, 4, 1.0);
    gpsIono(1, 4, 2.0);
    // A value whose bytes hold DLE.
    uint32_t dleBits = 0x41101010u;
    float dle;
    std::memcpy(&dle, &dleBits, sizeof dle);
    baseStation[0].gpsSat[0].codeDelayF[0] = dle;

    int n = encodeBinr69GpsImac(0, frame);
    ASSERT_GT(n, 7);
    EXPECT_EQ(frame[1], 0x69);
    std::vector<uint8_t> d = binrData(frame, n);
    ASSERT_EQ(d.size(), 3u + 2 * 13);
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(d[1] | d[2] << 8, int((towMs / 1000) % 3600));
    EXPECT_EQ(d[3], 32);
    EXPECT_EQ(d[4] | d[5] << 8, 0x1234);
    EXPECT_EQ(int16_t(d[6] | d[7] << 8), -5);
    EXPECT_EQ(floatAt(&d[8]), dle);   // lagging auxiliary: the master's own value
    EXPECT_FLOAT_EQ(floatAt(&d[12]), 0.001f);
    EXPECT_EQ(d[16], 4);
    EXPECT_NEAR(floatAt(&d[21]), 4.0f, 1e-5);   // at the auxiliary base: its value
    EXPECT_NEAR(floatAt(&d[25]), 0.002f, 1e-8);

    // Seconds within the hour, a whole later hour counting as 3600.
    for (auto [ms, seconds] : {std::pair{7200000u, 3600}, {3599000u, 3599}, {0u, 0}, {3600500u, 0}}) {
        baseStation[0].gloEpochMs = ms;
        n = encodeBinr69GloImac(0, frame);
        d = binrData(frame, n);
        EXPECT_EQ(d[0], 2);
        EXPECT_EQ(d[1] | d[2] << 8, seconds) << ms;
    }
    EXPECT_EQ(n, 7);   // no GLONASS satellite
    client[0].masterBase = -1;
    EXPECT_EQ(encodeBinr69GpsImac(0, frame), 0);
}

TEST_F(ImacIono, Nct5BRecordsAndTrailer)
{
    gpsIono(0, 3, -1.0);   // negative delays: two's complement fields
    gpsIono(1, 3, -1.0);
    int n = encodeNct5BImac(frame, 0, 1);
    ASSERT_EQ(n, 16 + 18 + 4);
    EXPECT_EQ(frame[3], 0x5B);
    const uint32_t len = uint32_t(frame[4] | frame[5] << 8);
    EXPECT_EQ(len + 4, uint32_t(n));
    EXPECT_EQ(frame[7], 1);
    EXPECT_EQ(frame[14] | frame[15] << 8, 203);
    EXPECT_EQ(uint32_t(frame[10] | frame[11] << 8 | frame[12] << 16), towMs / 1000);
    const uint8_t* k = frame + 16;
    EXPECT_EQ(k[0], 3 | 0x20 | 0x80);
    EXPECT_EQ(k[1], 0x34);
    const int32_t a = int32_t(-2.0 * 128), b = int32_t(-3.3 * 128);
    EXPECT_EQ(k[2] | k[3] << 8, int((uint32_t(a) >> 4) & 0xFFFF));
    EXPECT_EQ(k[4] | k[5] << 8, int((uint32_t(b) >> 4) & 0xFFFF));
    EXPECT_EQ(k[6], uint8_t((b << 4) | (a & 0xF)));
    EXPECT_EQ(uint32_t(k[7] | k[8] << 8 | k[9] << 16), uint32_t(int32_t(2.0 * 2048)) & 0xFFFFFF);
    EXPECT_EQ(k[13], 0x40);
    EXPECT_EQ(k[14], 0x06);
    EXPECT_EQ(k[17], 0x33);
    const uint16_t crc = calcCrc16Xmodem(frame, 6, 34);
    EXPECT_EQ(frame[34], crc >> 8);
    EXPECT_EQ(frame[35], crc & 0xFF);
    uint8_t x = 0;
    for (int i = 3; i < n - 2; ++i) x ^= frame[i];
    EXPECT_EQ(frame[n - 2], x);
    EXPECT_EQ(frame[n - 1], 0x03);

    EXPECT_EQ(encodeNct5BImac(frame, 0, 2), n + 2);
    EXPECT_EQ(frame[36], 0x23);
    EXPECT_EQ(frame[37], 0x01);

    baseStation[0].gpsTowMs += 1000;   // nothing current
    EXPECT_EQ(encodeNct5BImac(frame, 0, 1), 20);
}

TEST_F(ImacIono, GlonassFramesMoveEachSlot)
{
    BaseStation& m = baseStation[0];
    GloSatObs& s = m.gloSat[3];
    s.epochMs = m.gloEpochMs;
    s.freqChannel = 7 + 4;
    s.codeRange[0] = 21000000.25;
    s.codeRange[1] = 21000003.5;
    s.phaseRange[0] = 21000001.0;
    s.phaseRange[1] = 21000005.0;
    s.elevation = 30;
    s.codeIndicator[1] = 1;
    m.gloSatCount = 1;
    m.netGradient.glo[4][3] = 20.0;   // code ionosphere
    m.netGradient.glo[0][3] = -20.0;  // phase ionosphere
    Client& c = client[0];
    c.latitude = 47.2;
    double f = 1 + 16 * std::pow(0.53 - 30 * pi / 180 / pi, 3);
    double i1 = 20.0 * (c.latitude * pi / 180 - m.latitudeRad);

    int n = encodeRtcm1012Imac(0, frame);
    ASSERT_TRUE(testdec::frameOk(frame, n));
    testdec::LegacyMsg msg = testdec::decodeLegacy(frame, n);
    ASSERT_EQ(msg.sats.size(), 1u);
    EXPECT_EQ(msg.count, 1);
    EXPECT_EQ(msg.sats[0].channel, 11);
    EXPECT_NEAR(msg.sats[0].code1, s.codeRange[0] - 4.963636363636364 * f * i1, 0.011);
    EXPECT_NEAR(msg.sats[0].phase1, s.phaseRange[0] + 4.963636363636364 * f * i1, 0.011);
    EXPECT_NEAR(msg.sats[0].code2, s.codeRange[1] - 8.174833333333334 * f * i1, 0.021);

    n = encodeRtcm1011Imac(0, frame);
    ASSERT_TRUE(testdec::frameOk(frame, n));
    msg = testdec::decodeLegacy(frame, n);
    ASSERT_EQ(msg.sats.size(), 1u);
    EXPECT_NEAR(msg.sats[0].code1, std::fmod(s.codeRange[0] - 4.963636363636364 * f * i1, 2 * testdec::lightMs), 0.021);

    // CMR type 3, read from its layout: slot 3, the moved L1 code modulo
    // one light-millisecond in eighths of the L1 wavelength.
    n = encodeCmr3Imac(frame, 0);
    ASSERT_EQ(n, 6 + 6 + 15);
    EXPECT_EQ(frame[5] & 0x1F, 1);           // one satellite
    EXPECT_EQ((frame[5] >> 5) & 7, 3);       // type 3
    const uint8_t* blk = frame + 4 + 6;
    EXPECT_EQ(blk[0] >> 3, 3);
    const double lambda1 = 299792448.0 / glonassL1Freq[11];
    const uint32_t code = uint32_t(blk[1]) << 16 | uint32_t(blk[2]) << 8 | blk[3];
    EXPECT_NEAR(code * lambda1 / 8,
                std::fmod(s.codeRange[0] - 4.963636363636364 * f * i1, testdec::lightMs), 0.03);
}

TEST_F(ImacIono, CmrCarrierScaleIsCalibratedForTheRoverThreadOnly)
{
    BaseStation& m = baseStation[0];
    m.gpsTowMs = 123000;
    GpsSatObs& s = m.gpsSat[5];
    s.epochMs = m.gpsTowMs;
    s.codeRange[0] = 21000000.0;
    s.codeRange[1] = 21000002.0;
    s.phaseRange[0] = s.codeRange[0] + 0.8;
    s.phaseRange[1] = s.codeRange[0] + 1.0;
    s.codeIndicator[1] = 1;
    // The CMR copy of the same epoch read the carriers with other scales:
    // the factors that make both agree are 0.0008 and 0.001.
    s.cmrEpochMs = 123000;
    s.cmrL1Code = s.codeRange[0];
    s.cmrL2Code = s.codeRange[1];
    s.cmrL1Phase = s.cmrL1Code + 0.8 * 0.000743709 / 0.0008;
    s.cmrL2Phase = s.cmrL1Code + 1.0 * 0.000953371 / 0.001;
    client[0].latitude = m.latitude;

    consoleCaptureStop();
    consoleCaptureStart();
    int n = encodeCmr0Imac(frame, 0);
    std::string log = consoleCaptureStop();
    consoleCaptureStart();
    ASSERT_GT(n, 12);
    EXPECT_EQ(log.find("L1 CMR psuedoR      21000000.000000\r\n"), 0u) << log;
    for (const char* line : {"L2 CMR psuedoR diff 2.000000\r\n", "L1 rtcm psuedoR     21000000.000000\r\n",
                             "L1 RTCM phase diff  0.800000\r\n", "diff RTCM - CMR meters = ",
                             "L1 final diff meters = ", "L2 final diff meters = "})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    double l1, l2;
    cmrCarrierScaleOf(0, 5, l1, l2);
    EXPECT_NEAR(l1, 0.0008, 5e-6);
    EXPECT_NEAR(l2, 0.001, 5e-6);
    // The master's record is not written from the rover's thread.
    EXPECT_EQ(s.cmrConvL1, 0.000743709);
    EXPECT_EQ(s.cmrConvL2, 0.000953371);
    // The L1 carrier field (20 bits after 8 flag bits and 24 code bits of
    // the first block) is scaled by the calibrated factor: -0.8 / 0.0008.
    const uint8_t* blk = frame + 4 + 6;
    int32_t carrier = int32_t((uint32_t(blk[4]) << 12) | (uint32_t(blk[5]) << 4) | (blk[6] >> 4));
    if (carrier & 0x80000) carrier -= 0x100000;
    EXPECT_NEAR(carrier, -1000, 6);

    // Another base in the slot starts from the defaults again.
    m.connectionSerial.fetch_add(1);
    cmrCarrierScaleOf(0, 5, l1, l2);
    EXPECT_EQ(l1, 0.000743709);
}
