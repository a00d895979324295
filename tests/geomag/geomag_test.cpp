#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "geomag/geomag.h"
#include "support/test_support.h"

namespace {

constexpr double radiusKm = 6371.2;
// WGS-84 semi-axes in km: a point at these heights lies on the model's
// reference sphere.
constexpr double equatorHeightKm = radiusKm - 6378.137;
constexpr double poleHeightKm = radiusKm - 6356.75231424518;
constexpr double pi = std::numbers::pi;

std::string writeFile(const std::string& dir, const std::string& name, const std::string& text) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

const char* nines =
    "999999999999999999999999999999999999999999999999\n"
    "999999999999999999999999999999999999999999999999\n";

double total(double n, double e, double d) { return std::sqrt(n * n + e * e + d * d); }

TEST(Geomag, AxialDipoleGivesAnalyticField) {
    const std::string dir = makeTempDir();
    const std::string path = writeFile(dir, "dipole.cof",
                                       std::string("    2025.0            TEST     01/01/2025\n"
                                                   "  1  0  -30000.0       0.0       10.0        0.0\n") +
                                           nines);
    MagModel model;
    ASSERT_TRUE(readMagModel(path, model));
    EXPECT_EQ(model.maxDegree, 1);
    EXPECT_EQ(model.epoch, 2025.0);

    // On the reference sphere: |g10| horizontal on the equator, twice that
    // vertical at the poles.
    double n, e, d;
    magFieldGeocentric(model, 0.0, 0.3, radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(n, 30000.0, 1e-6);
    EXPECT_NEAR(e, 0.0, 1e-6);
    EXPECT_NEAR(d, 0.0, 1e-6);
    magFieldGeocentric(model, pi / 2, 1.0, radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(d, 60000.0, 1e-6);
    EXPECT_NEAR(n, 0.0, 1e-6);
    magFieldGeocentric(model, -pi / 2, 1.0, radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(d, -60000.0, 1e-6);
    // Falls off with the cube of the radius.
    magFieldGeocentric(model, 0.0, 0.0, 2 * radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(total(n, e, d), 30000.0 / 8, 1e-6);

    // Through the geodetic entry, at heights that put the point on the sphere.
    EXPECT_NEAR(calcMagneticFieldAt(path, 0, 0, equatorHeightKm, 2025.0), 30000.0, 1e-6);
    EXPECT_NEAR(calcMagneticFieldAt(path, 0, 200, equatorHeightKm, 2025.0), 30000.0, 1e-6);
    EXPECT_NEAR(calcMagneticFieldAt(path, 90, 0, poleHeightKm, 2025.0), 60000.0, 1e-5);
    EXPECT_NEAR(calcMagneticFieldAt(path, -90, 45, poleHeightKm, 2025.0), 60000.0, 1e-5);
    // Secular variation: g10 is -29990 a year later.
    EXPECT_NEAR(calcMagneticFieldAt(path, 0, 0, equatorHeightKm, 2026.0), 29990.0, 1e-6);
    EXPECT_NEAR(calcMagneticFieldAt(path, 0, 0, equatorHeightKm, 2024.5), 30005.0, 1e-6);

    // Geodetic latitude 45 is a geocentric latitude a little below it, where
    // the dipole field is |g10| sqrt(1 + 3 sin^2).
    double latGc, r;
    geodeticToGeocentric(45.0, 0.0, latGc, r);
    EXPECT_NEAR(latGc * 180 / pi, 44.8076, 1e-4);
    const double s = std::sin(latGc);
    const double expected = 30000.0 * std::pow(radiusKm / r, 3) * std::sqrt(1 + 3 * s * s);
    EXPECT_NEAR(calcMagneticFieldAt(path, 45, 0, 0.0, 2025.0), expected, 1e-6);
}

TEST(Geomag, EquatorialDipoleStaysFiniteAtThePoles) {
    // g(1,1) alone: a dipole in the equatorial plane along longitude 0, with
    // h(1,1) turning it to longitude 90. Its field on the sphere is |g|
    // horizontal at the poles and at longitude 90 on the equator.
    const std::string dir = makeTempDir();
    const std::string path = writeFile(dir, "tilted.cof",
                                       std::string("2025.0 TEST\n"
                                                   "  1  1   5000.0    0.0   0.0   0.0\n") +
                                           nines);
    MagModel model;
    ASSERT_TRUE(readMagModel(path, model));
    double n, e, d;
    for (double lon : {0.0, 0.7, 2.0, -1.5}) {
        magFieldGeocentric(model, pi / 2, lon, radiusKm, 2025.0, n, e, d);
        EXPECT_NEAR(total(n, e, d), 5000.0, 1e-6) << lon;
        EXPECT_NEAR(d, 0.0, 1e-6);
    }
    magFieldGeocentric(model, 0.0, pi / 2, radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(e, 5000.0, 1e-6);
    EXPECT_NEAR(n, 0.0, 1e-6);
    EXPECT_NEAR(d, 0.0, 1e-6);
    magFieldGeocentric(model, 0.0, 0.0, radiusKm, 2025.0, n, e, d);
    EXPECT_NEAR(d, -10000.0, 1e-6);
    EXPECT_NEAR(calcMagneticFieldAt(path, 90, 10, poleHeightKm, 2025.0), 5000.0, 1e-5);
}

TEST(Geomag, Wmm2025ReferenceValues) {
    // WMM2025 test values, total intensity at height 0 on 2025.0.
    const std::string path = dataPath("WMM.COF");
    MagModel model;
    ASSERT_TRUE(readMagModel(path, model));
    EXPECT_EQ(model.maxDegree, 12);
    EXPECT_EQ(model.epoch, 2025.0);
    EXPECT_NEAR(calcMagneticFieldAt(path, 80, 0, 0, 2025.0), 55178.5, 1.0);
    EXPECT_NEAR(calcMagneticFieldAt(path, 0, 120, 0, 2025.0), 41064.3, 1.0);
    EXPECT_NEAR(calcMagneticFieldAt(path, -80, 240, 0, 2025.0), 54698.2, 1.0);
    // Finite everywhere, poles included.
    for (double lat = -90; lat <= 90; lat += 15)
        for (double lon = -180; lon <= 180; lon += 45) {
            const double f = calcMagneticFieldAt(path, lat, lon, 0.35, 2027.3);
            EXPECT_GT(f, 20000.0) << lat << " " << lon;
            EXPECT_LT(f, 70000.0) << lat << " " << lon;
        }
}

TEST(Geomag, UnreadableFiles) {
    const std::string dir = makeTempDir();
    EXPECT_EQ(calcMagneticFieldAt(dir + "/missing.cof", 10, 10, 0, 2025.0), -1.0);
    EXPECT_EQ(calcMagneticFieldAt(writeFile(dir, "empty.cof", ""), 10, 10, 0, 2025.0), -1.0);
    EXPECT_EQ(calcMagneticFieldAt(writeFile(dir, "header.cof", std::string("2025.0 X\n") + nines), 10, 10, 0, 2025.0), -1.0);
    EXPECT_EQ(calcMagneticFieldAt(writeFile(dir, "bad.cof", "2025.0 X\n 1 0 abc\n"), 10, 10, 0, 2025.0), -1.0);
    EXPECT_EQ(calcMagneticFieldAt(writeFile(dir, "order.cof", "2025.0 X\n 2 3 1 1 1 1\n"), 10, 10, 0, 2025.0), -1.0);
    EXPECT_EQ(calcMagneticFieldAt(writeFile(dir, "deg.cof", "2025.0 X\n 1000 0 1 1 1 1\n"), 10, 10, 0, 2025.0), -1.0);
    // Lines after the 9s are not read.
    const std::string tail = writeFile(dir, "tail.cof", std::string("2025.0 X\n 1 0 -30000 0 0 0\n") + nines + "garbage\n");
    EXPECT_NEAR(calcMagneticFieldAt(tail, 0, 0, equatorHeightKm, 2025.0), 30000.0, 1e-6);
    EXPECT_EQ(calcMagneticFieldAt(tail, std::nan(""), 0, 0, 2025.0), -1.0);
}

TEST(Geomag, PublicFormReadsWorkingDirectory) {
    const auto previous = std::filesystem::current_path();
    const std::string dir = makeTempDir();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(calcMagneticField(40, -105, 350.0), -1.0);
    std::filesystem::copy_file(dataPath("WMM.COF"), dir + "/WMM.COF");
    const double f = calcMagneticField(40, -105, 350.0);
    std::filesystem::current_path(previous);
    EXPECT_GT(f, 30000.0);
    EXPECT_LT(f, 60000.0);
    const double year = currentDecimalYear();
    EXPECT_GT(year, 2024.0);
    EXPECT_LT(year, 2100.0);
}

}  // namespace
