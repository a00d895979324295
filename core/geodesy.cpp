#include "core/geodesy.h"

#include <cmath>
#include <sstream>

#include "core/records.h"
#include "platform/console.h"

void geodeticToEcef(double latDeg, double lonDeg, double heightM, double& x, double& y, double& z) {
    const double lat = latDeg * geo::degToRad;
    const double lon = lonDeg * geo::degToRad;
    const double s = std::sin(lat);
    const double c = std::cos(lat);
    const double n = geo::a / std::sqrt(c * c + geo::oneMinusE2 * s * s);
    x = (n + heightM) * c * std::cos(lon);
    y = (n + heightM) * c * std::sin(lon);
    z = (geo::oneMinusE2 * n + heightM) * s;
}

static bool ecefToGeodeticWith(double x, double y, double z, double e2, double oneMinusE2,
                               double& latRadOut, double& lonRadOut, double& latDegOut,
                               double& lonDegOut, double& heightOut) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return false;
    // A base without a surveyed position sends zeros; that is no position.
    if (x == 0.0 && y == 0.0 && z == 0.0) return false;

    const double p = std::sqrt(x * x + y * y);
    // Plain atan2 rather than the half-angle form 2 atan2(y, x + p), which
    // gives 0 instead of 180 degrees on the negative x axis.
    const double lon = std::atan2(y, x);
    double lat = 0.0;
    double latDeg = 0.0;
    double h = 0.0;

    if (p == 0.0) {
        // On the polar axis the iteration would divide by p; the answer is
        // known: a pole, and the height is the distance beyond it.
        lat = z > 0.0 ? geo::pi / 2.0 : -geo::pi / 2.0;
        latDeg = z > 0.0 ? 90.0 : -90.0;
        h = std::fabs(z) - geo::a * std::sqrt(oneMinusE2);
    } else {
        lat = std::atan2(z, p * oneMinusE2);
        double previousH = 0.0;
        bool converged = false;
        for (int i = 0; i < 500; ++i) {
            const double s = std::sin(lat);
            const double c = std::cos(lat);
            const double w = std::sqrt(1.0 - e2 * s * s);
            const double n = geo::a / w;
            // Equal to p / cos(lat) - N, but without the division that blows
            // up near the poles.
            h = p * c + z * s - geo::a * w;
            lat = std::atan2(z, p * (1.0 - e2 * n / (n + h)));
            if (std::fabs(h - previousH) < 0.0001) {
                converged = true;
                break;
            }
            previousH = h;
        }
        if (!converged) consoleWrite("ERROR calculating Latitude and Height above ellispoid\r\n");
        latDeg = lat * geo::radToDeg;
    }
    if (!std::isfinite(lat) || !std::isfinite(lon) || !std::isfinite(h)) return false;

    latRadOut = lat;
    lonRadOut = lon;
    latDegOut = latDeg;
    lonDegOut = lon * geo::radToDeg;
    heightOut = h;

    if (debugPrint) {
        std::ostringstream text;
        text << "DEBUG Latitude = " << latDegOut << "\n";
        text << "DEBUG Longitude= " << lonDegOut << "\n";
        text << "DEBUG Height   = " << heightOut << "\n";
        consoleWrite(text.str());
    }
    return true;
}

bool ecefToGeodetic(double x, double y, double z, double& latRad, double& lonRad, double& latDeg,
                    double& lonDeg, double& heightM) {
    return ecefToGeodeticWith(x, y, z, geo::e2, geo::oneMinusE2, latRad, lonRad, latDeg, lonDeg,
                              heightM);
}

bool ecefToGeodeticNct(double x, double y, double z, double& latRad, double& lonRad,
                       double& latDeg, double& lonDeg, double& heightM) {
    return ecefToGeodeticWith(x, y, z, geo::e2Nct, geo::oneMinusE2Nct, latRad, lonRad, latDeg,
                              lonDeg, heightM);
}

double earthRadiusAtLat(double latRad) {
    const double c = std::cos(latRad);
    const double s = std::sin(latRad);
    const double num = (geo::aSquared * c) * (geo::aSquared * c) + (geo::bSquared * s) * (geo::bSquared * s);
    const double den = (geo::a * c) * (geo::a * c) + (geo::b * s) * (geo::b * s);
    return std::sqrt(num / den);
}

void latLonBox(double& northDeg, double& southDeg, double& westDeg, double& eastDeg, double latRad,
               double lonRad, double distM) {
    const double r = earthRadiusAtLat(latRad);
    const double dLat = distM / r;
    const double eastWestRadius = std::cos(latRad) * r;
    northDeg = (latRad + dLat) * geo::radToDeg;
    southDeg = (latRad - dLat) * geo::radToDeg;
    if (std::fabs(eastWestRadius) < 1e-6) {
        // At a pole every longitude is within reach.
        westDeg = -180.0;
        eastDeg = 180.0;
        return;
    }
    const double dLon = distM / eastWestRadius;
    westDeg = (lonRad - dLon) * geo::radToDeg;
    eastDeg = (lonRad + dLon) * geo::radToDeg;
}

double distance3d(double x1, double y1, double z1, double x2, double y2, double z2) {
    if (x1 == 0.0 || y1 == 0.0 || z1 == 0.0 || x2 == 0.0 || y2 == 0.0 || z2 == 0.0) return 0.0;
    const double dx = x1 - x2;
    const double dy = y1 - y2;
    const double dz = z1 - z2;
    const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
    return std::isfinite(d) ? d : 0.0;
}

bool solve2x2(double& x, double& y, double a0, double a1, double a2, double b0, double b1,
              double b2) {
    x = 0.0;
    y = 0.0;
    const double det = a0 * b1 - b0 * a1;
    if (det == 0.0) return false;
    const double sx = (b1 * a2 - a1 * b2) / det;
    const double sy = (a0 * b2 - b0 * a2) / det;
    if (!std::isfinite(sx) || !std::isfinite(sy)) return false;
    x = sx;
    y = sy;
    return true;
}
