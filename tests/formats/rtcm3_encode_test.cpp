// Builders of the RTCM 3.1 set, checked field by field and against the
// values that independent decoders (gpsdecode, convbin) read from the
// built frames.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/checksum.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "platform/clock.h"
#include "formats/encode_fixtures.h"
#include "formats/rtcm_test_decode.h"

namespace {

struct Reader {
    const uint8_t* buf;
    BitCursor c;
    explicit Reader(const uint8_t* b, int frameLength) : buf(b), c(bitCursor(3, uint32_t(frameLength - 3))) {}
    uint32_t u(int n) { uint64_t v; readBitsU64(v, n, c, buf); return uint32_t(v); }
    int64_t s(int n) { int64_t v; readBitsI64(v, n, c, buf); return v; }
};

bool frameOk(const uint8_t* f, int len)
{
    if (len < 6 || f[0] != 0xD3) return false;
    int payload = ((f[1] & 3) << 8) | f[2];
    return payload + 6 == len && checkCrc24q(f, size_t(len));
}

class Rtcm31Build : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
    uint8_t buf[1029] = {};
};

}  // namespace

// gpsdecode -j on the frame built here reads:
// {"type":1013,"length":27,"station_id":2003,"mjd":60383,"sec":43210,"leapsecs":18,
//  {"id":1004,"sync":"true","interval":10}{"id":1012,...,"interval":10}
//  {"id":1104,...,"interval":10}{"id":1005,...,"interval":100}{"id":1008,...,"interval":100}}
TEST_F(Rtcm31Build, Message1013ForABaseAndForNone)
{
    BaseStation& b = baseStation[3];
    b.stationId = 2003;
    b.mjd = 60383;
    b.secondsOfDay = 43210;
    b.leapSeconds = 18;
    int len = encodeRtcm1013(3, buf);
    ASSERT_EQ(len, 33);
    ASSERT_TRUE(frameOk(buf, len));
    Reader r(buf, len);
    EXPECT_EQ(r.u(12), 1013u);
    EXPECT_EQ(r.u(12), 2003u);
    EXPECT_EQ(r.u(16), 60383u);
    EXPECT_EQ(r.u(17), 43210u);
    EXPECT_EQ(r.u(5), 5u);
    EXPECT_EQ(r.u(8), 18u);
    const uint32_t ids[5] = {1004, 1012, 1104, 1005, 1008};
    const uint32_t intervals[5] = {10, 10, 10, 100, 100};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.u(12), ids[i]);
        EXPECT_EQ(r.u(1), 1u);
        EXPECT_EQ(r.u(16), intervals[i]);
    }
    EXPECT_EQ(r.u(1), 0u);   // spare bit of the last byte is clear

    // A rover slot number or -1 never reaches the base records: it gives the
    // keep-alive form with today's MJD.
    setMjd(60400);
    for (int index : {-1, 10, 57}) {
        std::memset(buf, 0xFF, sizeof buf);
        len = encodeRtcm1013(index, buf);
        ASSERT_TRUE(frameOk(buf, len));
        Reader k(buf, len);
        k.u(12);
        EXPECT_EQ(k.u(12), 0u);
        EXPECT_EQ(k.u(16), 60400u);
        EXPECT_EQ(k.u(17), 0u);
        k.u(5);
        EXPECT_EQ(k.u(8), 0u);
    }
}

namespace {

constexpr double c0 = 299792458.0;
constexpr double gpsL1 = c0 / 1575.42e6, gpsL2 = c0 / 1227.60e6;

// The phase difference in metres once whole cycles are taken out.
double cycleResidual(double decoded, double truth, double wavelength)
{
    double cycles = (decoded - truth) / wavelength;
    return (cycles - std::round(cycles)) * wavelength;
}

const testdec::LegacySat* findSat(const testdec::LegacyMsg& m, int id)
{
    for (const auto& s : m.sats)
        if (s.id == id) return &s;
    return nullptr;
}

}  // namespace

// convbin -r rtcm3 -o out.obs -od -os -tr 2024/03/13 12:00:00 built.rtcm3 on
// the 1005, 1004 and 1012 built from fixtures::fillGpsEpoch/fillGloEpoch
// reads (code m, phase cycles, CNR):
//   G32 23456789.984 123266267.2051 47.250 | C2X 23456792.324 96051628.7041 40.000
//   G05 21000000.120 110355810.3471 45.500 | C2P 21000003.580  85991532.9731 38.750
//   G12 22500000.510 118238283.8021 39.000 | (no L2)
//   G20 20500000.264 107728906.9971 42.000 | C2X 20500001.264  83943942.5651 36.000
//   R24 C1P 21111111.100 112890585.041 41.000 | C2P 21111115.100 87803794.604 39.000
//   R01 C1C 19876543.228 106251544.220 44.000 | C2C 19876547.628 82640080.802 42.000
//   R10 C1C 22222222.192 118456994.499 38.000 | (no L2)   (slot frequency -7)
TEST_F(Rtcm31Build, Message1004AgainstConvbin)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGpsEpoch(b);
    int len = encodeRtcm1004(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::LegacyMsg m = testdec::decodeLegacy(buf, len);
    ASSERT_FALSE(m.overrun);
    EXPECT_EQ(m.station, 1234);
    EXPECT_EQ(m.epoch, fixtures::gpsTow);
    // Four blocks are written (PRN 17 has no L1 code, PRN 25 is an older
    // epoch), and the count says four, not the decoder's seven.
    ASSERT_EQ(m.count, 4);
    ASSERT_EQ(m.sats.size(), 4u);
    EXPECT_EQ(m.sats[0].id, 32);   // slot 0 first, written as 32
    EXPECT_EQ(findSat(m, 17), nullptr);
    EXPECT_EQ(len, 6 + (64 + 4 * 125 + 7) / 8);

    struct Ref { int id; double c1, l1, s1, c2, l2, s2; };
    const Ref refs[] = {
        {32, 23456789.984, 123266267.2051, 47.25, 23456792.324, 96051628.7041, 40.0},
        {5, 21000000.120, 110355810.3471, 45.5, 21000003.580, 85991532.9731, 38.75},
        {12, 22500000.510, 118238283.8021, 39.0, 0, 0, 0},
        {20, 20500000.264, 107728906.9971, 42.0, 20500001.264, 83943942.5651, 36.0},
    };
    for (const Ref& r : refs) {
        SCOPED_TRACE(r.id);
        const testdec::LegacySat* s = findSat(m, r.id);
        ASSERT_NE(s, nullptr);
        EXPECT_NEAR(s->code1, r.c1, 0.0006);
        EXPECT_NEAR(s->phase1 / gpsL1, r.l1, 0.002);
        EXPECT_DOUBLE_EQ(s->cnr1, r.s1);
        EXPECT_NEAR(s->code2, r.c2, 0.0006);
        EXPECT_NEAR(s->phase2 / gpsL2, r.l2, 0.002);
        EXPECT_DOUBLE_EQ(s->cnr2, r.s2);
        // And against the record: code within half the 0.02 m step, phase
        // within the 0.5 mm step once whole cycles are set aside.
        const GpsSatObs& o = b.gpsSat[r.id % 32];
        EXPECT_NEAR(s->code1, o.codeRange[0], 0.0101);
        EXPECT_NEAR(cycleResidual(s->phase1, o.phaseRange[0], gpsL1), 0, 0.00026);
        if (r.c2 != 0) {
            EXPECT_NEAR(s->code2, o.codeRange[1], 0.0101);
            EXPECT_NEAR(cycleResidual(s->phase2, o.phaseRange[1], gpsL2), 0, 0.00026);
        }
    }
    // Lock times go out as the legacy indicator of the stored seconds.
    EXPECT_EQ(findSat(m, 5)->lock1, 55);     // 100 s
    EXPECT_EQ(findSat(m, 32)->lock1, 111);   // 600 s
    EXPECT_EQ(findSat(m, 20)->lock1, 124);   // 900 s
}

// A satellite without L2 goes out with the invalid codes, not with numbers a
// rover would take for an L2 observation.
TEST_F(Rtcm31Build, SatelliteWithoutL2CarriesInvalidCodes)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGpsEpoch(b);
    fixtures::fillGloEpoch(b);
    int len = encodeRtcm1004(0, buf);
    testdec::LegacyMsg m = testdec::decodeLegacy(buf, len);
    const testdec::LegacySat* s = findSat(m, 12);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->rawL2Code, -8192);
    EXPECT_EQ(s->rawPhase2, -524288);
    EXPECT_EQ(s->cnr2, 0);

    // A zero L1 phase is invalid too.
    b.gpsSat[12].phaseRange[0] = 0;
    len = encodeRtcm1004(0, buf);
    m = testdec::decodeLegacy(buf, len);
    EXPECT_EQ(findSat(m, 12)->rawPhase1, -524288);
    EXPECT_NEAR(findSat(m, 12)->code1, 22500000.50, 0.011);

    len = encodeRtcm1012(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    m = testdec::decodeLegacy(buf, len);
    const testdec::LegacySat* g = findSat(m, 10);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->rawL2Code, -8192);
    EXPECT_EQ(g->rawPhase2, -524288);
}

TEST_F(Rtcm31Build, Message1012AgainstConvbin)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGloEpoch(b);
    int len = encodeRtcm1012(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::LegacyMsg m = testdec::decodeLegacy(buf, len);
    ASSERT_FALSE(m.overrun);
    EXPECT_EQ(m.number, 1012);
    EXPECT_EQ(m.epoch, fixtures::gloTod);
    ASSERT_EQ(m.count, 3);
    EXPECT_EQ(m.sats[0].id, 24);
    struct Ref { int id, channel; double c1, l1, c2, l2; };
    const Ref refs[] = {
        {24, 9, 21111111.100, 112890585.041, 21111115.100, 87803794.604},
        {1, 8, 19876543.228, 106251544.220, 19876547.628, 82640080.802},
        {10, 0, 22222222.192, 118456994.499, 0, 0},
    };
    for (const Ref& r : refs) {
        SCOPED_TRACE(r.id);
        const testdec::LegacySat* s = findSat(m, r.id);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->channel, r.channel);
        double f1 = 1602.0e6 + (r.channel - 7) * 562500.0, f2 = 1246.0e6 + (r.channel - 7) * 437500.0;
        EXPECT_NEAR(s->code1, r.c1, 0.0006);
        EXPECT_NEAR(s->phase1 / (c0 / f1), r.l1, 0.002);
        EXPECT_NEAR(s->code2, r.c2, 0.0006);
        EXPECT_NEAR(s->phase2 / (c0 / f2), r.l2, 0.002);
    }
    EXPECT_EQ(findSat(m, 24)->codeInd1, 1);

    // Channel rules: 1012 keeps a stored 12 or 13 and replaces an unknown
    // (255) channel from the slot table; 1011 replaces anything above 11.
    b.gloSat[1].freqChannel = 13;
    b.gloSat[10].freqChannel = 255;
    m = testdec::decodeLegacy(buf, encodeRtcm1012(0, buf));
    EXPECT_EQ(findSat(m, 1)->channel, 13);
    EXPECT_EQ(findSat(m, 10)->channel, glonassChannelBySlot[10]);
    for (int slot : {1, 10, 24}) {
        GloSatObs& s = b.gloSat[slot % 24];
        s.l1CodeModulo = 12345.67;
        s.l1PhaseMinusCode = 1.2345;
        s.l2MinusL1Code = 0;
        s.l2PhaseMinusCode = 0;
    }
    len = encodeRtcm1011(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    m = testdec::decodeLegacy(buf, len);
    EXPECT_EQ(m.number, 1011);
    EXPECT_EQ(findSat(m, 1)->channel, glonassChannelBySlot[1]);
    EXPECT_EQ(findSat(m, 24)->channel, 9);
    // Truncated code; the 0.01 m cut off goes into the phase difference.
    EXPECT_NEAR(findSat(m, 1)->code1, 12345.66, 1e-6);
    EXPECT_EQ(findSat(m, 1)->rawPhase1, 2489);
    // Slot 1 has an L2 range, so its zero difference is a real zero; slot 10
    // has none, so it is invalid.
    EXPECT_EQ(findSat(m, 1)->rawL2Code, 0);
    EXPECT_EQ(findSat(m, 10)->rawL2Code, -8192);
    EXPECT_EQ(findSat(m, 10)->rawPhase2, -524288);
}

TEST_F(Rtcm31Build, Message1003FromStoredLegacyParts)
{
    BaseStation& b = baseStation[0];
    b.stationId = 77;
    b.gpsTowMs = 1000;
    GpsSatObs& s = b.gpsSat[7];
    s.epochMs = 1000;
    s.l1CodeModulo = 4567.891;
    s.l1PhaseMinusCode = -0.00074;
    s.l2MinusL1Code = -1.239;
    s.l2PhaseMinusCode = 2.5;
    s.lockTimeS[0] = s.lockTimeS[1] = 937;
    b.gpsSat[8].epochMs = 1000;   // nothing observed: not written
    int len = encodeRtcm1003(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::LegacyMsg m = testdec::decodeLegacy(buf, len);
    EXPECT_EQ(m.number, 1003);
    ASSERT_EQ(m.count, 1);
    EXPECT_EQ(m.sync, 0);
    EXPECT_EQ(m.sats[0].id, 7);
    // 4567.891 goes out as 4567.88; the 0.011 m cut off is added to the
    // differences so the rover's phase and L2 code stay where they were.
    EXPECT_NEAR(m.sats[0].code1, 4567.88, 1e-6);
    EXPECT_EQ(m.sats[0].rawPhase1, 20);
    EXPECT_EQ(m.sats[0].rawL2Code, -61);
    EXPECT_NEAR(m.sats[0].rawPhase2, 5022, 1);
    EXPECT_EQ(m.sats[0].lock1, 127);
    EXPECT_EQ(len, 6 + (64 + 101 + 7) / 8);
}

// The synchronous flag promises another observation message of the epoch.
// A GPS-only base must send 0, or a rover that waits for the flag to clear
// never closes its epochs.
TEST_F(Rtcm31Build, SynchronousFlagFollowsTheSystemsTheBaseDelivers)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGpsEpoch(b);
    fixtures::fillGloEpoch(b);
    uint8_t frame[8] = {0xD3, 0, 2, 0x3E, 0xC0, 0, 0, 0};
    storeKeptMessage(b, kind1004, frame, sizeof frame, clockMs(), true);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1004(0, buf)).sync, 0);
    EXPECT_FALSE(laterObservationsFollow(0, obsGps, true));

    // GLONASS delivered one second ago: GPS is followed, GLONASS is last.
    storeKeptMessage(b, kind1012, frame, sizeof frame, clockMs() - 1000, true);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1004(0, buf)).sync, 1);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1003(0, buf)).sync, 1);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1012(0, buf)).sync, 0);

    // BeiDou as MSM only follows in the MSM stream; as 1104 in both.
    storeKeptMessage(b, kind1124, frame, sizeof frame, clockMs(), true);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1012(0, buf)).sync, 0);
    EXPECT_TRUE(laterObservationsFollow(0, obsGlo, true));
    storeKeptMessage(b, kind1104, frame, sizeof frame, clockMs(), true);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1012(0, buf)).sync, 1);
    EXPECT_FALSE(laterObservationsFollow(0, obsBds, true));

    // Deliveries older than two seconds no longer count.
    BaseStation& old = baseStation[1];
    fixtures::fillGpsEpoch(old);
    storeKeptMessage(old, kind1012, frame, sizeof frame, clockMs() - 2500, true);
    EXPECT_EQ(testdec::decodeLegacy(buf, encodeRtcm1004(1, buf)).sync, 0);
}

// gpsdecode -j on the 1005, 1033 and 1008 built from fixtures::fillStation:
// {"type":1005,"station_id":1234,"system":["GPS","GLONASS"],"refstation":false,
//  "sro":false,"x":3842152.8053,"y":658297.5241,"z":5028542.0357}
// {"type":1033,"station_id":1234,"desc":"TRM59800.00     SCIS","setup_id":3,
//  "serial":"5000118475","receiver":"TRIMBLE NETR9","firmware":"5.45"}
// {"type":1008,"station_id":1234,"desc":"TRM59800.00     SCIS","setup_id":3,"serial":"5000118475"}
TEST_F(Rtcm31Build, StationMessagesAgainstGpsdecode)
{
    BaseStation& b = baseStation[2];
    fixtures::fillStation(b);
    int len = encodeRtcm1005(2, buf);
    ASSERT_EQ(len, 25);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields r(buf, len);
    EXPECT_EQ(r.u(12), 1005u);
    EXPECT_EQ(r.u(12), 1234u);
    EXPECT_EQ(r.u(6), 14u);
    EXPECT_EQ(r.u(4), 0b1100u);
    EXPECT_EQ(r.s(38), 38421528053);
    r.u(2);
    EXPECT_EQ(r.s(38), 6582975241);
    r.u(2);
    EXPECT_EQ(r.s(38), 50285420357);

    len = encodeRtcm1032(2, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields p(buf, len);
    EXPECT_EQ(p.u(12), 1032u);
    EXPECT_EQ(p.u(12), 0u);
    EXPECT_EQ(p.u(12), 1234u);
    EXPECT_EQ(p.u(6), 14u);
    EXPECT_EQ(p.s(38), 38421528053);
    EXPECT_EQ(p.s(38), 6582975241);
    EXPECT_EQ(p.s(38), 50285420357);

    // A point that would not fit 38 bits, or is not a number, stays a number
    // that fits.
    b.ecefX = 1e12;
    b.ecefY = std::nan("");
    len = encodeRtcm1005(2, buf);
    testdec::Fields q(buf, len);
    q.u(12 + 12 + 6 + 4);
    EXPECT_EQ(q.s(38), (int64_t(1) << 37) - 1);
    q.u(2);
    EXPECT_EQ(q.s(38), 0);

    auto text = [](testdec::Fields& f) {
        std::string s(size_t(f.u(8)), ' ');
        for (char& ch : s) ch = char(f.u(8));
        return s;
    };
    len = encodeRtcm1033(2, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields d(buf, len);
    EXPECT_EQ(d.u(12), 1033u);
    EXPECT_EQ(d.u(12), 1234u);
    EXPECT_EQ(text(d), "TRM59800.00     SCIS");
    EXPECT_EQ(d.u(8), 3u);
    EXPECT_EQ(text(d), "5000118475");
    EXPECT_EQ(text(d), "TRIMBLE NETR9");
    EXPECT_EQ(text(d), "5.45");
    EXPECT_EQ(text(d), "5429K00000");
    EXPECT_EQ(bitsRemaining(d.c), 0u);

    len = encodeRtcm1008(2, buf);
    ASSERT_EQ(len, 6 + 3 + 1 + 20 + 1 + 1 + 10);
    testdec::Fields e(buf, len);
    e.u(24);
    EXPECT_EQ(text(e), "TRM59800.00     SCIS");
    EXPECT_EQ(e.u(8), 3u);
    EXPECT_EQ(text(e), "5000118475");

    // Empty strings: count 0 and nothing after it.
    b.antennaDescriptor.clear();
    b.antennaSerial.clear();
    EXPECT_EQ(encodeRtcm1008(2, buf), 6 + 6);
}

// Descriptors of 255 characters (counts that large arrive from bases) go out
// cut to the 31 the field admits, and the frames fit their kept buffers.
TEST_F(Rtcm31Build, DescriptorOf255Characters)
{
    BaseStation& b = baseStation[0];
    const std::string longText(255, 'N');
    b.antennaDescriptor = b.antennaSerial = b.receiverType = b.firmwareVersion = b.receiverSerial = longText;
    for (auto& n : b.descriptorLength) n = 255;
    int len = encodeRtcm1008(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    EXPECT_EQ(len, 6 + 3 + 1 + 31 + 1 + 1 + 31);
    EXPECT_TRUE(storeKeptMessage(b, kind1008, buf, uint32_t(len), clockMs(), false));
    testdec::Fields f(buf, len);
    f.u(24);
    EXPECT_EQ(f.u(8), 31u);

    len = encodeRtcm1033(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    EXPECT_EQ(len, 6 + 3 + 5 * 32 + 1);
    EXPECT_TRUE(storeKeptMessage(b, kind1033, buf, uint32_t(len), clockMs(), false));
}

TEST_F(Rtcm31Build, BuildersKeepThePreviousBuildTime)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGpsEpoch(b);
    b.msg[kind1004].msgStamp = 4711;
    b.msg[kind1005].msgStamp = 815;
    encodeRtcm1004(0, buf);
    encodeRtcm1005(0, buf);
    EXPECT_EQ(b.msg[kind1004].msgPrevRxTime, 4711u);
    EXPECT_EQ(b.msg[kind1005].msgPrevRxTime, 815u);
    // Nothing is read outside the ten base records.
    EXPECT_EQ(encodeRtcm1004(10, buf), 0);
    EXPECT_EQ(encodeRtcm1012(-1, buf), 0);
}

// FKP: the count says how many blocks follow, the gradients come from the
// right arrays (north = latitude arrays, the even ones), and the IODE is the
// one of the broadcast ephemeris the rover will use.
TEST_F(Rtcm31Build, FkpMessagesFromTheGradientBlocks)
{
    static_assert(sizeof(NetGradients::bds[0]) / sizeof(double) == bdsSatEntries);
    static_assert(sizeof(NetGradients::gal[0]) / sizeof(double) == galSatEntries);
    BaseStation& b = baseStation[5];
    fixtures::fillGpsEpoch(b);
    fixtures::fillGloEpoch(b);
    b.gpsSatCount = 9;
    b.netGradient.gps[0][5] = 0.0123;    // ionosphere x latitude  -> NI
    b.netGradient.gps[1][5] = -0.0456;   // ionosphere x longitude -> EI
    b.netGradient.gps[2][5] = 0.0789;    // troposphere x latitude -> -N0
    b.netGradient.gps[3][5] = -0.0101;   // troposphere x longitude -> -E0
    b.netGradient.gps[2][12] = -1e6;     // beyond the 12-bit field: held at its edge
    gpsEphemeris[5].iode = 77;
    gpsEphemeris[0].iode = 12;
    int len = encodeRtcm1034(5, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields f(buf, len);
    EXPECT_EQ(f.u(12), 1034u);
    EXPECT_EQ(f.u(12), 1234u);
    EXPECT_EQ(f.u(20), fixtures::gpsTow / 1000);
    const uint64_t count = f.u(5);
    ASSERT_EQ(count, 5u);   // the five current GPS satellites, PRN 17 included
    EXPECT_EQ(len, 6 + (49 + 5 * 66 + 7) / 8);
    struct Block { int id, iode, n0, e0, ni, ei; };
    std::vector<Block> blocks;
    for (uint64_t i = 0; i < count; ++i) {
        Block k;
        k.id = int(f.u(6));
        k.iode = int(f.u(8));
        k.n0 = int(f.s(12));
        k.e0 = int(f.s(12));
        k.ni = int(f.s(14));
        k.ei = int(f.s(14));
        blocks.push_back(k);
    }
    EXPECT_EQ(blocks[0].id, 32);
    EXPECT_EQ(blocks[0].iode, 12);
    EXPECT_EQ(blocks[1].id, 5);
    EXPECT_EQ(blocks[1].iode, 77);
    // The blocks hold correction gradients, FKP the errors': the
    // troposphere's sign turns (the ionosphere's phase array is already the
    // code error's).
    EXPECT_EQ(blocks[1].n0, -7);
    EXPECT_EQ(blocks[1].e0, 1);
    EXPECT_EQ(blocks[1].ni, 1);
    EXPECT_EQ(blocks[1].ei, -4);
    EXPECT_EQ(blocks[2].id, 12);
    EXPECT_EQ(blocks[2].n0, 2047);

    b.netGradient.glo[0][1] = 0.05;
    gloEphemeris[1].tb = 80;
    len = encodeRtcm1035(5, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields g(buf, len);
    EXPECT_EQ(g.u(12), 1035u);
    g.u(12);
    EXPECT_EQ(g.u(17), fixtures::gloTod / 1000);
    ASSERT_EQ(g.u(5), 3u);
    EXPECT_EQ(g.u(6), 24u);
    g.u(8 + 52);
    EXPECT_EQ(g.u(6), 1u);
    EXPECT_EQ(g.u(8), 80u);
    g.u(24);
    EXPECT_EQ(g.s(14), 5);
}

// MAC: the count field is four bits, so 16 satellites go out as two
// messages (15 + 1), the first with the multiple message indicator set.
TEST_F(Rtcm31Build, SixteenMacSatellitesSplitIntoTwoMessages)
{
    baseStation[0].stationId = 100;
    baseStation[0].gpsTowMs = fixtures::gpsTow;
    baseStation[0].gpsSat[9].slipCount = 3;
    baseStation[4].stationId = 200;
    gpsEphemeris[9].iode = 99;
    Client& c = client[7];
    c.masterBase = 0;
    c.auxBase[1] = 4;
    for (int i = 1; i <= 16; ++i) {
        c.gpsIonoDiff[1][i] = 0.01f * float(i);
        c.gpsGeoDiff[1][i] = -0.002f * float(i);
    }
    std::vector<int> seen;
    int parts = 0;
    for (int part = 0; part < 2; ++part) {
        int len = encodeRtcm1017(7, buf, 2, 0, part, &parts);
        ASSERT_EQ(parts, 2);
        ASSERT_TRUE(testdec::frameOk(buf, len));
        testdec::Fields f(buf, len);
        EXPECT_EQ(f.u(12), 1017u);
        EXPECT_EQ(f.u(8), 1u);
        EXPECT_EQ(f.u(4), 0u);
        EXPECT_EQ(f.u(23), fixtures::gpsTow / 100);
        EXPECT_EQ(f.u(1), part == 0 ? 1u : 0u);
        EXPECT_EQ(f.u(12), 100u);
        EXPECT_EQ(f.u(12), 200u);
        const uint64_t n = f.u(4);
        EXPECT_EQ(n, part == 0 ? 15u : 1u);
        for (uint64_t k = 0; k < n; ++k) {
            int id = int(f.u(6));
            seen.push_back(id);
            EXPECT_EQ(f.u(2), 1u);
            EXPECT_EQ(f.u(3), id == 9 ? 3u : 0u);
            // 0.5 mm units, truncated from 32-bit floats: within one unit.
            EXPECT_NEAR(double(f.s(17)), -4.0 * id, 1.0);
            EXPECT_EQ(f.u(8), id == 9 ? 99u : 0u);
            EXPECT_NEAR(double(f.s(17)), 20.0 * id, 1.0);
        }
        EXPECT_EQ(bitsRemaining(f.c), uint64_t(len - 6) * 8 - (76 + n * 53));
    }
    EXPECT_EQ(seen.size(), 16u);
    EXPECT_EQ(seen.front(), 1);
    EXPECT_EQ(seen.back(), 16);
    EXPECT_EQ(encodeRtcm1017(7, buf, 2, 0, 2, nullptr), 0);
    // The caller's indicator survives on the last part.
    int len = encodeRtcm1017(7, buf, 2, 1, 1, nullptr);
    testdec::Fields last(buf, len);
    last.u(12 + 8 + 4 + 23);
    EXPECT_EQ(last.u(1), 1u);

    // 1015 carries only the ionospheric difference.
    len = encodeRtcm1015(7, buf, 2, 0, 1, nullptr);
    testdec::Fields iono(buf, len);
    iono.u(38);
    iono.u(38);
    EXPECT_EQ(iono.u(6), 16u);
    iono.u(5);
    EXPECT_NEAR(double(iono.s(17)), 320, 1);

    // GLONASS: 20-bit epoch in seconds of the day, IOD from tb, slot 0 as 24.
    baseStation[0].gloEpochMs = fixtures::gloTod;
    gloEphemeris[0].tb = 33;
    c.gloIonoDiff[1][0] = -0.5f;
    c.gloGeoDiff[1][0] = 0.25f;
    len = encodeRtcm1039(7, buf, 2, 0);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::Fields g(buf, len);
    EXPECT_EQ(g.u(12), 1039u);
    g.u(12);
    EXPECT_EQ(g.u(20), fixtures::gloTod / 1000);
    g.u(25);
    EXPECT_EQ(g.u(4), 1u);
    EXPECT_EQ(g.u(6), 24u);
    g.u(5);
    EXPECT_EQ(g.s(17), 500);
    EXPECT_EQ(g.u(8), 33u);
    EXPECT_EQ(g.s(17), -1000);
    len = encodeRtcm1037(7, buf, 2, 0);
    EXPECT_EQ(len, 6 + (73 + 28 + 7) / 8);

    // An auxiliary without differences: header with count 0. No master or
    // no such auxiliary: nothing.
    len = encodeRtcm1017(7, buf, 1 + 2, 0);
    EXPECT_EQ(len, 0);   // auxBase[2] is -1
    c.auxBase[0] = 4;
    len = encodeRtcm1017(7, buf, 1, 0);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    EXPECT_EQ(len, 6 + 10);
    c.masterBase = -1;
    EXPECT_EQ(encodeRtcm1017(7, buf, 2, 0), 0);
}
