#pragma once
// WGS-84 geodetic <-> ECEF conversions, earth radius and distance helpers and
// the 2 x 2 solve used by the network corrections. Free functions on doubles.

namespace geo {
// Degrees and radians convert with this value of pi across the toolkit.
constexpr double pi = 3.1415926535898;
constexpr double degToRad = pi / 180.0;
constexpr double radToDeg = 180.0 / pi;

constexpr double a = 6378137.0;
constexpr double b = 6356752.31424518;
constexpr double aSquared = 40680631590769.0;
constexpr double bSquared = 40408299984661.45;
constexpr double e2 = 0.00669437999014132;
constexpr double oneMinusE2 = 0.9933056200098587;
// The NCT receivers' own conversion uses a slightly different eccentricity;
// their positions must come out as the receiver computed them.
constexpr double e2Nct = 0.00669438002301275;
constexpr double oneMinusE2Nct = 0.9933056199769873;
}  // namespace geo

// Latitude and longitude in degrees, ellipsoidal height in metres -> ECEF (m).
void geodeticToEcef(double latDeg, double lonDeg, double heightM, double& x, double& y, double& z);

// ECEF (m) -> latitude and longitude (radians and degrees) and height (m).
// Returns false and writes nothing for the all-zero point (a base that does
// not know its position sends zeros) or for input that is not finite; the
// poles are handled without dividing by zero.
bool ecefToGeodetic(double x, double y, double z, double& latRad, double& lonRad, double& latDeg,
                    double& lonDeg, double& heightM);
// The same with the NCT receivers' eccentricity (NCT station messages only).
bool ecefToGeodeticNct(double x, double y, double z, double& latRad, double& lonRad,
                       double& latDeg, double& lonDeg, double& heightM);

// Geocentric radius (m) of the ellipsoid at a latitude in radians.
double earthRadiusAtLat(double latRad);

// Box of +- distM around a point (latitude, longitude in radians), in degrees.
void latLonBox(double& northDeg, double& southDeg, double& westDeg, double& eastDeg, double latRad,
               double lonRad, double distM);

// Straight-line distance (m); 0 when any coordinate is exactly 0, which the
// callers take as "no position yet".
double distance3d(double x1, double y1, double z1, double x2, double y2, double z2);

// Solves a0 x + a1 y = a2, b0 x + b1 y = b2. A singular (or non-finite)
// system gives x = y = 0 and false.
bool solve2x2(double& x, double& y, double a0, double a1, double a2, double b0, double b1,
              double b2);
