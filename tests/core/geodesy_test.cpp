#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/geodesy.h"
#include "core/records.h"
#include "platform/console.h"

namespace {

struct Geodetic {
    double latRad = -7, lonRad = -7, latDeg = -7, lonDeg = -7, h = -7;
};

bool toGeodetic(double x, double y, double z, Geodetic& g) {
    return ecefToGeodetic(x, y, z, g.latRad, g.lonRad, g.latDeg, g.lonDeg, g.h);
}

TEST(Geodesy, GeodeticToEcefReferencePoints) {
    double x, y, z;
    geodeticToEcef(0, 0, 0, x, y, z);
    EXPECT_DOUBLE_EQ(x, 6378137.0);
    EXPECT_DOUBLE_EQ(y, 0.0);
    EXPECT_DOUBLE_EQ(z, 0.0);

    geodeticToEcef(90, 0, 0, x, y, z);
    EXPECT_NEAR(z, 6356752.314245, 1e-6);
    EXPECT_NEAR(x, 0.0, 1e-6);
    geodeticToEcef(-90, 0, 0, x, y, z);
    EXPECT_NEAR(z, -6356752.314245, 1e-6);
}

TEST(Geodesy, EcefToGeodeticOfRtcm1005Example) {
    // The station of the RTCM 1005 example. Independent values from
    // Heikkinen's closed-form conversion (python3, WGS-84):
    // 38.8047594304 -77.0647735998 114.56114
    Geodetic g;
    ASSERT_TRUE(toGeodetic(1114104.5999, -4850729.7108, 3975521.4643, g));
    EXPECT_NEAR(g.latDeg, 38.80475943, 5e-9);
    EXPECT_NEAR(g.lonDeg, -77.06477360, 5e-9);
    EXPECT_NEAR(g.h, 114.561, 5e-4);
    EXPECT_NEAR(g.latRad * 180.0 / geo::pi, g.latDeg, 1e-12);
    EXPECT_NEAR(g.lonRad * 180.0 / geo::pi, g.lonDeg, 1e-12);

    // The NCT eccentricity differs in the 11th digit: well below a millimetre.
    Geodetic n;
    ASSERT_TRUE(ecefToGeodeticNct(1114104.5999, -4850729.7108, 3975521.4643, n.latRad, n.lonRad,
                                  n.latDeg, n.lonDeg, n.h));
    EXPECT_NEAR(n.latDeg, g.latDeg, 1e-9);
    EXPECT_NEAR(n.h, g.h, 1e-3);
    EXPECT_NE(n.h, g.h);
}

TEST(Geodesy, RoundTripOverGrid) {
    const double lats[] = {-90, -89.99999, -89.9, -75, -45, -15, 0, 0.5, 15, 38.8, 60, 89.9, 89.99999, 90};
    const double heights[] = {-120.0, 0.0, 114.561, 5000.0, 20200000.0};
    for (double lat : lats) {
        for (double lon = -180.0; lon <= 180.0; lon += 22.5) {
            for (double h : heights) {
                double x, y, z;
                geodeticToEcef(lat, lon, h, x, y, z);
                Geodetic g;
                ASSERT_TRUE(toGeodetic(x, y, z, g)) << lat << " " << lon << " " << h;
                ASSERT_TRUE(std::isfinite(g.latDeg) && std::isfinite(g.lonDeg) && std::isfinite(g.h));
                EXPECT_NEAR(g.latDeg, lat, 1e-9) << lat << " " << lon << " " << h;
                EXPECT_NEAR(g.h, h, 1e-4) << lat << " " << lon << " " << h;
                if (std::fabs(lat) < 89.0) {
                    // -180 and +180 are the same meridian.
                    double d = std::remainder(g.lonDeg - lon, 360.0);
                    EXPECT_NEAR(d, 0.0, 1e-9) << lat << " " << lon << " " << h;
                }
            }
        }
    }
}

TEST(Geodesy, EcefToGeodeticEdgePoints) {
    // All zeros is "no position": refused, nothing written.
    Geodetic g;
    EXPECT_FALSE(toGeodetic(0, 0, 0, g));
    EXPECT_EQ(g.latRad, -7);
    EXPECT_EQ(g.lonRad, -7);
    EXPECT_EQ(g.latDeg, -7);
    EXPECT_EQ(g.lonDeg, -7);
    EXPECT_EQ(g.h, -7);
    EXPECT_FALSE(toGeodetic(std::numeric_limits<double>::quiet_NaN(), 1, 1, g));
    EXPECT_FALSE(toGeodetic(1, std::numeric_limits<double>::infinity(), 1, g));
    EXPECT_EQ(g.h, -7);

    // Exactly on the polar axis.
    ASSERT_TRUE(toGeodetic(0, 0, 6356752.31424518 + 10.0, g));
    EXPECT_EQ(g.latDeg, 90.0);
    EXPECT_NEAR(g.h, 10.0, 1e-6);
    EXPECT_EQ(g.lonDeg, 0.0);
    ASSERT_TRUE(toGeodetic(0, 0, -6356752.31424518, g));
    EXPECT_EQ(g.latDeg, -90.0);
    EXPECT_NEAR(g.h, 0.0, 1e-6);
    // A millimetre off the axis: the meridian's radius of curvature at the
    // pole is a^2 / b = 6399593.6258 m.
    ASSERT_TRUE(toGeodetic(0.001, 0, 6356752.31424518 + 10.0, g));
    EXPECT_NEAR(g.latDeg, 90.0 - 0.001 / (6399593.6258 + 10.0) * 180.0 / geo::pi, 1e-12);
    EXPECT_NEAR(g.h, 10.0, 1e-6);

    // The 180-degree meridian on the negative x axis.
    ASSERT_TRUE(toGeodetic(-6378137.0, 0, 0, g));
    EXPECT_NEAR(std::fabs(g.lonDeg), 180.0, 1e-9);
    EXPECT_NEAR(g.latDeg, 0.0, 1e-12);
    EXPECT_NEAR(g.h, 0.0, 1e-6);

    // Points deep inside the earth (garbage from a peer) may not converge,
    // which is reported, but never give NaN.
    const double inside[][3] = {{1, 0, 0}, {0, 0, 1}, {1, 1, 1}, {-3, 2, -40000}, {42000, 0, -1}};
    consoleCaptureStart();
    for (const auto& p : inside) {
        Geodetic q;
        if (toGeodetic(p[0], p[1], p[2], q)) {
            EXPECT_TRUE(std::isfinite(q.latDeg) && std::isfinite(q.lonDeg) && std::isfinite(q.h));
        }
    }
    const std::string out = consoleCaptureStop();
    if (!out.empty()) {
        EXPECT_TRUE(out.starts_with("ERROR calculating Latitude and Height above ellispoid\r\n")) << out;
    }
}

TEST(Geodesy, DebugLines) {
    initGlobals();
    debugPrint = true;
    consoleCaptureStart();
    Geodetic g;
    toGeodetic(1114104.5999, -4850729.7108, 3975521.4643, g);
    std::string out = consoleCaptureStop();
    debugPrint = false;
    EXPECT_EQ(out, "DEBUG Latitude = 38.8048\nDEBUG Longitude= -77.0648\nDEBUG Height   = 114.561\n");
}

TEST(Geodesy, RadiusBoxDistanceSolve) {
    EXPECT_NEAR(earthRadiusAtLat(0.0), 6378137.0, 1e-6);
    EXPECT_NEAR(earthRadiusAtLat(geo::pi / 2), 6356752.31424518, 1e-6);

    double n, s, w, e;
    latLonBox(n, s, w, e, 0.0, 0.0, 111319.49);
    EXPECT_NEAR(n, 1.0, 1e-6);
    EXPECT_NEAR(s, -1.0, 1e-6);
    EXPECT_NEAR(w, -1.0, 1e-6);
    EXPECT_NEAR(e, 1.0, 1e-6);
    latLonBox(n, s, w, e, geo::pi / 2, 0.3, 1000.0);
    EXPECT_EQ(w, -180.0);
    EXPECT_EQ(e, 180.0);

    EXPECT_DOUBLE_EQ(distance3d(1, 1, 1, 4, 5, 1), 5.0);
    EXPECT_EQ(distance3d(0, 1, 1, 4, 5, 1), 0.0);
    EXPECT_EQ(distance3d(1, 1, 1, 4, 5, 0), 0.0);
    EXPECT_EQ(distance3d(1, 1, 1, std::numeric_limits<double>::quiet_NaN(), 5, 1), 0.0);

    double x = 9, y = 9;
    EXPECT_FALSE(solve2x2(x, y, 1, 2, 5, 2, 4, 10));
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
    EXPECT_TRUE(solve2x2(x, y, 1, 1, 3, 1, -1, 1));
    EXPECT_DOUBLE_EQ(x, 2.0);
    EXPECT_DOUBLE_EQ(y, 1.0);
    EXPECT_TRUE(solve2x2(x, y, 2, 0, 3, 0, 4, -2));
    EXPECT_DOUBLE_EQ(x, 1.5);
    EXPECT_DOUBLE_EQ(y, -0.5);
    x = y = 9;
    EXPECT_FALSE(solve2x2(x, y, std::numeric_limits<double>::quiet_NaN(), 1, 3, 1, -1, 1));
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
}

}  // namespace
