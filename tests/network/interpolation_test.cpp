#include <array>
#include <cmath>
#include <gtest/gtest.h>

#include "core/base_station.h"
#include "core/records.h"
#include "network/interpolation.h"

// Along a meridian great-circle distances are proportional to the latitude
// difference, so the weights there are exact; elsewhere the planar geometry
// and the great-circle weights differ by a few parts in a thousand over a
// degree, which the tolerances allow.

TEST(Interpolation, ByDistanceAlongALine)
{
    // P1 (45, 10) value 2, P2 (47, 10) value 6.
    EXPECT_DOUBLE_EQ(interpolateByDistance(45, 10, 2, 47, 10, 6, 45, 10), 2);
    EXPECT_NEAR(interpolateByDistance(45, 10, 2, 47, 10, 6, 47, 10), 6, 1e-12);
    EXPECT_NEAR(interpolateByDistance(45, 10, 2, 47, 10, 6, 46, 10), 4, 1e-12);
    EXPECT_NEAR(interpolateByDistance(45, 10, 2, 47, 10, 6, 48, 10), 8, 1e-12);
    // Behind P1 the slope goes on (not the mirror point's value, 3).
    EXPECT_NEAR(interpolateByDistance(45, 10, 2, 47, 10, 6, 44.5, 10), 1, 1e-12);
    // Both stations at one place: no slope, P1's value, never NaN.
    EXPECT_EQ(interpolateByDistance(45, 10, 2, 45, 10, 6, 46, 10), 2);
}

TEST(Interpolation, TwoBasesUseTheFootPoint)
{
    // The foot point of (45.25, 10.3) on the meridian baseline is (45.25, 10).
    EXPECT_NEAR(interpolate2Bases(45, 10, 46, 10, 45.25, 10.3, 1, 5), 2, 1e-9);
    EXPECT_NEAR(interpolate2Bases(45, 10, 46, 10, 45.25, 9.1, 1, 5), 2, 1e-9);
    // Beyond B1 the slope goes on.
    EXPECT_NEAR(interpolate2Bases(45, 10, 46, 10, 46.5, 10, 1, 5), 7, 1e-9);
    EXPECT_NEAR(interpolate2Bases(45, 10, 46, 10, 44.5, 10.2, 1, 5), -1, 1e-9);
    // Stations at one place, or a foot point on the meridian 0: the master's value.
    EXPECT_EQ(interpolate2Bases(45, 10, 45, 10, 45.5, 10, 1, 5), 1);
    EXPECT_EQ(interpolate2Bases(45, 0, 46, 0, 45.5, 0.2, 1, 5), 1);
    EXPECT_EQ(interpolate2Bases(45, 10, 46, 10, 45.5, 10, 3, 3), 3);
}

TEST(Interpolation, ThreeAndFourBasesReproduceAPlaneAndSkipDegenerateSides)
{
    auto plane = [](double lat, double lon) { return 3 * lat - 2 * lon + 5; };
    const double b[4][2] = {{45.0, 10.0}, {45.6, 10.1}, {45.5, 10.7}, {44.9, 10.8}};
    double v[4];
    for (int i = 0; i < 4; ++i) v[i] = plane(b[i][0], b[i][1]);
    // From (45.1, 10.2) several lines through R cut a side behind its first
    // station; (45.8, 10.9) lies outside.
    const double targets[3][2] = {{45.3, 10.4}, {45.1, 10.2}, {45.8, 10.9}};
    for (const double* r : targets) {
        double want = plane(r[0], r[1]);
        EXPECT_NEAR(interpolate3Bases(b[0][0], b[0][1], b[1][0], b[1][1], b[2][0], b[2][1], r[0],
                                      r[1], v[0], v[1], v[2]),
                    want, 0.01);
        EXPECT_NEAR(interpolate4Bases(b[0][0], b[0][1], b[1][0], b[1][1], b[2][0], b[2][1],
                                      b[3][0], b[3][1], r[0], r[1], v[0], v[1], v[2], v[3]),
                    want, 0.01);
    }

    // Right triangle B0 (45, 10), B1 (46, 10), B2 (45, 11), values 0, 1, 0,
    // R (45.5, 11): the line from B2 through R runs parallel to side B0-B1,
    // which gives nothing. Side B1-B2 is cut from B0 at 2/3 of the way to R
    // (value 1/3 there, 0.5 at R); side B0-B2 from B1 at (45, 12) (value 0,
    // R halfway: 0.5). Mean of two: 0.5.
    EXPECT_NEAR(interpolate3Bases(45, 10, 46, 10, 45, 11, 45.5, 11, 0, 1, 0), 0.5, 0.01);
    // Every line through R parallel or cutting at a zero coordinate: the
    // master's value.
    EXPECT_EQ(interpolate3Bases(0, 0, 0, 1, 0, 2, 0, 3, 7, 8, 9), 7);
    // All stations on one line: each cut point is a station itself.
    EXPECT_EQ(interpolate3Bases(45, 10, 46, 10, 47, 10, 45.5, 10, 7, 8, 9), 7);

    // Quadrilateral B0 (45, 10), B1 (46, 10), B2 (46, 11), B3 (45, 11.5),
    // values 0, 1, 0, 0, R (45.6, 11). Side B0-B1: B2's line through R is
    // parallel, B3's cuts at (46.8, 10) (value 1.8), R at 1/3: 0.6.
    // Side B1-B2 from B0: cut (46, 11.667), value -2/3, R at 3/5: -0.4.
    // Side B2-B3 from B1: cut (45.5, 11.25), value 0, R at 4/5: 0.2.
    // Side B0-B3 from B1: cut (45, 12.5), value 0, R at 2/5: 0.6.
    // Mean 0.25 (0.133 if the parallel side were dropped).
    EXPECT_NEAR(interpolate4Bases(45, 10, 46, 10, 46, 11, 45, 11.5, 45.6, 11, 0, 1, 0, 0), 0.25,
                0.01);
    // A square with R at its centre: every side's cut is a corner, the
    // estimate the mean of two opposite corners.
    EXPECT_NEAR(interpolate4Bases(45, 10, 46, 10, 46, 11, 45, 11, 45.5, 10.5, 1, 2, 4, 8), 3.75,
                0.01);
    for (double r : {0.0, 1.0})
        EXPECT_TRUE(std::isfinite(
            interpolate4Bases(45, 10, 45, 10, 45, 10, 45, 10, 45 + r, 10, 1, 2, 3, 4)));
}

TEST(Interpolation, AuxBaseQuadrantDropsOnlyTheOppositeQuadrant)
{
    initGlobals();
    auto place = [](int slot, double lat, double lon, bool connected = true) {
        baseStation[slot].latitude = lat;
        baseStation[slot].longitude = lon;
        baseStation[slot].connected = connected ? 1 : 0;
    };
    Client& c = client[3];
    c.masterBase = 0;
    place(0, 45, 10);
    c.latitude = 45.2;   // north-east of the master
    c.longitude = 10.2;
    auto check = [&](uint8_t start = 1) {
        uint8_t u[3] = {start, start, start};
        checkAuxBaseQuadrant(3, u[0], u[1], u[2]);
        return std::array<int, 3>{u[0], u[1], u[2]};
    };

    place(1, 44.8, 9.8);    // south-west: dropped
    place(2, 44.8, 10.0);   // due south: stays
    place(3, 44.8, 10.3);   // south-east: stays
    c.auxBase[0] = 1, c.auxBase[1] = 2, c.auxBase[2] = 3;
    EXPECT_EQ(check(), (std::array<int, 3>{0, 1, 1}));
    EXPECT_EQ(check(0), (std::array<int, 3>{0, 0, 0}));   // never sets a flag

    // Rover south-west: now the north-east base goes.
    c.latitude = 44.9, c.longitude = 9.9;
    place(1, 45.3, 10.4);
    EXPECT_EQ(check(), (std::array<int, 3>{0, 1, 1}));

    // Absent or off-line bases go wherever they are; a rover on the master's
    // meridian counts as west at a positive longitude.
    c.latitude = 45.2, c.longitude = 10.0;
    place(2, 44.8, 10.5);   // south-east: opposite of north-west
    place(3, 45.5, 10.5, false);
    c.auxBase[0] = -1;
    EXPECT_EQ(check(), (std::array<int, 3>{0, 0, 0}));
    // ... and as east at a negative one.
    place(0, 45, -10), place(2, 44.8, -10.5), c.longitude = -10.0;
    EXPECT_EQ(check(), (std::array<int, 3>{0, 0, 0}));
    place(2, 44.8, -9.5);
    EXPECT_EQ(check(), (std::array<int, 3>{0, 1, 0}));
}
