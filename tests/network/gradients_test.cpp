#include <cmath>
#include <gtest/gtest.h>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "network/gradients.h"

namespace {

constexpr double pi = 3.1415926535898;
constexpr double k1 = 4.963636363636364;   // the readers' L1 factor, 6.37 x 120/154
constexpr double gpsToL1 = 1.5457277801631601;
constexpr uint32_t epoch = 425000000;
constexpr double masterLat = 47.0 * pi / 180, masterLon = 15.0 * pi / 180;

// Mapping factor of the readers at an elevation in degrees.
double mapping(double elevationDeg)
{
    return 1 + 16 * std::pow(0.53 - elevationDeg * pi / 180 / pi, 3);
}

// A trusted base at (dLat, dLonC) radians from the master (longitude offset
// already times cos(latitude)).
void placeBase(int slot, double dLat, double dLonC)
{
    BaseStation& b = baseStation[slot];
    b.trusted = 1;
    b.connected = 1;
    b.latitudeRad = masterLat + dLat;
    b.longitudeRad = masterLon + dLonC / std::cos(masterLat);
    b.latitude = b.latitudeRad * 180 / pi;
    b.longitude = b.longitudeRad * 180 / pi;
    b.strLatitude = b.latitude;
    b.strLongitude = b.longitude;
    b.gpsTowMs = epoch;
    b.gloEpochMs = epoch;
    b.bdsTowMs = epoch;
}

// A satellite entry whose first-signal ionosphere is iono (m) on code and
// phase, with the second signal's delays from the ratio given.
template <typename Sat>
void setSat(Sat& s, double iono, double tropo, double l2Ratio, uint32_t at = epoch)
{
    s.epochMs = at;
    s.elevation = 50;
    s.codeDelay[0] = iono;
    s.codeDelay[1] = iono * l2Ratio;
    s.phaseAdvance[0] = -iono;
    s.phaseAdvance[1] = -iono * l2Ratio;
    s.tropoDelay = tropo;
    s.levelling.count = 600;   // ten minutes of arc
}

constexpr double gpsL2Ratio = (1575.42 / 1227.6) * (1575.42 / 1227.6);

class Gradients : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        casterSettings.networkRegionRadius = 200;
        placeBase(0, 0, 0);
    }
};

}   // namespace

TEST_F(Gradients, OneAuxiliaryGivesTheSlopeAlongItsDirection)
{
    // The fault this replaces: mean products (metre x radian) instead of
    // slopes. 0.01 rad north, L1 code delay 0.2 m more, L2 0.5 m more,
    // phase advances 0.1 and 0.3 m more, troposphere 0.02 m more: slopes
    // 1.5457 x 0.3 / 0.01, 1.5457 x 0.2 / 0.01 and 2 m/rad.
    placeBase(1, 0.01, 0);
    GpsSatObs& m = baseStation[0].gpsSat[5];
    GpsSatObs& a = baseStation[1].gpsSat[5];
    setSat(m, 3.0, 2.5, 1.6);
    setSat(a, 3.0, 2.52, 1.6);
    a.codeDelay[0] += 0.2, a.codeDelay[1] += 0.5;
    a.phaseAdvance[0] -= 0.1, a.phaseAdvance[1] -= 0.3;
    ASSERT_TRUE(calcNetCorrGPS(0));
    const auto& g = baseStation[0].netGradient.gps;
    const double f = mapping(50);
    EXPECT_NEAR(g[0][5], gpsToL1 * 0.2 / 0.01 / (k1 * f), 1e-9);
    EXPECT_NEAR(g[2][5], -2.0 / 6.37, 1e-9);
    EXPECT_NEAR(g[4][5], -gpsToL1 * 0.3 / 0.01 / (k1 * f), 1e-9);
    EXPECT_EQ(g[1][5], 0.0);
    EXPECT_EQ(g[3][5], 0.0);
    EXPECT_EQ(g[5][5], 0.0);
    // Only slot 5 had data anywhere.
    EXPECT_EQ(g[4][6], 0.0);
}

TEST_F(Gradients, PlaneFitMovesTheMastersObservationsToTheRover)
{
    // A linear field: L1 ionosphere grows 3 m/rad northwards and 1 m/rad
    // eastwards (about 4.7 and 1.6 cm per 100 km), troposphere 0.5 and
    // -0.8 m/rad. Four auxiliary bases around the master, plus one that
    // holds no estimate, one whose entry is a minute old and one with a
    // non-finite delay: those three must not take part.
    auto iono = [](double n, double e) { return 4.0 + 3.0 * n + 1.0 * e; };
    auto tropo = [](double n, double e) { return 2.4 + 0.5 * n - 0.8 * e; };
    const double where[7][2] = {{0.008, 0.002},  {-0.006, 0.009}, {0.001, -0.01},
                                {-0.007, -0.004}, {0.004, 0.004},  {-0.003, 0.006},
                                {0.005, -0.005}};
    setSat(baseStation[0].gpsSat[0], iono(0, 0), tropo(0, 0), gpsL2Ratio);
    for (int k = 0; k < 7; ++k) {
        placeBase(k + 1, where[k][0], where[k][1]);
        setSat(baseStation[k + 1].gpsSat[0], iono(where[k][0], where[k][1]),
               tropo(where[k][0], where[k][1]), gpsL2Ratio);
    }
    baseStation[5].gpsSat[0].codeDelay[0] = 0;
    baseStation[6].gpsSat[0].epochMs = epoch - 60000;
    baseStation[7].gpsSat[0].tropoDelay = NAN;
    for (int k = 5; k <= 7; ++k) baseStation[k].gpsSat[0].phaseAdvance[1] -= 1.0;
    ASSERT_TRUE(calcNetCorrGPS(0));
    const auto& g = baseStation[0].netGradient.gps;

    // What the per-rover shift does with them, for a rover 0.003 rad north
    // and 0.005 rad east: it must land on the field's values there.
    const double n = 0.003, e = 0.005, f = mapping(50);
    const double geo = 6.37 * (g[2][0] * n + g[3][0] * e);
    const double codeL1 = -(k1 * f * (g[4][0] * n + g[5][0] * e) + geo);
    const double phaseL1 = -(k1 * f * (g[0][0] * n + g[1][0] * e) + geo);
    const double codeL2 = -(k1 * gpsL2Ratio * f * (g[4][0] * n + g[5][0] * e) + geo);
    const double dIono = iono(n, e) - iono(0, 0), dTropo = tropo(n, e) - tropo(0, 0);
    EXPECT_NEAR(codeL1, dIono + dTropo, 1e-9);
    EXPECT_NEAR(phaseL1, -dIono + dTropo, 1e-9);
    EXPECT_NEAR(codeL2, gpsL2Ratio * dIono + dTropo, 1e-9);
    for (int a = 0; a < 6; ++a) EXPECT_TRUE(std::isfinite(g[a][0]));
}

TEST_F(Gradients, CollinearAuxiliariesFitOnlyAlongTheirLine)
{
    // Two bases due north and south of the master: the east slope cannot be
    // seen and stays 0, the north one is fitted.
    placeBase(1, 0.01, 0);
    placeBase(2, -0.02, 0);
    setSat(baseStation[0].gpsSat[9], 4.0, 2.0, gpsL2Ratio);
    setSat(baseStation[1].gpsSat[9], 4.0 + 0.05, 2.0, gpsL2Ratio);
    setSat(baseStation[2].gpsSat[9], 4.0 - 0.1, 2.0, gpsL2Ratio);
    ASSERT_TRUE(calcNetCorrGPS(0));
    const auto& g = baseStation[0].netGradient.gps;
    EXPECT_NEAR(g[4][9], -5.0 / (k1 * mapping(50)), 1e-9);
    EXPECT_NEAR(g[5][9], 0.0, 1e-12);
    EXPECT_NEAR(g[2][9], 0.0, 1e-12);

    // A diagonal line: the slope lies along it, split between north and east.
    placeBase(1, 0.01, 0.01);
    placeBase(2, -0.01, -0.01);
    setSat(baseStation[1].gpsSat[9], 4.0 + 0.02, 2.0, gpsL2Ratio);
    setSat(baseStation[2].gpsSat[9], 4.0 - 0.02, 2.0, gpsL2Ratio);
    ASSERT_TRUE(calcNetCorrGPS(0));
    EXPECT_NEAR(g[4][9], -1.0 / (k1 * mapping(50)), 1e-9);
    EXPECT_NEAR(g[5][9], -1.0 / (k1 * mapping(50)), 1e-9);
}

TEST_F(Gradients, KeepsValuesWithoutSamplesAndUsesEachSystemsFrequencies)
{
    auto& block = baseStation[0].netGradient;
    block.gps[0][3] = 0.7;
    block.glo[4][3] = 0.7;
    // No auxiliary base at all: false, nothing touched.
    EXPECT_FALSE(calcNetCorrGPS(0));
    EXPECT_FALSE(calcNetCorrGLO(0));
    EXPECT_EQ(block.gps[0][3], 0.7);

    // An auxiliary base, but the master holds no estimate of the satellite.
    placeBase(1, 0.01, 0);
    setSat(baseStation[1].gpsSat[3], 4.0, 2.0, gpsL2Ratio);
    EXPECT_TRUE(calcNetCorrGPS(0));
    EXPECT_EQ(block.gps[0][3], 0.7);

    // GLONASS (L1/L2 = 9/7 on every channel) and BeiDou (B1/B2) satellites
    // carrying the same first-signal ionosphere difference give the same
    // slopes; the BeiDou one lands in its own block, slot 50 included.
    const double glo = (9.0 / 7) * (9.0 / 7), bds = (1561.098 / 1207.14) * (1561.098 / 1207.14);
    setSat(baseStation[0].gloSat[3], 4.0, 2.0, glo);
    setSat(baseStation[1].gloSat[3], 4.1, 2.0, glo);
    setSat(baseStation[0].bdsSat[50], 4.0, 2.0, bds);
    setSat(baseStation[1].bdsSat[50], 4.1, 2.0, bds);
    EXPECT_TRUE(calcNetCorrGLO(0));
    EXPECT_TRUE(calcNetCorrBDS(0));
    EXPECT_NEAR(block.glo[4][3], -10.0 / (k1 * mapping(50)), 1e-9);
    EXPECT_NEAR(block.bds[4][50], -10.0 / (4.925688073394495 * mapping(50)), 1e-9);
    EXPECT_EQ(block.gps[4][3], 0.0);
}
