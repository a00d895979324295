// MSM4 builders: masks, splitting at 64 cells, rough range and fine values,
// signal ids, and the rover shift; checked against what convbin reads.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/encode_fixtures.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"
#include "formats/rtcm_test_decode.h"
#include "platform/clock.h"

namespace {

constexpr double c0 = 299792458.0;

class MsmBuild : public ::testing::Test {
protected:
    void SetUp() override { initGlobals(); }
    uint8_t buf[1029] = {};
};

}  // namespace

// convbin -r rtcm3 -o out.obs -od -os -tr 2024/03/13 12:00:00 built.rtcm3 on
// the 1074 built from fixtures::fillGpsEpoch reads (C1C L1C S1C C2W L2W S2W):
//   G05 21000000.112 110355810.3461 45 | 21000003.578 85991532.9721 38
//   G12 22500000.503 118238283.8021 39 |
//   G17                                | 24000000.000 98275992.0791 30
//   G20 20500000.261 107731906.9981 42 | 20500001.262 83946942.5651 36
//   G32 23456789.975 123266267.2051 47 | 23456792.316 96051628.7041 40
TEST_F(MsmBuild, Message1074AgainstConvbin)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGpsEpoch(b);
    int parts = 0;
    int len = encodeRtcm1074Base(0, buf, 0, &parts);
    EXPECT_EQ(parts, 1);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::MsmMsg m = testdec::decodeMsm4(buf, len);
    ASSERT_FALSE(m.overrun);
    EXPECT_LT(m.trailingBits, 8);
    EXPECT_EQ(m.number, 1074);
    EXPECT_EQ(m.station, 1234);
    EXPECT_EQ(m.epoch, fixtures::gpsTow);
    EXPECT_EQ(m.multiple, 0);
    EXPECT_EQ(m.clockSteering, 1);
    EXPECT_EQ(m.sats, (std::vector<int>{5, 12, 17, 20, 32}));
    EXPECT_EQ(m.signals, (std::vector<int>{2, 10}));
    EXPECT_EQ(m.cells.size(), 8u);   // PRN 12 has no L2, PRN 17 no L1

    struct Ref { int prn, sig; double code, cycles; int cnr; };
    const double l1 = c0 / 1575.42e6, l2 = c0 / 1227.60e6;
    const Ref refs[] = {
        {5, 2, 21000000.112, 110355810.3461, 45}, {5, 10, 21000003.578, 85991532.9721, 38},
        {12, 2, 22500000.503, 118238283.8021, 39}, {17, 10, 24000000.000, 98275992.0791, 30},
        {20, 2, 20500000.261, 107731906.9981, 42}, {20, 10, 20500001.262, 83946942.5651, 36},
        {32, 2, 23456789.975, 123266267.2051, 47}, {32, 10, 23456792.316, 96051628.7041, 40},
    };
    for (const Ref& r : refs) {
        SCOPED_TRACE(r.prn * 100 + r.sig);
        const testdec::MsmCell* cell = testdec::findCell(m, r.prn, r.sig);
        ASSERT_NE(cell, nullptr);
        EXPECT_NEAR(cell->code, r.code, 0.0006);
        EXPECT_NEAR(cell->phase / (r.sig == 2 ? l1 : l2), r.cycles, 0.002);
        EXPECT_EQ(cell->cnr, r.cnr);
        // Against the record: within half a step of the fields.
        const GpsSatObs& o = b.gpsSat[r.prn % 32];
        int band = r.sig == 2 ? 0 : 1;
        EXPECT_NEAR(cell->code, o.codeRange[band], 0.0090);
        EXPECT_NEAR(cell->phase, o.phaseRange[band], 0.00028);
    }
    // Lock times in seconds go to the indicator as milliseconds, saturated
    // at 65535 ms: 100 s -> 11, 50 s -> 11, 20 s -> 10.
    EXPECT_EQ(testdec::findCell(m, 5, 2)->lock, 11);
    EXPECT_EQ(testdec::findCell(m, 12, 2)->lock, 11);
    EXPECT_EQ(testdec::findCell(m, 17, 10)->lock, 10);
    b.gpsSat[5].lockTimeS[0] = 5;   // 5999 ms
    b.gpsSat[5].lockTimeS[1] = 0;
    m = testdec::decodeMsm4(buf, encodeRtcm1074Base(0, buf));
    EXPECT_EQ(testdec::findCell(m, 5, 2)->lock, 8);
    EXPECT_EQ(testdec::findCell(m, 5, 10)->lock, 0);
    // An MSM indicator decoded into seconds (its lower bound, 2^(i+4) ms, cut
    // to whole seconds) goes out as the same indicator from 6 (1024 ms) up.
    for (int i = 6; i <= 11; ++i) {
        b.gpsSat[5].lockTimeS[0] = uint16_t((1u << (i + 4)) / 1000);
        m = testdec::decodeMsm4(buf, encodeRtcm1074Base(0, buf));
        EXPECT_EQ(testdec::findCell(m, 5, 2)->lock, i);
    }

    // A zero phase is the invalid code, and a base without satellites gives
    // a message with empty masks.
    b.gpsSat[20].phaseRange[1] = 0;
    m = testdec::decodeMsm4(buf, encodeRtcm1074Base(0, buf));
    EXPECT_EQ(testdec::findCell(m, 20, 10)->rawFinePhase, -2097152);
    EXPECT_NE(testdec::findCell(m, 20, 10)->rawFineCode, -16384);
    b.gpsTowMs += 1000;
    len = encodeRtcm1074Base(0, buf);
    EXPECT_EQ(len, 6 + (169 + 7) / 8);
    m = testdec::decodeMsm4(buf, len);
    EXPECT_TRUE(m.sats.empty());
    EXPECT_TRUE(m.signals.empty());
}

// The rough range is the band-0 range rounded to 1/1024 ms. A band whose
// code is a few metres longer than band 0 then still fits its fine field,
// even when band 0 lies just below the next 1/1024 ms step.
TEST_F(MsmBuild, BandSeveralMetresLongerThanBandZero)
{
    BaseStation& b = baseStation[0];
    b.gpsTowMs = fixtures::gpsTow;
    msmSignalIdGps(b, 0) = 2;
    msmSignalIdGps(b, 1) = 10;
    msmSignalIdGps(b, 2) = 22;
    storeKeptMessage(b, kind1074, buf, 6, clockMs(), true);   // ids recorded from MSM input
    const double step = 299792.458 / 1024;                    // 292.77 m
    const double code0 = (70 * 1024 + 1023 + 0.99) * step;   // 289.8 m above a step
    fixtures::setGps(b, 3, {code0, code0 + 0.4, 40, 100}, {code0 + 5.0, code0 + 4.0, 38, 100});
    // Band 2 400 m longer: beyond any fine field, so it goes out as invalid.
    b.gpsSat[3].codeRange[2] = code0 + 400.0;
    b.gpsSat[3].phaseRange[2] = code0 + 400.0;
    b.gpsSat[3].cn0[2] = 30;
    int len = encodeRtcm1074Base(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::MsmMsg m = testdec::decodeMsm4(buf, len);
    ASSERT_EQ(m.sats.size(), 1u);
    EXPECT_EQ(m.roughInt[0], 71);
    EXPECT_EQ(m.roughMod[0], 0);
    const testdec::MsmCell* l1 = testdec::findCell(m, 3, 2);
    const testdec::MsmCell* l2 = testdec::findCell(m, 3, 10);
    const testdec::MsmCell* l5 = testdec::findCell(m, 3, 22);
    ASSERT_TRUE(l1 && l2 && l5);
    EXPECT_NEAR(l1->code, code0, 0.0090);
    EXPECT_NEAR(l2->code, code0 + 5.0, 0.0090);
    EXPECT_NEAR(l2->phase, code0 + 4.0, 0.00028);
    EXPECT_EQ(l5->rawFineCode, -16384);
    EXPECT_NEAR(l5->phase, code0 + 400.0, 0.00028);   // the phase field reaches 1171 m
}

// 22 BeiDou satellites on three bands are 66 cells: two messages, 21
// satellites (63 cells) and 1, the first with the multiple message bit.
// convbin reads all 22 satellites as one epoch from the two frames, e.g.
// (C2I L2I S2I C7I L7I S7I C6I L6I S6I):
//   C01 21600003.377 112476886.3171 40 21600005.861 86974260.1161 41 21600005.075 91396681.3931 42
//   C21 23600070.770 122891772.5381 40 23600073.272 95027710.7981 41 23600072.468 99859629.5671 42
//   C22 23700074.132 123412516.8491 40 23700076.634 95430383.3341 41 23700075.847 100282776.9761 42
TEST_F(MsmBuild, TwentyTwoBeidouSatellitesOnThreeBandsSplit)
{
    BaseStation& b = baseStation[0];
    fixtures::fillBdsEpoch(b, 22);
    int parts = 0;
    std::set<int> sats;
    std::vector<testdec::MsmMsg> msgs;
    for (int part = 0; part < 2; ++part) {
        int len = encodeRtcm1124Base(0, buf, part, &parts);
        ASSERT_EQ(parts, 2);
        ASSERT_TRUE(testdec::frameOk(buf, len));
        ASSERT_LE(len, 1029);
        testdec::MsmMsg m = testdec::decodeMsm4(buf, len);
        ASSERT_FALSE(m.overrun);
        EXPECT_LE(m.maskCells, 64);
        EXPECT_EQ(m.number, 1124);
        EXPECT_EQ(m.epoch, fixtures::bdsTow);
        EXPECT_EQ(m.signals, (std::vector<int>{2, 8, 14}));
        EXPECT_EQ(m.multiple, part == 0 ? 1 : 0);
        for (int s : m.sats) EXPECT_TRUE(sats.insert(s).second);
        msgs.push_back(m);
    }
    EXPECT_EQ(msgs[0].sats.size(), 21u);
    EXPECT_EQ(msgs[1].sats, (std::vector<int>{22}));
    EXPECT_EQ(sats.size(), 22u);
    EXPECT_EQ(encodeRtcm1124Base(0, buf, 2, &parts), 0);

    const double b1 = c0 / 1561.098e6, b2 = c0 / 1207.14e6, b3 = c0 / 1268.52e6;
    struct Ref { int msg, prn, sig; double code, cycles, wavelength; };
    const Ref refs[] = {
        {0, 1, 2, 21600003.377, 112476886.3171, b1}, {0, 1, 14, 21600005.861, 86974260.1161, b2},
        {0, 1, 8, 21600005.075, 91396681.3931, b3},  {0, 21, 2, 23600070.770, 122891772.5381, b1},
        {1, 22, 2, 23700074.132, 123412516.8491, b1}, {1, 22, 14, 23700076.634, 95430383.3341, b2},
        {1, 22, 8, 23700075.847, 100282776.9761, b3},
    };
    for (const Ref& r : refs) {
        SCOPED_TRACE(r.prn * 100 + r.sig);
        const testdec::MsmCell* cell = testdec::findCell(msgs[size_t(r.msg)], r.prn, r.sig);
        ASSERT_NE(cell, nullptr);
        EXPECT_NEAR(cell->code, r.code, 0.0006);
        EXPECT_NEAR(cell->phase / r.wavelength, r.cycles, 0.002);
    }
    // With GPS as well the GPS message now announces more.
    storeKeptMessage(b, kind1124, buf, 8, clockMs(), true);
    fixtures::fillGpsEpoch(b);
    EXPECT_EQ(testdec::decodeMsm4(buf, encodeRtcm1074Base(0, buf)).multiple, 1);
}

// Legacy GLONASS input records no MSM signal ids; the code indicators give
// them (L1 C/A 2, L1 P 3, L2 C/A 8, L2 P 9), so the 1084 is not empty.
// convbin reads the built 1084 as R01 C1C/C2C, R10 C1C, R24 C1P/C2P
// (phases need the channel from a 1020, which this epoch has not got):
//   R01 19876543.224 44 | C2C 19876547.620 42;  R10 22222222.198 38;
//   R24 C1P 21111111.108 41 | C2P 21111115.093 39
TEST_F(MsmBuild, GlonassFromLegacyInputTakesIdsFromCodeIndicators)
{
    BaseStation& b = baseStation[0];
    fixtures::fillGloEpoch(b);
    int len = encodeRtcm1084Base(0, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::MsmMsg m = testdec::decodeMsm4(buf, len);
    EXPECT_EQ(m.number, 1084);
    EXPECT_EQ(m.epoch, fixtures::gloTod);
    EXPECT_EQ(m.sats, (std::vector<int>{1, 10, 24}));
    EXPECT_EQ(m.signals, (std::vector<int>{2, 3, 8, 9}));
    ASSERT_EQ(m.cells.size(), 5u);
    EXPECT_NEAR(testdec::findCell(m, 1, 2)->code, 19876543.224, 0.0006);
    EXPECT_NEAR(testdec::findCell(m, 1, 8)->code, 19876547.620, 0.0006);
    EXPECT_NEAR(testdec::findCell(m, 10, 2)->code, 22222222.198, 0.0006);
    EXPECT_NEAR(testdec::findCell(m, 24, 3)->code, 21111111.108, 0.0006);
    EXPECT_NEAR(testdec::findCell(m, 24, 9)->code, 21111115.093, 0.0006);
    EXPECT_EQ(testdec::findCell(m, 24, 2), nullptr);

    // After MSM input the recorded ids hold (the code indicators there only
    // mean present).
    msmSignalIdGlo(b, 0) = 2;
    msmSignalIdGlo(b, 1) = 8;
    storeKeptMessage(b, kind1084, buf, uint32_t(len), clockMs(), true);
    m = testdec::decodeMsm4(buf, encodeRtcm1084Base(0, buf));
    EXPECT_EQ(m.signals, (std::vector<int>{2, 8}));

    // GPS from input that records no ids (CMR, NCT): ids left in the slot by
    // an earlier base do not count, the code indicators do.
    BaseStation& g = baseStation[1];
    msmSignalIdGps(g, 0) = 4;
    msmSignalIdGps(g, 1) = 15;
    g.gpsTowMs = fixtures::gpsTow;
    fixtures::setGps(g, 5, {21000000.12, 21000012.4656, 45.5f, 100}, {21000003.58, 21000010.62, 38.75f, 100}, 0, 1);
    m = testdec::decodeMsm4(buf, encodeRtcm1074Base(1, buf));
    EXPECT_EQ(m.signals, (std::vector<int>{2, 9}));
}

// Per rover: at the master's own position the ranges go out unchanged; away
// from it every range moves by the gradient terms.
TEST_F(MsmBuild, RoverShiftFromTheMasterGradients)
{
    BaseStation& b = baseStation[2];
    fixtures::fillGpsEpoch(b);
    b.latitudeRad = 52.38 * 3.1415926535898 / 180;
    b.longitudeRad = 9.72 * 3.1415926535898 / 180;
    b.gpsSat[5].elevation = 30;
    Client& c = client[11];
    c.masterBase = 2;
    c.latitude = 52.38;
    c.longitude = 9.72;
    b.netGradient.gps[4][5] = 2.0;    // code ionosphere x latitude
    b.netGradient.gps[0][5] = -1.0;   // phase ionosphere x latitude
    b.netGradient.gps[2][5] = 0.5;    // troposphere x latitude
    uint8_t base[1029];
    int baseLen = encodeRtcm1074Base(2, base);
    int len = encodeRtcm1074Client(11, buf);
    ASSERT_EQ(len, baseLen);
    EXPECT_EQ(0, std::memcmp(buf, base, size_t(len)));

    c.latitude = 52.38 + 0.01;   // 0.01 degree north
    len = encodeRtcm1074Client(11, buf);
    ASSERT_TRUE(testdec::frameOk(buf, len));
    testdec::MsmMsg m = testdec::decodeMsm4(buf, len);
    double dLat = 0.01 * 3.1415926535898 / 180;
    double f = 1 + 16 * std::pow(0.53 - (30 * 3.1415926535898 / 180) / 3.1415926535898, 3);
    // The troposphere gradient is not applied: the rover models it itself.
    double geo = 0 * 6.37 * 0.5 * dLat;
    const GpsSatObs& o = b.gpsSat[5];
    EXPECT_NEAR(testdec::findCell(m, 5, 2)->code, o.codeRange[0] - (4.963636363636364 * f * 2.0 * dLat + geo), 0.0090);
    EXPECT_NEAR(testdec::findCell(m, 5, 10)->code, o.codeRange[1] - (8.174833333333334 * f * 2.0 * dLat + geo), 0.0090);
    EXPECT_NEAR(testdec::findCell(m, 5, 2)->phase, o.phaseRange[0] - (4.963636363636364 * f * -1.0 * dLat + geo), 0.00028);
    // Satellites without gradients keep their ranges.
    EXPECT_NEAR(testdec::findCell(m, 32, 2)->code, b.gpsSat[0].codeRange[0], 0.0090);

    // GLONASS and Galileo per rover; no master, nothing.
    fixtures::fillGloEpoch(b);
    EXPECT_TRUE(testdec::frameOk(buf, encodeRtcm1084Client(11, buf)));
    b.galTowMs = 5000;
    b.galSat[7].epochMs = 5000;
    b.galSat[7].codeRange[0] = 23000000.0;
    b.galSat[7].phaseRange[0] = 23000000.5;
    len = encodeRtcm1094Client(11, buf);
    m = testdec::decodeMsm4(buf, len);
    EXPECT_EQ(m.number, 1094);
    EXPECT_EQ(m.sats, (std::vector<int>{7}));
    EXPECT_NEAR(testdec::findCell(m, 7, 2)->code, 23000000.0, 0.0090);
    c.masterBase = -1;
    EXPECT_EQ(encodeRtcm1074Client(11, buf), 0);
    EXPECT_EQ(encodeRtcm1074Client(150, buf), 0);
}
