// Synthetic reference stations: which record a rover gets, how the records
// are kept and freed, and the ionosphere at the node from the bases' values.

#include <gtest/gtest.h>

#include <cmath>

#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/records.h"
#include "network/erp_choice.h"
#include "network/erp_synthesis.h"
#include "network/erp_upkeep.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

constexpr time_t pinned = 1796565012;

class Erp : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        setWallTimeOverride(pinned);
        consoleCaptureStart();
    }
    void TearDown() override
    {
        consoleCaptureStop();
        setWallTimeOverride(0);
    }
    static void placeBase(int slot, double lat, double lon)
    {
        BaseStation& b = baseStation[slot];
        b.connected = 1;
        b.trusted = 1;
        b.strLatitude = b.latitude = lat;
        b.strLongitude = b.longitude = lon;
    }
    static int roverAt(int index, double lat, double lon, int master)
    {
        Client& c = client[index];
        c.streamCode = 50;
        c.latitude = lat;
        c.longitude = lon;
        c.masterBase = master;
        chooseErpRecord(index);
        return c.erpIndex;
    }
};

}   // namespace

// The grid around the master's rounded position, its nearest node, the
// record shared by rovers of one node, and the 100 km limit.
TEST_F(Erp, NearestGridNodeAndSharedRecords)
{
    EXPECT_EQ(roundToQuarterDegree(48.125), 48.0);     // halfway: the smaller magnitude
    EXPECT_EQ(roundToQuarterDegree(-48.125), -48.0);
    EXPECT_EQ(roundToQuarterDegree(11.7), 11.75);
    EXPECT_EQ(roundToQuarterDegree(-11.9), -12.0);
    EXPECT_EQ(roundToQuarterDegree(0.0), 0.0);

    placeBase(0, 48.0, 11.7);
    const int e = roverAt(0, 48.13, 11.58, 0);
    ASSERT_EQ(e, 0);
    const ErpRecord& r = erp[0];
    EXPECT_TRUE(r.inUse);
    EXPECT_EQ(r.latitude, 48.25);
    EXPECT_EQ(r.longitude, 11.5);
    EXPECT_EQ(r.height, 100.0);
    EXPECT_EQ(r.lastUsedTime, pinned);
    double x, y, z;
    geodeticToEcef(48.25, 11.5, 100.0, x, y, z);
    EXPECT_EQ(r.ecefX, x);
    EXPECT_EQ(r.ecefY, y);
    EXPECT_EQ(r.ecefZ, z);

    // A second rover near the same node shares the record; one nearer
    // another node gets the next record.
    EXPECT_EQ(roverAt(1, 48.2, 11.55, 0), 0);
    EXPECT_EQ(roverAt(2, 47.76, 12.2, 0), 1);
    EXPECT_EQ(erp[1].latitude, 47.75);
    EXPECT_EQ(erp[1].longitude, 12.25);

    // Beyond 100 km of every node: no record.
    EXPECT_EQ(roverAt(3, 50.0, 11.7, 0), -1);
}

// With every record placed at another node, the rover gets none and the
// console says why once; a freed record is taken again.
TEST_F(Erp, AllRecordsInUseSaidOnce)
{
    placeBase(0, 48.0, 11.7);
    for (int i = 0; i < maxErpRecords; ++i) {
        erp[i].latitude = 10.0 + i;
        erp[i].longitude = 10.0;
        erp[i].inUse = 1;
    }
    consoleCaptureStop();
    consoleCaptureStart();
    EXPECT_EQ(roverAt(0, 48.13, 11.58, 0), -1);
    EXPECT_EQ(roverAt(1, 48.13, 11.58, 0), -1);
    std::string log = consoleCaptureStop();
    consoleCaptureStart();
    EXPECT_EQ(log, "all 10 ERP records are in use, rover gets no ERP data\n");
    releaseErpRecord(erp[7]);
    EXPECT_FALSE(erp[7].inUse);
    EXPECT_EQ(roverAt(0, 48.13, 11.58, 0), 7);
}

// The upkeep keeps each record's four nearest bases and their lines, frees
// a record 600 s after its last use or when no base is near, and recounts.
TEST_F(Erp, UpkeepKeepsBasesAndFreesIdleRecords)
{
    placeBase(0, 48.0, 11.7);
    placeBase(1, 48.5, 11.3);
    placeBase(2, 47.7, 11.1);
    placeBase(3, 48.3, 12.2);
    placeBase(4, 47.4, 12.4);
    ASSERT_EQ(roverAt(0, 48.13, 11.58, 0), 0);   // node 48.25, 11.5
    ASSERT_EQ(roverAt(1, 47.76, 12.2, 0), 1);    // node 47.75, 12.25
    updateErpRecords(clockMs());
    EXPECT_EQ(erpCount.load(), 2);
    const ErpRecord& r = erp[0];
    EXPECT_EQ(r.baseIndex[0], 1);   // 48.5, 11.3 is the nearest to 48.25, 11.5
    EXPECT_EQ(r.baseIndex[1], 0);
    EXPECT_EQ(r.baseIndex[2], 3);
    EXPECT_EQ(r.baseIndex[3], 2);
    // Line 0 through base 1 and the node, line 4 through bases 1 and 0:
    // both points on each.
    for (auto [line, lat, lon] : {std::tuple{0, 48.5, 11.3}, {0, 48.25, 11.5}, {4, 48.5, 11.3},
                                  {4, 48.0, 11.7}})
        EXPECT_NEAR(r.line[line][0] * lat + r.line[line][1] * lon, r.line[line][2], 1e-9);

    // Record 1 is used again; record 0 is not and goes after 600 s.
    setWallTimeOverride(pinned + 601);
    erp[1].lastUsedTime = pinned + 600;
    updateErpRecords(clockMs());
    EXPECT_FALSE(erp[0].inUse);
    EXPECT_TRUE(erp[1].inUse);
    EXPECT_EQ(erpCount.load(), 1);
    // Without a base within 100 km the record goes too.
    for (int i = 0; i < 5; ++i) baseStation[i].trusted = 0;
    updateErpRecords(clockMs());
    EXPECT_FALSE(erp[1].inUse);
    EXPECT_EQ(erpCount.load(), 0);
}

// The ionosphere at the node from a plane over every base within 100 km,
// each weighted by its level's standard error: a field the same at every
// base stays the same, a field linear in latitude and longitude is met at
// the node and at the master, a base beyond 100 km or with a young level
// takes no part, a poorly levelled base hardly moves the plane, and the
// difference's standard error follows the levels' and is unknown where the
// bases that have the satellite stand on one line.
TEST_F(Erp, IonosphereAtTheNodeFromAPlaneOverTheBasesInReach)
{
    const double lat[5] = {48.5, 48.0, 48.3, 47.7, 49.5}, lon[5] = {11.3, 11.7, 12.2, 11.1, 11.5};
    const double nodeLat = 48.25, nodeLon = 11.5;
    const uint32_t epoch = 345600000;
    auto field = [](double la, double lo) { return 2.0 + 0.8 * (la - 48.0) - 0.5 * (lo - 11.5); };
    ErpRecord& r = erp[0];
    r.inUse = 1;
    r.latitude = nodeLat;
    r.longitude = nodeLon;
    r.gpsEpochMs = epoch;
    r.baseIndex[0] = 0;   // the master, 31 km from the node; base 4 is 139 km away
    // A satellite's values at a base: the first signal's delay v (the other
    // signals' scaled), levelled over `count` samples to the standard error
    // `sigma` (m of the geometry-free combination).
    auto set = [&](int base, int sat, double v, double sigma, uint32_t count = 600) {
        GpsSatObs& s = baseStation[base].gpsSat[sat];
        s.epochMs = epoch;
        for (int f = 0; f < 3; ++f) {
            s.codeDelay[f] = v * (f + 1);
            s.phaseAdvance[f] = -v * (f + 1);
        }
        s.levelling.count = count;
        s.levelling.sum = 0;
        s.levelling.sumSquares = sigma * sigma * count * (count - 1.0);
    };
    for (int i = 0; i < 5; ++i) {
        placeBase(i, lat[i], lon[i]);
        set(i, 5, 1.5, 0.01);
        set(i, 7, 1.0, 0.01);
    }
    set(4, 5, 50.0, 0.01);   // beyond reach
    r.gpsSlot[5].epochMs = epoch;
    calcErpGps(0);
    const ErpSatSlot& s5 = r.gpsSlot[5];
    EXPECT_EQ(s5.contributors, 0xFu);
    EXPECT_EQ(s5.ionoBases, 4);
    EXPECT_NEAR(s5.codeResidual[0], 1.5, 1e-9);
    EXPECT_NEAR(s5.phaseResidual[1], -3.0, 1e-9);
    EXPECT_NEAR(s5.phaseAtMaster[0], -1.5, 1e-9);
    EXPECT_FLOAT_EQ(s5.codeResidualF[2], 4.5f);
    // First synthesis: the rate is the value over the epoch in ms.
    EXPECT_FLOAT_EQ(s5.codeResidualRate[0], 1.5f / float(epoch));
    EXPECT_EQ(r.gpsSlot[6].contributors, 0u);   // no values anywhere
    EXPECT_FALSE(std::isfinite(r.gpsSlot[6].phaseError));
    const double error = r.gpsSlot[7].phaseError;
    EXPECT_GT(error, 0.001);
    EXPECT_LT(error, 0.02);

    // A field linear in latitude and longitude on one satellite against
    // the constant one: the node and the master get the field's values
    // there (what all satellites of a base share does not count).
    for (int i = 0; i < 5; ++i) set(i, 9, field(lat[i], lon[i]), 0.01);
    auto shift = [&](int s) { return r.gpsSlot[s].phaseResidual[0] - r.gpsSlot[s].phaseAtMaster[0]; };
    const double change = field(nodeLat, nodeLon) - field(lat[0], lon[0]);
    calcErpGps(0);
    EXPECT_NEAR(r.gpsSlot[9].codeResidual[0] - r.gpsSlot[7].codeResidual[0],
                field(nodeLat, nodeLon) - 1.0, 1e-9);
    EXPECT_NEAR(shift(9) - shift(7), -change, 1e-9);

    // A young level (nine samples) takes no part.
    set(3, 11, 80.0, 0.01, 9);
    for (int i = 0; i < 3; ++i) set(i, 11, 1.0, 0.01);
    calcErpGps(0);
    EXPECT_EQ(r.gpsSlot[11].contributors, 0x7u);

    // Every level of a satellite twice as uncertain: twice the error. A
    // base whose level is a hundred times worse than the others' moves the
    // plane by a few millimetres at most when its value is a metre off.
    for (int i = 0; i < 4; ++i) set(i, 7, 1.0, 0.02);
    set(2, 9, field(lat[2], lon[2]), 1.0);
    calcErpGps(0);
    EXPECT_NEAR(r.gpsSlot[7].phaseError, 2 * error, 1e-9);
    const double poorlyLevelled = shift(9);
    set(2, 9, field(lat[2], lon[2]) + 1.0, 1.0);
    calcErpGps(0);
    EXPECT_NEAR(shift(9), poorlyLevelled, 0.005);

    // Seen by two bases only, where four are in reach: the plane is not
    // known across their line, nor the difference's error.
    for (int i = 2; i < 4; ++i) baseStation[i].gpsSat[5] = GpsSatObs{};
    set(2, 9, field(lat[2], lon[2]), 0.01);
    calcErpGps(0);
    EXPECT_EQ(r.gpsSlot[5].ionoBases, 2);
    EXPECT_FALSE(std::isfinite(r.gpsSlot[5].phaseError));
    EXPECT_TRUE(std::isfinite(r.gpsSlot[5].phaseResidual[0]));

    // With only the master in reach there is no difference to take.
    for (int i = 1; i < 5; ++i) baseStation[i].trusted = 0;
    calcErpGps(0);
    EXPECT_EQ(r.gpsSlot[7].ionoBases, 1);
    EXPECT_EQ(r.gpsSlot[7].phaseError, 0.0);
    EXPECT_NEAR(shift(7), 0.0, 1e-12);
}
