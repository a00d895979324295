// NCT decoders against frames put together here field by field from the
// layouts the receivers send (which differ in places from what our own
// builders write; each side is checked against its own layout), plus the
// fields both sides agree on, through a builder and back.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/nct/nct_decode.h"
#include "formats/nct/nct_encode.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& v, uint32_t x)
{
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put24(Bytes& v, uint32_t x)
{
    put16(v, x);
    v.push_back(uint8_t(x >> 16));
}
void put32(Bytes& v, uint32_t x)
{
    put24(v, x);
    v.push_back(uint8_t(x >> 24));
}

enum class Crc { none, highFirst, lowFirst };

void fixXor(Bytes& f)
{
    uint8_t x = 0;
    for (size_t i = 3; i + 2 < f.size(); ++i) x ^= f[i];
    f[f.size() - 2] = x;
}

// 02 99 66 id L data [CRC of the data] trailer XOR 03.
Bytes frame(uint8_t id, const Bytes& data, Crc crc, const Bytes& trailer = {})
{
    Bytes f = {0x02, 0x99, 0x66, id, 0, 0};
    f.insert(f.end(), data.begin(), data.end());
    if (crc != Crc::none) {
        const uint16_t c = calcCrc16Xmodem(f.data(), 6, f.size());
        if (crc == Crc::highFirst) {
            f.push_back(uint8_t(c >> 8));
            f.push_back(uint8_t(c));
        } else {
            f.push_back(uint8_t(c));
            f.push_back(uint8_t(c >> 8));
        }
    }
    f.insert(f.end(), trailer.begin(), trailer.end());
    f.push_back(0);
    f.push_back(0x03);
    const uint32_t l = uint32_t(f.size() - 4);
    f[4] = uint8_t(l);
    f[5] = uint8_t(l >> 8);
    fixXor(f);
    return f;
}

// 5B header: byte 6, count, week, epoch in ms, station.
Bytes header5B(uint8_t count, uint32_t epochMs, uint16_t station)
{
    Bytes d = {0, count};
    put16(d, 2345);
    put32(d, epochMs);
    put16(d, station);
    return d;
}

void add5BBlock(Bytes& d, uint8_t prnByte, uint8_t iod, uint8_t nibbles)
{
    d.push_back(prnByte);
    d.push_back(iod);
    for (int i = 2; i < 17; ++i) d.push_back(uint8_t(0x10 + i));
    d.push_back(nibbles);
}

int decode5B(const Bytes& f, int base, bool store)
{
    return decodeNct5B(f.data(), 0, uint32_t(f.size()), base, store);
}
bool decode5C(const Bytes& f, int base)
{
    return decodeNct5C(f.data(), 0, uint32_t(f.size()), base);
}
int decode5E(const Bytes& f, int base)
{
    return decodeNct5E(f.data(), 0, uint32_t(f.size()), base);
}

class NctDecode : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        setWallTimeOverride(1700000000);
    }
    void TearDown() override { setWallTimeOverride(0); }
};

}  // namespace

TEST_F(NctDecode, Corrections5BAtEitherCrcPlace)
{
    Bytes d = header5B(2, 345678900, 1234);
    add5BBlock(d, 0x05, 0x6C, 0x53);
    add5BBlock(d, 0xA0, 0x42, 0x21);   // PRN field 0: entry 0 (PRN 32); flags ignored

    // CRC just before the XOR byte.
    Bytes a = frame(0x5B, d, Crc::highFirst);
    EXPECT_EQ(decode5B(a, 0, true), 2);
    const BaseStation& b = baseStation[0];
    EXPECT_EQ(b.stationId, 1234);
    EXPECT_EQ(b.gpsTowMs, 345678900u);
    EXPECT_EQ(currentGpsTowMs.load(), 345678900u);
    EXPECT_EQ(b.gpsSat[5].nctRefWord, 0x6C);
    EXPECT_EQ(b.gpsSat[5].epochMs, 345678900u);
    EXPECT_EQ(b.gpsSat[5].nctNibble[0], 3);
    EXPECT_EQ(b.gpsSat[5].nctNibble[1], 5);
    EXPECT_EQ(b.gpsSat[0].nctRefWord, 0x42);
    EXPECT_EQ(b.gpsSat[0].nctNibble[1], 2);

    // Without the store flag only the nibbles are taken.
    EXPECT_EQ(decode5B(a, 1, false), 2);
    EXPECT_EQ(baseStation[1].gpsSat[5].nctRefWord, 0);
    EXPECT_EQ(baseStation[1].gpsSat[5].epochMs, 0u);
    EXPECT_EQ(baseStation[1].gpsSat[5].nctNibble[1], 5);

    // CRC followed by two more bytes.
    Bytes bl = frame(0x5B, d, Crc::highFirst, {0x23, 0x01});
    EXPECT_EQ(decode5B(bl, 2, true), 2);
    EXPECT_EQ(baseStation[2].gpsSat[5].nctRefWord, 0x6C);

    // Neither place holds the CRC; then a bad XOR.
    Bytes bad = a;
    bad[bad.size() - 4] ^= 0x01;
    fixXor(bad);
    consoleCaptureStart();
    EXPECT_EQ(decode5B(bad, 3, true), 0);
    bad[bad.size() - 2] ^= 0xFF;
    EXPECT_EQ(decode5B(bad, 3, true), 0);
    EXPECT_EQ(consoleCaptureStop(), "CRC error 5B 3000 version\nchecksum error 5B\n");
    EXPECT_EQ(baseStation[3].gpsTowMs, 1u);
}

TEST_F(NctDecode, Corrections5BRefusals)
{
    BaseStation& b = baseStation[0];
    Bytes d = header5B(1, 1000, 7);
    add5BBlock(d, 0x03, 0x11, 0x00);
    ASSERT_EQ(decode5B(frame(0x5B, d, Crc::highFirst), 0, true), 1);

    // Another station number: dropped, and the latch opens for the next.
    Bytes other = header5B(1, 2000, 8);
    add5BBlock(other, 0x03, 0x22, 0x00);
    EXPECT_EQ(decode5B(frame(0x5B, other, Crc::highFirst), 0, true), 0);
    EXPECT_EQ(b.stationId, 0);
    EXPECT_EQ(b.gpsSat[3].nctRefWord, 0x11);
    EXPECT_EQ(decode5B(frame(0x5B, other, Crc::highFirst), 0, true), 1);
    EXPECT_EQ(b.stationId, 8);

    // A count that runs past the frame, and a time beyond the week.
    Bytes longCount = header5B(3, 3000, 8);
    add5BBlock(longCount, 0x04, 0x33, 0x00);
    add5BBlock(longCount, 0x05, 0x33, 0x00);
    EXPECT_EQ(decode5B(frame(0x5B, longCount, Crc::highFirst), 0, true), 0);
    Bytes late = header5B(1, 604800000, 8);
    add5BBlock(late, 0x04, 0x33, 0x00);
    EXPECT_EQ(decode5B(frame(0x5B, late, Crc::highFirst), 0, true), 0);
    EXPECT_EQ(b.gpsTowMs, 2000u);
    EXPECT_EQ(b.gpsSat[4].nctRefWord, 0);

    // Longer than any kept buffer, still decoded in place.
    Bytes many = header5B(60, 4000, 8);
    for (int i = 0; i < 60; ++i) add5BBlock(many, uint8_t(i % 32), uint8_t(i), 0x00);
    Bytes big = frame(0x5B, many, Crc::highFirst);
    ASSERT_GT(big.size(), size_t(maxFrameBytes));
    EXPECT_EQ(decode5B(big, 0, true), 60);
    EXPECT_EQ(b.gpsSat[27].nctRefWord, 59);
}

namespace {

Bytes data5C(int32_t xCm, int32_t yCm, int32_t zCm)
{
    Bytes d = {0x10, 1, 3, 0};
    put32(d, uint32_t(xCm));
    put32(d, uint32_t(yCm));
    put32(d, uint32_t(zCm));
    return d;
}

}  // namespace

TEST_F(NctDecode, Position5CLayouts)
{
    BaseStation& b = baseStation[0];
    b.gpsSat[3].elevation = 30;
    b.galSat[3].elevation = 30;
    b.gloSat[10].elevation = 30;
    b.bdsSat[50].elevation = 30;

    // 2000D: centimetres only.
    ASSERT_TRUE(decode5C(frame(0x5C, data5C(402789400, 30704560, 491947491), Crc::highFirst), 0));
    EXPECT_DOUBLE_EQ(b.ecefX, 4027894.00);
    EXPECT_DOUBLE_EQ(b.ecefY, 307045.60);
    EXPECT_DOUBLE_EQ(b.ecefZ, 4919474.91);
    double latRad, lonRad, lat, lon, h;   // the NCT receivers' ellipsoid
    ASSERT_TRUE(ecefToGeodeticNct(b.ecefX, b.ecefY, b.ecefZ, latRad, lonRad, lat, lon, h));
    EXPECT_DOUBLE_EQ(b.latitude, lat);
    EXPECT_DOUBLE_EQ(b.longitude, lon);
    EXPECT_DOUBLE_EQ(b.strLatitude, std::round(lat * 100) / 100);
    EXPECT_DOUBLE_EQ(b.strLongitude, std::round(lon * 100) / 100);
    for (double d : {b.gpsSat[3].tropoDelay, b.galSat[3].tropoDelay, b.gloSat[10].tropoDelay,
                     b.bdsSat[50].tropoDelay})
        EXPECT_GT(d, 3.0);

    // 2100D: millimetre word 0x0750 adds 7 mm to Y and 5 mm to Z; its top
    // nibble carries X's.
    ASSERT_TRUE(decode5C(
        frame(0x5C, data5C(402789400, 30704560, 491947491), Crc::highFirst, {0x50, 0x07}), 0));
    EXPECT_NEAR(b.ecefX, 4027894.000, 1e-9);
    EXPECT_NEAR(b.ecefY, 307045.607, 1e-9);
    EXPECT_NEAR(b.ecefZ, 4919474.915, 1e-9);
    ASSERT_TRUE(decode5C(
        frame(0x5C, data5C(402789400, 30704560, 491947491), Crc::highFirst, {0x50, 0x37}), 0));
    EXPECT_NEAR(b.ecefX, 4027894.003, 1e-9);

    // 3000: one more byte after the word. A negative coordinate's digit
    // moves it away from zero.
    ASSERT_TRUE(decode5C(frame(0x5C, data5C(-214874439, 442664120, 404465585), Crc::highFirst,
                               {0x60, 0x75, 0x00}),
                         0));
    EXPECT_NEAR(b.ecefX, -2148744.397, 1e-9);
    EXPECT_NEAR(b.ecefY, 4426641.205, 1e-9);
    EXPECT_NEAR(b.ecefZ, 4044655.856, 1e-9);
}

TEST_F(NctDecode, Position5CRefusalsStoreNothing)
{
    BaseStation& b = baseStation[0];
    b.ecefX = 1;
    b.latitude = 2;
    consoleCaptureStart();
    // Unknown length (L = 23).
    EXPECT_FALSE(decode5C(frame(0x5C, data5C(402789400, 30704560, 491947491), Crc::highFirst,
                                {0x00}),
                          0));
    // The earth's centre has no latitude.
    EXPECT_FALSE(decode5C(frame(0x5C, data5C(0, 0, 0), Crc::highFirst, {0x00, 0x00}), 0));
    // Wrong CRC, then wrong XOR.
    Bytes bad = frame(0x5C, data5C(402789400, 30704560, 491947491), Crc::highFirst, {0, 0});
    bad[22] ^= 0x80;
    fixXor(bad);
    EXPECT_FALSE(decode5C(bad, 0));
    bad[bad.size() - 2] ^= 0x01;
    EXPECT_FALSE(decode5C(bad, 0));
    EXPECT_EQ(consoleCaptureStop(), "CRC error 5C 2100D vers\nchecksum     error    5C\n");
    EXPECT_EQ(b.ecefX, 1.0);
    EXPECT_EQ(b.latitude, 2.0);
    EXPECT_EQ(b.strLatitude, 0.0);
}

TEST_F(NctDecode, Position5CThroughOurBuilder)
{
    // Both sides agree on the position: centimetres plus the millimetre
    // digit, so the point comes back truncated to the millimetre.
    BaseStation& src = baseStation[0];
    src.ecefX = -2148744.3971;
    src.ecefY = 4426641.2056;
    src.ecefZ = -4044655.8567;
    uint8_t buf[maxFrameBytes];
    for (uint32_t mode : {1u, 2u}) {
        const int n = encodeNct5C(buf, 0, mode);
        ASSERT_TRUE(decodeNct5C(buf, 0, uint32_t(n), 1));
        EXPECT_NEAR(baseStation[1].ecefX, -2148744.397, 1e-6);
        EXPECT_NEAR(baseStation[1].ecefY, 4426641.205, 1e-6);
        EXPECT_NEAR(baseStation[1].ecefZ, -4044655.856, 1e-6);
    }
}

namespace {

// 2100D block: PRN and flag byte, two strengths, L1 code, L2-L1 code, the
// two phase words with their nibbles.
void add2100DBlock(Bytes& d, uint8_t prnByte, uint8_t cn1, uint8_t cn2, uint32_t l1Code,
                   int16_t l2Diff, int32_t l1Phase, uint8_t l1Nibble, int32_t l2Phase,
                   uint8_t l2Nibble)
{
    d.push_back(prnByte);
    d.push_back(cn1);
    d.push_back(cn2);
    put32(d, l1Code);
    put16(d, uint16_t(l2Diff));
    put24(d, uint32_t(l1Phase) << 4 | l1Nibble);
    put24(d, uint32_t(l2Phase) << 4 | l2Nibble);
}

Bytes header2100D(uint8_t count, uint32_t seconds)
{
    Bytes d = {0x10, count};
    put16(d, 2345);
    put32(d, seconds);
    put16(d, 1234);
    return d;
}

}  // namespace

TEST_F(NctDecode, GpsObservations2100D)
{
    BaseStation& b = baseStation[0];
    b.gloSatCount = 5;
    Bytes d = header2100D(2, 345678);
    add2100DBlock(d, 0x00, 160, 0, 1700000000, 0, 0, 0, 0, 0);   // PRN 32, no flags
    add2100DBlock(d, 0xC7, 180, 150, 1785404000, -220, -1234, 5, 2345, 9);
    Bytes f = frame(0x5E, d, Crc::highFirst);

    consoleCaptureStart();
    EXPECT_EQ(decode5E(f, 0), 2);
    EXPECT_EQ(consoleCaptureStop(),
              "message 5E version 2100D gps\ndataLength     46\nCommand Act    16\n"
              "number cor     2\nGPS week       2345\nGPS seconds    345678\n"
              "site ID        1234\n");
    EXPECT_EQ(b.gpsTowMs, 345678000u);
    EXPECT_EQ(currentGpsTowMs.load(), 345678000u);
    EXPECT_EQ(currentGpsWeek.load(), 2345);
    EXPECT_EQ(b.gpsSatCount, 2u);
    EXPECT_EQ(b.gloSatCount, 0u);
    // The last block's L2 indicator sets the smoothing.
    EXPECT_EQ(b.gpsSmoothing, 1);
    EXPECT_EQ(b.gpsSmoothingInterval, 3);

    const GpsSatObs& s = b.gpsSat[7];
    const double code1 = 1785404000 * 0.011893375;
    EXPECT_EQ(s.codeIndicator[1], 1);
    EXPECT_FLOAT_EQ(s.cn0[0], 45.0f);
    EXPECT_DOUBLE_EQ(s.codeRange[0], code1);
    EXPECT_EQ(s.ambiguityMs, 70);   // 21234567.96 m is 70.8 light-ms
    EXPECT_DOUBLE_EQ(s.l2MinusL1Code, -220 * 0.011893375);
    EXPECT_DOUBLE_EQ(s.codeRange[1], code1 - 220 * 0.011893375);
    EXPECT_DOUBLE_EQ(s.l1PhaseMinusCode, -1234 * 0.0007433359375);
    EXPECT_DOUBLE_EQ(s.phaseRange[0], code1 - 1234 * 0.0007433359375);
    EXPECT_DOUBLE_EQ(s.phaseRange[1], s.codeRange[1] + 2345 * 0.0009539453125);
    EXPECT_EQ(s.slipCount, 5);
    EXPECT_EQ(s.nctNibble[1], 9);
    EXPECT_EQ(s.valid, 1);
    EXPECT_EQ(s.epochMs, 345678000u);
    EXPECT_EQ(b.gpsSat[0].valid, 1);   // PRN field 0 is PRN 32

    // An older epoch is refused and changes nothing.
    Bytes older = header2100D(1, 345000);
    add2100DBlock(older, 0x07, 100, 100, 1, 0, 0, 0, 0, 0);
    consoleCaptureStart();
    EXPECT_EQ(decode5E(frame(0x5E, older, Crc::highFirst), 0), 0);
    EXPECT_NE(consoleCaptureStop().find("GPS tow less than current NCT 5E\n"), std::string::npos);
    EXPECT_DOUBLE_EQ(s.codeRange[0], code1);

    // A count beyond the blocks, and seconds beyond the week: nothing.
    consoleCaptureStart();
    Bytes shortBlocks = header2100D(3, 346000);
    add2100DBlock(shortBlocks, 0x07, 100, 100, 1, 0, 0, 0, 0, 0);
    EXPECT_EQ(decode5E(frame(0x5E, shortBlocks, Crc::highFirst), 0), 0);
    Bytes late = header2100D(1, 604800);
    add2100DBlock(late, 0x07, 100, 100, 1, 0, 0, 0, 0, 0);
    EXPECT_EQ(decode5E(frame(0x5E, late, Crc::highFirst), 0), 0);
    consoleCaptureStop();
    EXPECT_EQ(b.gpsTowMs, 345678000u);
    EXPECT_DOUBLE_EQ(s.codeRange[0], code1);

    // No satellites: the time still moves, the count is 0.
    consoleCaptureStart();
    EXPECT_EQ(decode5E(frame(0x5E, header2100D(0, 345680), Crc::highFirst), 0), 0);
    consoleCaptureStop();
    EXPECT_EQ(b.gpsTowMs, 345680000u);
    EXPECT_EQ(b.gpsSatCount, 0u);
}

namespace {

// sf3000 block: flags/nctByte, system and number, L1 code (0.02 m), L1
// phase, and with the L2 flag the L2 code difference, status and phase.
void addSfBlock(Bytes& d, uint8_t byte0, uint8_t system, uint8_t number, uint32_t code,
                int32_t l1Phase, int32_t l2Diff = 0, uint8_t status = 0x26, int32_t l2Phase = 0)
{
    d.push_back(byte0);
    d.push_back(uint8_t(number << 2 | system));
    put24(d, code);
    put24(d, uint32_t(l1Phase));
    if (byte0 & 0x40) {
        put16(d, uint32_t(l2Diff) & 0x3FFF);
        d.push_back(status);
        put24(d, uint32_t(l2Phase));
    }
}

Bytes headerSf(uint8_t count, uint32_t seconds)
{
    Bytes d = {0x03, uint8_t(count << 2), 0x04, 0x00};
    put32(d, nctTimeWord(seconds));
    return d;
}

Bytes closeSf(Bytes d)
{
    d.push_back(0x01);
    return frame(0x5E, d, Crc::lowFirst);
}

}  // namespace

TEST_F(NctDecode, GpsGlonassObservationsSf3000)
{
    BaseStation& b = baseStation[0];
    setGpsTow(123455000);   // the last epoch, one second earlier
    Bytes d = headerSf(9, 123456);
    addSfBlock(d, 0x45, 0, 32, 1000000, -5000, -100, 0x26, 7000);   // PRN 32: entry 0
    addSfBlock(d, 0x01, 0, 5, 16000000, -8388608);                  // no L1 phase, no L2
    addSfBlock(d, 0x42, 0, 7, 2000000, 300, 50, 0x10, 0);          // odd status, no L2 phase
    addSfBlock(d, 0x4A, 1, 24, 5000000, 4000, 200, 0x00, -3000);    // slot 24: entry 0
    addSfBlock(d, 0x0B, 1, 25, 4000000, 1);                         // no such slot
    addSfBlock(d, 0x4C, 0, 40, 3000000, 1, 1, 0x26, 1);             // no such PRN
    addSfBlock(d, 0x0D, 0, 0, 3000000, 1);                          // nor PRN 0
    addSfBlock(d, 0x4E, 2, 9, 3000000, 1, 1, 0x26, 1);              // another system
    addSfBlock(d, 0x0F, 0, 9, 6000000, 2);                          // still aligned
    Bytes f = closeSf(d);

    consoleCaptureStart();
    EXPECT_EQ(decode5E(f, 0), 9);
    EXPECT_EQ(consoleCaptureStop(), "unknown L2 byte value is = 16\n");
    EXPECT_EQ(b.gpsTowMs, 123456000u);
    EXPECT_EQ(b.gloEpochMs, (123456u + 10799 - 17 - 86400) * 1000);
    EXPECT_EQ(currentGloTodMs.load(), b.gloEpochMs);
    EXPECT_EQ(b.gpsSatCount, 4u);
    EXPECT_EQ(b.gloSatCount, 1u);

    const double c = 299792.458;
    const GpsSatObs& g32 = b.gpsSat[0];
    EXPECT_EQ(g32.epochMs, 123456000u);   // entry 0 holds PRN 32's block, nothing later
    EXPECT_EQ(g32.nctByte, 5);
    EXPECT_DOUBLE_EQ(g32.l1CodeModulo, 20000.0 + 20.0);
    EXPECT_DOUBLE_EQ(g32.codeRange[0], 20020.0 + c);
    EXPECT_DOUBLE_EQ(g32.l1PhaseMinusCode, -5000 * 1.1920928955078125e-07);
    EXPECT_DOUBLE_EQ(g32.phaseRange[0], g32.codeRange[0] + g32.l1PhaseMinusCode);
    EXPECT_EQ(g32.lockIndicator[1], 127);
    EXPECT_DOUBLE_EQ(g32.l2MinusL1Code, -2.0);
    EXPECT_DOUBLE_EQ(g32.codeRange[1], g32.codeRange[0] - 2.0);
    EXPECT_DOUBLE_EQ(g32.l2PhaseMinusCode, 7000 * 1.1920928955078125e-07);
    EXPECT_DOUBLE_EQ(g32.phaseRange[1], g32.codeRange[0] + g32.l2PhaseMinusCode);

    const GpsSatObs& g5 = b.gpsSat[5];
    EXPECT_NEAR(g5.l1CodeModulo, 320000.0 - c + 20.0, 1e-9);
    EXPECT_EQ(g5.phaseRange[0], 0.0);
    EXPECT_EQ(g5.lockIndicator[1], 0);
    EXPECT_EQ(g5.phaseRange[1], 0.0);
    EXPECT_NE(b.gpsSat[7].codeRange[1], 0.0);
    EXPECT_EQ(b.gpsSat[7].phaseRange[1], 0.0);
    EXPECT_DOUBLE_EQ(b.gpsSat[9].l1CodeModulo, 120000.0 + 20.0);

    // Slot 25, PRN 40 and PRN 0 were passed over, not folded onto entry 0.
    const GloSatObs& r24 = b.gloSat[0];
    EXPECT_EQ(r24.freqChannel, glonassChannelBySlot[0]);
    EXPECT_EQ(r24.nctByte, 0x4A);
    EXPECT_DOUBLE_EQ(r24.codeRange[0], 100000.0 + 2 * c);
    EXPECT_DOUBLE_EQ(r24.l1PhaseMinusCode, 4000 * -0.0005);
    EXPECT_DOUBLE_EQ(r24.codeRange[1], r24.codeRange[0] + 4.0);
    EXPECT_DOUBLE_EQ(r24.phaseRange[1], r24.codeRange[0] + -3000 * -0.0005);
}

TEST_F(NctDecode, Sf3000TimeAndRefusals)
{
    BaseStation& b = baseStation[0];
    // GLONASS seconds of exactly 86400 stay; 86401 becomes 1.
    for (uint32_t s : {75618u, 75619u}) {
        setGpsTow((s - 1) * 1000);
        EXPECT_EQ(decode5E(closeSf(headerSf(0, s)), 0), 0);
        EXPECT_EQ(b.gpsTowMs, s * 1000);
    }
    EXPECT_EQ(b.gloEpochMs, 1000u);
    setGpsTow(75617000);
    decode5E(closeSf(headerSf(0, 75618)), 1);
    EXPECT_EQ(baseStation[1].gloEpochMs, 86400000u);

    // The tick word gives the seconds back from a last time 20 s behind.
    setGpsTow(400000000);
    b.gpsTowMs = 1;
    EXPECT_EQ(decode5E(closeSf(headerSf(0, 400020)), 0), 0);
    EXPECT_EQ(b.gpsTowMs, 400020000u);

    // Blocks that run into the CRC: nothing changes.
    Bytes d = headerSf(2, 400021);
    addSfBlock(d, 0x45, 0, 3, 1000, 1, 1, 0x26, 1);
    addSfBlock(d, 0x45, 0, 4, 1000, 1, 1, 0x26, 1);
    d.resize(d.size() - 3);
    EXPECT_EQ(decode5E(closeSf(d), 0), 0);
    EXPECT_EQ(b.gpsTowMs, 400020000u);
    EXPECT_EQ(b.gpsSat[3].epochMs, 0u);

    // Neither CRC order, then a bad XOR.
    Bytes bad = closeSf(headerSf(0, 400022));
    bad[bad.size() - 4] ^= 0x01;
    fixXor(bad);
    consoleCaptureStart();
    EXPECT_EQ(decode5E(bad, 0), 0);
    bad[bad.size() - 2] ^= 0x01;
    EXPECT_EQ(decode5E(bad, 0), 0);
    EXPECT_EQ(consoleCaptureStop(), "CRC error 5E vers sf3000\nchecksum error 5E\n");
}

// The usual start is the last epoch, one second before the frame's; across
// a counter wrap the tick steps alone would stop a second short.
TEST_F(NctDecode, Sf3000SecondFromTheEpochBefore)
{
    BaseStation& b = baseStation[0];
    for (uint32_t s = 515300; s < 515600; ++s) {
        initEpochValues();
        setGpsTow((s - 1) * 1000);
        b.gpsTowMs = (s - 1) * 1000;
        ASSERT_EQ(decode5E(closeSf(headerSf(0, s)), 0), 0);
        ASSERT_EQ(b.gpsTowMs, s * 1000) << s;
    }
}

// One CRC in 256 has two equal bytes and so matches in both byte orders;
// such an sf3000 frame is still read as sf3000, and a 2100D frame with
// such a CRC still as 2100D.
TEST_F(NctDecode, CrcOfTwoEqualBytesKeepsTheLayout)
{
    uint32_t code = 1000000;
    Bytes f;
    for (;; ++code) {
        Bytes d = headerSf(1, 300000);
        addSfBlock(d, 0x45, 0, 12, code, 100, 50, 0x26, 200);
        f = closeSf(d);
        if (f[f.size() - 4] == f[f.size() - 3]) break;
        ASSERT_LT(code, 1000000u + 100000u);
    }
    setGpsTow(299999000);
    EXPECT_EQ(decode5E(f, 0), 1);
    EXPECT_EQ(baseStation[0].gpsTowMs, 300000000u);
    EXPECT_DOUBLE_EQ(baseStation[0].gpsSat[12].l1CodeModulo, code * 0.02 + 20.0);

    for (uint32_t seconds = 300001;; ++seconds) {
        Bytes d = {0x10, 1};
        put16(d, 2345);
        put32(d, seconds);
        put16(d, 7);
        d.push_back(12);
        for (int i = 1; i < 15; ++i) d.push_back(uint8_t(i));
        f = frame(0x5E, d, Crc::highFirst);
        if (f[f.size() - 4] == f[f.size() - 3]) break;
        ASSERT_LT(seconds, 400000u);
    }
    consoleCaptureStart();
    EXPECT_EQ(decode5E(f, 1), 1);
    EXPECT_NE(consoleCaptureStop().find("message 5E version 2100D gps"), std::string::npos);
}

TEST_F(NctDecode, ObservationsThroughOurBuilders)
{
    // Where the two sides agree: times, satellite numbers and code ranges.
    // (Not the station: our GPS-only 5E carries the bytes 0, 3, 0 where the
    // receivers put their station number.)
    BaseStation& src = baseStation[0];
    setGpsWeek(2345);
    src.gpsTowMs = 234567000;
    src.gloEpochMs = 5000;
    GpsSatObs& s0 = src.gpsSat[0];
    s0.epochMs = src.gpsTowMs;
    s0.codeRange[0] = 21234567.891;
    s0.codeRange[1] = 21234570.5;
    s0.cn0[0] = 45.25f;
    GloSatObs& r3 = src.gloSat[3];
    r3.epochMs = src.gloEpochMs;
    r3.codeRange[0] = 22000000.5;
    uint8_t buf[maxFrameBytes];

    consoleCaptureStart();
    int n = encodeNct5EGps(buf, 0);
    ASSERT_EQ(decodeNct5E(buf, 0, uint32_t(n), 1), 1);
    consoleCaptureStop();
    const BaseStation& dst = baseStation[1];
    EXPECT_EQ(dst.gpsTowMs, 234567000u);
    EXPECT_NEAR(dst.gpsSat[0].codeRange[0], s0.codeRange[0], 0.0119);
    EXPECT_NEAR(dst.gpsSat[0].codeRange[1], s0.codeRange[1], 0.024);
    EXPECT_FLOAT_EQ(dst.gpsSat[0].cn0[0], 45.25f);

    setGpsTow(234560000);
    n = encodeNct5EGpsGlo(buf, 0);
    ASSERT_EQ(decodeNct5E(buf, 0, uint32_t(n), 2), 2);
    const BaseStation& dst2 = baseStation[2];
    EXPECT_EQ(dst2.gpsTowMs, 234567000u);
    EXPECT_EQ(dst2.gpsSatCount, 1u);
    EXPECT_EQ(dst2.gloSatCount, 1u);
    EXPECT_EQ(dst2.gloSat[3].epochMs, dst2.gloEpochMs);
    const double m = std::fmod(s0.codeRange[0], 299792.458);
    EXPECT_NEAR(dst2.gpsSat[0].l1CodeModulo - 20.0, m, 0.02);
}

TEST_F(NctDecode, Frame61IsCheckedAndLogged)
{
    const std::string dir = makeTempDir();
    logFileName = dir + "/log";
    logToFile = true;
    Bytes f = frame(0x61, {0xAB}, Crc::none);
    decodeNct61(f.data(), 0, uint32_t(f.size()), 0);
    f[f.size() - 2] ^= 0x01;
    consoleCaptureStart();
    decodeNct61(f.data(), 0, uint32_t(f.size()), 0);
    EXPECT_EQ(consoleCaptureStop(), "checksum error 61\n");
    logToFile = false;

    std::ifstream in(logFileName + ".txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "hex format NCT 61\r\n0x02 0x99 0x66 0x61 0x05 0x00 0xab 0xcf 0x03 \r\n\r\n\r\n"
              "hex format NCT 61\r\n0x02 0x99 0x66 0x61 0x05 0x00 0xab 0xce 0x03 \r\n\r\n\r\n");
}
