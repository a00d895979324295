#include <cmath>
#include <gtest/gtest.h>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "network/nearest_base.h"
#include "platform/console.h"

namespace {

// Kilometres along a meridian per degree of latitude with the caster's
// earth radius and pi.
constexpr double kmPerDegree = 6376.5 * 3.1415926535898 / 180.0;
// Rover position; both values are exact as floats, so narrowing the search
// point changes nothing.
constexpr double roverLat = 48.0, roverLon = 11.0;

class NearestBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        casterSettings.networkRegionRadius = 200;
    }
    // A base `km` north of the rover.
    static void placeBase(int slot, double km, bool trusted = true, bool nct = false)
    {
        BaseStation& b = baseStation[slot];
        b.connected = 1;
        b.trusted = trusted ? 1 : 0;
        b.nctInput = nct ? 1 : 0;
        b.strLatitude = roverLat + km / kmPerDegree;
        b.strLongitude = roverLon;
    }
    static void placeRover(int index, double km = 0)
    {
        client[index].latitude = roverLat + km / kmPerDegree;
        client[index].longitude = roverLon;
    }
};

}   // namespace

TEST(DistanceKm, HaversineWithTheCastersEarthRadius)
{
    EXPECT_EQ(distanceKm(47.3, 8.5, 47.3, 8.5), 0.0);
    EXPECT_DOUBLE_EQ(distanceKm(47.3, 8.5, 52.1, -1.25), distanceKm(52.1, -1.25, 47.3, 8.5));
    // python3: 2*atan2(sqrt(h), sqrt(1-h))*6376.5 with pi = 3.1415926535898
    EXPECT_NEAR(distanceKm(0, 0, 1, 0), 111.290920, 1e-6);
    EXPECT_NEAR(distanceKm(45, 10, 45, 11), 78.694065, 1e-6);
    // Opposite points: half the circumference, not NaN.
    EXPECT_NEAR(distanceKm(0, 0, 0, 180), 3.1415926535898 * 6376.5, 1e-6);
    EXPECT_FALSE(std::isnan(distanceKm(30, 0, -30, 180)));
}

TEST_F(NearestBase, TrustedNearestLowerSlotOnTies)
{
    double d = -1;
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, -1, -1, -1, d), -1);
    EXPECT_EQ(d, 0.0);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), -1);

    placeBase(0, 10);
    placeBase(1, 30);
    placeBase(2, 20);
    placeBase(3, 1, false);   // connected, not trusted yet
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, -1, -1, -1, d), 0);
    EXPECT_NEAR(d, 10.0, 1e-9);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, 0, -1, -1, d), 2);
    EXPECT_NEAR(d, 20.0, 1e-9);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, 0, 2, 0, d), 1);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, 0, 1, 2, d), -1);
    EXPECT_EQ(d, 0.0);

    // Same distance in slots 6 and 4: the lower slot wins.
    placeBase(6, 5);
    placeBase(4, 5);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, -1, -1, -1, d), 4);
    const int none[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(findNearestBaseExcluding(roverLat, roverLon, none), 4);
    const int some[9] = {4, 4, 6, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(findNearestBaseExcluding(roverLat, roverLon, some), 0);

    // Only bases that send NCT themselves count for the NCT search.
    EXPECT_EQ(findNearestBase(roverLat, roverLon), -1);
    placeBase(8, 40, true, true);
    placeBase(9, 35, false, true);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), 8);
}

TEST_F(NearestBase, LimitsAndRegionRadius)
{
    double d = 0;
    placeBase(0, 100.01);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, -1, -1, -1, d), -1);
    EXPECT_EQ(d, 0.0);
    placeBase(0, 99.99);
    EXPECT_EQ(findNearestBase100km(roverLat, roverLon, -1, -1, -1, d), 0);

    const int none[9] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
    // Nearer than the search's starting value of radius + 1, but beyond it.
    placeBase(1, 200.5, true, true);
    placeBase(0, 250);
    EXPECT_EQ(findNearestBaseExcluding(roverLat, roverLon, none), -1);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), -1);
    placeBase(1, 199.99, true, true);
    EXPECT_EQ(findNearestBaseExcluding(roverLat, roverLon, none), 1);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), 1);

    // The radius is read at every search.
    placeBase(1, 150, true, true);
    casterSettings.networkRegionRadius = 100;
    EXPECT_EQ(findNearestBaseExcluding(roverLat, roverLon, none), -1);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), -1);
    casterSettings.networkRegionRadius = 0;
    placeBase(2, 0, true, true);
    EXPECT_EQ(findNearestBase(roverLat, roverLon), 2);
}

TEST_F(NearestBase, RoverKeepsItsMasterUntilAnotherIsClearlyNearer)
{
    Client& c = client[3];
    placeRover(3);
    placeBase(2, 10);
    placeBase(0, 20);
    placeBase(5, 30);
    placeBase(7, 40);
    placeBase(1, 50);
    ASSERT_TRUE(selectNearestBases(3));
    EXPECT_EQ(c.masterBase, 2);
    EXPECT_EQ(c.auxBase[0], 0);
    EXPECT_EQ(c.auxBase[1], 5);
    EXPECT_EQ(c.auxBase[2], 7);
    EXPECT_NEAR(c.nearestDistance, 10.0, 1e-9);

    // Slot 0 moves within 1 % of the master's distance: the master stays;
    // the second nearest is the master itself, so the first auxiliary stays.
    placeBase(0, 9.95);
    ASSERT_TRUE(selectNearestBases(3));
    EXPECT_EQ(c.masterBase, 2);
    EXPECT_EQ(c.auxBase[0], 0);
    EXPECT_NEAR(c.nearestDistance, 9.95, 1e-9);

    // More than 1 % nearer: it takes over, the old master becomes auxiliary.
    placeBase(0, 9.85);
    ASSERT_TRUE(selectNearestBases(3));
    EXPECT_EQ(c.masterBase, 0);
    EXPECT_EQ(c.auxBase[0], 2);
    EXPECT_EQ(c.auxBase[1], 5);

    // A master that is no longer trusted gives way at once.
    placeBase(2, 9.9);
    baseStation[0].trusted = 0;
    ASSERT_TRUE(selectNearestBases(3));
    EXPECT_EQ(c.masterBase, 2);
    EXPECT_EQ(c.auxBase[0], 5);

    // Far from every base: nothing changes but the distance.
    placeRover(3, 500);
    consoleCaptureStart();
    EXPECT_FALSE(selectNearestBases(3));
    EXPECT_EQ(consoleCaptureStop(),
              "DEBUG calc baseline greater than 100 km maximum. Distance = 0\n");
    EXPECT_EQ(c.masterBase, 2);
    EXPECT_EQ(c.auxBase[0], 5);
    EXPECT_EQ(c.nearestDistance, 0.0);
}

TEST_F(NearestBase, SecondNearestStreamTakesTheNearestNctBase)
{
    Client& c = client[0];
    placeRover(0);
    placeBase(0, 5);              // nearer, but sends no NCT
    placeBase(1, 60, true, true);
    EXPECT_TRUE(selectNearestNctBase(0));
    EXPECT_EQ(c.masterBase, 1);
    EXPECT_NEAR(c.nearestDistance, 60.0, 1e-9);

    placeBase(2, 59.9, true, true);   // within 1 %: kept
    EXPECT_TRUE(selectNearestNctBase(0));
    EXPECT_EQ(c.masterBase, 1);
    baseStation[1].nctInput = 0;      // no longer sends NCT: replaced
    EXPECT_TRUE(selectNearestNctBase(0));
    EXPECT_EQ(c.masterBase, 2);

    baseStation[2].trusted = 0;
    EXPECT_FALSE(selectNearestNctBase(0));
    EXPECT_EQ(c.masterBase, 2);
}
