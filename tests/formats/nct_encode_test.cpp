// NCT builders against the byte tables of the frames the caster writes. The
// expected frames were put together by hand, field by field, in a short
// Python script (values as in setUpBase below); the CRC-16/XMODEM of each is
// binascii.crc_hqx(frame[6:crcEnd], 0), placed high byte first except in the
// GPS + GLONASS 5E, which carries it low byte first.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/console.h"
#include "formats/frames.h"
#include "formats/nct/nct_encode.h"
#include "support/test_support.h"

namespace {

std::vector<uint8_t> built(int length, const uint8_t* buf)
{
    return std::vector<uint8_t>(buf, buf + (length > 0 ? length : 0));
}

class NctEncode : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        setGpsWeek(2345);
        BaseStation& b = baseStation[0];
        b.stationId = 1234;
        b.gpsTowMs = 123456789;   // 123456 whole seconds
        b.gloEpochMs = 12345000;
        b.connectTime = 1700000000;
        b.ecefX = -2148744.3971;
        b.ecefY = 4426641.2056;
        b.ecefZ = 4044655.8567;
    }
    uint8_t buf[maxFrameBytes] = {};
};

}  // namespace

TEST(NctTicks, CounterStepsAndTimeWord)
{
    // The closed form matches stepping one by one over the whole week.
    uint32_t c = 0, t = 0, w = 0;
    for (uint32_t n = 0; n <= 604799; ++n) {
        uint32_t c2, t2, w2;
        nctTicksAfter(n, c2, t2, w2);
        ASSERT_EQ(c2, c) << n;
        ASSERT_EQ(t2, t) << n;
        ASSERT_EQ(w2, w) << n;
        nctTickStep(c, t, w);
    }

    nctTicksAfter(1, c, t, w);
    EXPECT_EQ(c, 125u);
    EXPECT_EQ(t, 0u);
    EXPECT_EQ(w, 1u);
    nctTicksAfter(2, c, t, w);
    EXPECT_EQ(c, 122u);
    EXPECT_EQ(t, 1u);

    EXPECT_EQ(nctTimeWord(0), 0x40000000u);
    EXPECT_EQ(nctTimeWord(1), 0x40000000u | 1000u);
    EXPECT_EQ(nctTimeWord(2), 0x40000000u | ((122u | 1u << 7) << 3));

    uint32_t out = 0;
    EXPECT_TRUE(nctCountTicks(2, 5, 122, out));
    EXPECT_EQ(out, 6u);   // one wrap + the offset
    EXPECT_FALSE(nctCountTicks(2, 0, 121, out));
    EXPECT_TRUE(nctCountTicks(0, 7, 0, out));
    EXPECT_EQ(out, 7u);
    // No more than a week of steps.
    uint32_t capped = 0;
    nctCountTicks(604799, 0, 0, capped);
    nctCountTicks(4000000, 0, 0, out);
    EXPECT_EQ(out, capped);
}

TEST_F(NctEncode, PositionAndTime5D)
{
    baseStation[0].msg[kindNct5D].msgStamp = 777;
    int n = encodeNct5D(buf, 0, 1700000100, 0.003, 0.001, 0.001);
    EXPECT_EQ(baseStation[0].msg[kindNct5D].msgPrevRxTime, 777u);
    EXPECT_EQ(built(n, buf), hexBytes("02 99 66 5D 2A 00 10 0B FA 7E 6A BC 74 93 68 3F FC A9 F1 D2 "
                                      "4D 62 50 3F FC A9 F1 D2 4D 62 50 3F 64 00 00 00 40 E2 01 00 "
                                      "8B 02 01 00 C1 03"));
    consoleCaptureStart();
    EXPECT_TRUE(checkNct5D(buf, 0, uint32_t(n)));
    EXPECT_EQ(consoleCaptureStop(), "");
    EXPECT_EQ(encodeNct5D(buf, 10, 0, 0, 0, 0), 0);
}

TEST_F(NctEncode, StationCoordinates5C)
{
    // X -2148744.3971: -214874439 cm, millimetre digit 7 from the magnitude.
    int n = encodeNct5C(buf, 0, 1);
    EXPECT_EQ(built(n, buf), hexBytes("02 99 66 5C 18 00 10 01 03 00 B9 46 31 F3 B8 84 62 1A B1 A7 "
                                      "1B 18 0F C6 60 75 E6 03"));
    n = encodeNct5C(buf, 0, 2);
    EXPECT_EQ(built(n, buf), hexBytes("02 99 66 5C 19 00 30 01 03 00 B9 46 31 F3 B8 84 62 1A B1 A7 "
                                      "1B 18 49 D2 60 75 00 95 03"));

    // -12.3456 m: -1234 cm and the digit 5, the same as for +12.3456.
    BaseStation& b = baseStation[0];
    b.ecefX = -12.3456;
    b.ecefY = 12.3456;
    b.ecefZ = 0;
    n = encodeNct5C(buf, 0, 1);
    ASSERT_EQ(n, 28);
    EXPECT_EQ(int32_t(buf[10] | buf[11] << 8 | buf[12] << 16 | uint32_t(buf[13]) << 24), -1234);
    EXPECT_EQ(buf[25], 0x55);
    EXPECT_EQ(buf[24], 0x00);
}

TEST_F(NctEncode, SatelliteCorrections5B)
{
    BaseStation& b = baseStation[0];
    // Slot 0 is PRN 32: issue of data from the ephemeris IODE.
    GpsSatObs& s0 = b.gpsSat[0];
    s0.epochMs = b.gpsTowMs;
    s0.codeDelay[0] = 1.234;
    s0.codeDelay[1] = -0.5;
    s0.phaseAdvance[0] = -1.234;
    s0.phaseAdvance[1] = 0.5;
    s0.codeDelayF[0] = 1.0f;
    s0.slipCount = 3;
    gpsEphemeris[0].iode = 0x42;
    // Slot 5: no IODE either, so the low byte of the IODC.
    GpsSatObs& s5 = b.gpsSat[5];
    s5.epochMs = b.gpsTowMs;
    s5.codeDelay[1] = 2.0;
    s5.phaseAdvance[0] = 0.25;
    s5.phaseAdvance[1] = -0.125;
    s5.codeDelayF[1] = 2.0f;
    s5.slipCount = 7;
    gpsEphemeris[5].iodc = 0x1A7;
    // Slot 7 is of an older epoch and stays out.
    b.gpsSat[7].epochMs = b.gpsTowMs - 1000;
    b.gpsSat[7].nctRefWord = 9;
    // Slot 9: the issue of data the base sent wins over the ephemeris.
    b.gpsSat[9].epochMs = b.gpsTowMs;
    b.gpsSat[9].nctRefWord = 0x0155;
    gpsEphemeris[9].iode = 0x11;

    const char* blocks =
        "A0 42 09 00 FC FF 0D 21 F6 FF 00 04 00 40 1F 00 00 33 "
        "25 A7 00 00 10 00 00 00 02 00 00 FF FF 40 1F 00 00 77 "
        "09 55 00 00 00 00 00 00 00 00 00 00 00 40 1F 00 00 00 ";
    int n = encodeNct5B(buf, 0, 1);
    EXPECT_EQ(built(n, buf), hexBytes(std::string("02 99 66 5B 46 00 00 03 29 09 40 E2 01 00 D2 04 ") +
                                      blocks + "66 C5 F6 03"));
    n = encodeNct5B(buf, 0, 2);
    EXPECT_EQ(built(n, buf), hexBytes(std::string("02 99 66 5B 48 00 00 03 29 09 40 E2 01 00 D2 04 ") +
                                      blocks + "66 C5 23 01 DA 03"));

    // Nothing current: header and CRC only.
    b.gpsTowMs = 5000;
    n = encodeNct5B(buf, 0, 1);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(buf[4], 16);
    EXPECT_EQ(buf[7], 0);
}

TEST_F(NctEncode, GpsObservations5E)
{
    BaseStation& b = baseStation[0];
    GpsSatObs& s0 = b.gpsSat[0];
    s0.epochMs = b.gpsTowMs;
    s0.codeRange[0] = 21234567.891;
    s0.codeRange[1] = 21234570.5;
    s0.phaseRange[0] = 21234567.2;
    s0.phaseRange[1] = 21234569.1;
    s0.cn0[0] = 45.25f;
    s0.cn0[1] = 38.5f;
    s0.slipCount = 2;
    // No L2: the L2 fields are written from the zero range as they are.
    GpsSatObs& s12 = b.gpsSat[12];
    s12.epochMs = b.gpsTowMs;
    s12.codeRange[0] = 23456789.0;
    s12.phaseRange[0] = 23456790.5;
    s12.cn0[0] = 40.0f;

    int n = encodeNct5EGps(buf, 0);
    EXPECT_EQ(built(n, buf),
              hexBytes("02 99 66 5E 2E 00 10 02 29 09 40 E2 01 00 03 00 "
                       "60 B5 9A 78 37 6B 6A DB 00 12 3A 00 B2 5B 00 "
                       "4C A0 00 E3 3F 8E 75 1D C0 F0 81 FF 00 00 00 "
                       "C3 8E 2C 03"));

    // Nothing current: 20 bytes, L = 16, no satellite.
    b.gpsTowMs = 7000;
    n = encodeNct5EGps(buf, 0);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(buf[4], 16);
    EXPECT_EQ(buf[7], 0);
}

TEST_F(NctEncode, GpsGlonassObservations5E)
{
    BaseStation& b = baseStation[0];
    GpsSatObs& s0 = b.gpsSat[0];
    s0.epochMs = b.gpsTowMs;
    s0.codeRange[0] = 21234567.891;
    s0.codeRange[1] = 21234570.5;
    s0.phaseRange[0] = 21234567.2;
    s0.phaseRange[1] = 21234569.1;
    GpsSatObs& s12 = b.gpsSat[12];
    s12.epochMs = b.gpsTowMs;
    s12.codeRange[0] = 23456789.0;
    s12.phaseRange[0] = 23456790.5;
    // GLONASS entry 0 is slot 24.
    GloSatObs& g0 = b.gloSat[0];
    g0.epochMs = b.gloEpochMs;
    g0.codeRange[0] = 19876543.21;
    g0.codeRange[1] = 19876545.67;
    g0.phaseRange[0] = 19876544.0;
    g0.phaseRange[1] = 19876546.5;
    GloSatObs& g3 = b.gloSat[3];
    g3.epochMs = b.gloEpochMs;
    g3.codeRange[0] = 22000000.5;
    g3.codeRange[1] = 21999990.0;
    g3.phaseRange[0] = 21999999.25;
    g3.phaseRange[1] = 21999988.75;
    b.gloSat[4].epochMs = b.gloEpochMs + 1000;   // not current

    // Time word for 123456 s: counter 64, 120562 ticks (stepped in Python).
    int n = encodeNct5EGpsGlo(buf, 0);
    EXPECT_EQ(built(n, buf),
              hexBytes("02 99 66 5E 47 00 03 10 04 00 00 CA 5B 47 "
                       "F0 80 87 0B BE FD 1A 00 82 00 26 C6 D0 FF "
                       "F0 30 5F AD 37 68 C5 FF E6 23 26 50 F4 55 "
                       "F0 61 31 D9 44 25 E1 FF 7B 00 26 7D 7F FF "
                       "F0 0D 71 DA 57 D4 30 00 F3 FD 26 FC CA 01 "
                       "01 1E 58 6E 03"));
    EXPECT_EQ(nctTimeWord(123456), 0x475BCA00u);
}

TEST_F(NctEncode, LongestFramesFitTheKeptBuffer)
{
    // Every slot current, with values that overflow their fields.
    BaseStation& b = baseStation[0];
    for (auto& s : b.gpsSat) {
        s.epochMs = b.gpsTowMs;
        s.codeRange[0] = 1e300;
        s.codeRange[1] = -1e300;
        s.phaseRange[0] = std::numeric_limits<double>::quiet_NaN();
        s.codeDelay[0] = std::numeric_limits<double>::infinity();
    }
    for (auto& s : b.gloSat) {
        s.epochMs = b.gloEpochMs;
        s.codeRange[0] = std::numeric_limits<double>::infinity();
    }
    EXPECT_EQ(encodeNct5B(buf, 0, 2), 16 + 18 * 32 + 2 + 2 + 2);
    EXPECT_EQ(encodeNct5EGps(buf, 0), 16 + 15 * 32 + 4);
    EXPECT_EQ(encodeNct5EGpsGlo(buf, 0), 14 + 14 * 56 + 1 + 4);
    EXPECT_EQ(buf[7], 4 * 56);
}

TEST_F(NctEncode, BuiltFramesPassTheRecogniser)
{
    baseStation[0].gpsSat[3].epochMs = baseStation[0].gpsTowMs;
    baseStation[0].gloSat[3].epochMs = baseStation[0].gloEpochMs;
    const struct {
        int length;
        int32_t code;
    } frames[] = {
        {encodeNct5B(buf, 0, 1), codeNct5B},        {encodeNct5B(buf + 100, 0, 2), codeNct5B},
        {encodeNct5C(buf + 200, 0, 1), codeNct5C},  {encodeNct5C(buf + 300, 0, 2), codeNct5C},
        {encodeNct5D(buf + 400, 0, 0, 0, 0, 0), codeNct5D}, {encodeNct5EGps(buf + 500, 0), codeNct5E},
        {encodeNct5EGpsGlo(buf + 600, 0), codeNct5E},
    };
    const uint32_t starts[] = {0, 100, 200, 300, 400, 500, 600};
    for (int i = 0; i < 7; ++i) {
        uint32_t length = 0;
        EXPECT_EQ(checkNctId(buf, maxFrameBytes, starts[i], length), frames[i].code) << i;
        EXPECT_EQ(length, uint32_t(frames[i].length)) << i;
    }
}
