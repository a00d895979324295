// Synthetic reference stations: which record a rover gets, how the records
// are kept and freed, and the ionosphere at the node from the four bases'
// values.

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

// The anchor-through-node constructions: a field the same at every base
// stays the same, a field linear in latitude and longitude is met at the
// node, an absent base or a north-south line takes only its own
// constructions out, and nothing degenerate gives a non-finite value.
TEST_F(Erp, IonosphereAtTheNodeFromTheFourBases)
{
    const double lat[4] = {48.5, 48.0, 48.3, 47.7}, lon[4] = {11.3, 11.7, 12.2, 11.1};
    const double nodeLat = 48.25, nodeLon = 11.5;
    const uint32_t epoch = 345600000;
    auto field = [](double la, double lo) { return 2.0 + 0.8 * (la - 48.0) - 0.5 * (lo - 11.5); };
    ErpRecord& r = erp[0];
    r.inUse = 1;
    r.latitude = nodeLat;
    r.longitude = nodeLon;
    r.gpsEpochMs = epoch;
    auto setLine = [](double* l, double la1, double lo1, double la2, double lo2) {
        l[0] = lo2 - lo1;
        l[1] = la1 - la2;
        l[2] = l[0] * la1 + l[1] * lo1;
    };
    const int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    auto place = [&](bool linear) {
        for (int i = 0; i < 4; ++i) {
            placeBase(i, lat[i], lon[i]);
            r.baseIndex[i] = i;
            setLine(r.line[i], lat[i], lon[i], nodeLat, nodeLon);
            GpsSatObs& s = baseStation[i].gpsSat[5];
            s.epochMs = epoch;
            const double v = linear ? field(lat[i], lon[i]) : 1.5;
            for (int f = 0; f < 3; ++f) {
                s.codeDelay[f] = v * (f + 1);
                s.phaseAdvance[f] = -v * (f + 1);
            }
        }
        for (int p = 0; p < 6; ++p)
            setLine(r.line[4 + p], lat[pairs[p][0]], lon[pairs[p][0]], lat[pairs[p][1]],
                    lon[pairs[p][1]]);
        r.gpsSlot[5] = ErpSatSlot{};
        r.gpsSlot[5].epochMs = epoch;
    };

    place(false);
    calcErpGps(0);
    EXPECT_EQ(r.gpsSlot[5].contributors, 0xFFFu);
    EXPECT_NEAR(r.gpsSlot[5].codeResidual[0], 1.5, 1e-9);
    EXPECT_NEAR(r.gpsSlot[5].phaseResidual[1], -3.0, 1e-9);
    EXPECT_FLOAT_EQ(r.gpsSlot[5].codeResidualF[2], 4.5f);
    // First synthesis: the rate is the value over the epoch in ms.
    EXPECT_FLOAT_EQ(r.gpsSlot[5].codeResidualRate[0], 1.5f / float(epoch));
    EXPECT_EQ(r.gpsSlot[6].contributors, 0u);   // no values anywhere: no candidates

    // A field linear in latitude and longitude on one satellite against a
    // constant one on another: between the two, the node gets the field's
    // value there (what all satellites of a base share does not count).
    place(true);
    for (int i = 0; i < 4; ++i) {
        GpsSatObs& s = baseStation[i].gpsSat[7];
        s.epochMs = epoch;
        s.codeDelay[0] = 1.0;
        s.phaseAdvance[0] = -1.0;
    }
    r.gpsSlot[7] = ErpSatSlot{};
    calcErpGps(0);
    // Distances along the pair lines are great-circle km, the rest plane
    // degrees: equal ratios to a part in a thousand over these spans.
    EXPECT_NEAR(r.gpsSlot[5].codeResidual[0] - r.gpsSlot[7].codeResidual[0],
                field(nodeLat, nodeLon) - 1.0, 2e-3);
    EXPECT_NEAR(r.gpsSlot[5].phaseResidual[0] - r.gpsSlot[7].phaseResidual[0],
                -(field(nodeLat, nodeLon) - 1.0), 2e-3);
    // The same surface at the master's own point, from the constructions
    // not anchored on it; the master's observations move by its change.
    EXPECT_EQ(r.gpsSlot[5].masterContributors, 0xFF8u);
    auto shift = [&](int s) { return r.gpsSlot[s].phaseResidual[0] - r.gpsSlot[s].phaseAtMaster[0]; };
    const double change = field(nodeLat, nodeLon) - field(lat[0], lon[0]);
    EXPECT_NEAR(shift(5) - shift(7), -change, 2e-3);

    // Without base 2 (index -1, its lines left as they were) only the three
    // constructions that do not name it are left.
    place(false);
    r.baseIndex[2] = -1;
    calcErpGps(0);
    for (int c = 0; c < 12; ++c) {
        // Constructions naming base 2: anchors 2, and pairs 0-2, 1-2, 2-3.
        const bool names2[12] = {true, true, false, true, false, true,
                                 true, true,  true, false, true, true};
        EXPECT_EQ((r.gpsSlot[5].contributors >> c) & 1u, names2[c] ? 0u : 1u) << c;
    }
    EXPECT_NEAR(r.gpsSlot[5].codeResidual[0], 1.5, 1e-9);

    // A base on the node's meridian (its line has a = 0), a base on the node
    // itself (its anchor line degenerates) and two bases at one place:
    // whatever is left stays finite.
    place(false);
    placeBase(1, nodeLat, nodeLon);
    setLine(r.line[1], nodeLat, nodeLon, nodeLat, nodeLon);
    placeBase(3, lat[2], lon[2]);
    setLine(r.line[2], lat[2], nodeLon, nodeLat, nodeLon);
    calcErpGps(0);
    for (int f = 0; f < 3; ++f) {
        EXPECT_TRUE(std::isfinite(r.gpsSlot[5].codeResidual[f]));
        EXPECT_TRUE(std::isfinite(r.gpsSlot[5].phaseResidual[f]));
    }
}
