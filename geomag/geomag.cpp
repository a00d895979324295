#include "geomag/geomag.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <numbers>

namespace {

// Reference radius of the model's harmonic expansion (km).
constexpr double referenceRadiusKm = 6371.2;
// WGS-84, in km, as the model is defined on it.
constexpr double wgs84AKm = 6378.137;
constexpr double wgs84F = 1.0 / 298.257223563;
constexpr double wgs84E2 = wgs84F * (2.0 - wgs84F);
// The high-resolution model goes to degree 133; anything beyond is not a
// coefficient file we understand.
constexpr int maxSupportedDegree = 133;

constexpr double degToRad = std::numbers::pi / 180.0;

int coefIndex(int n, int m) { return n * (n + 1) / 2 + m; }

bool isLineOfNines(const std::string& line) {
    size_t i = line.find_first_not_of(" \t");
    return i != std::string::npos && line.compare(i, 4, "9999") == 0;
}

bool isBlank(const std::string& line) {
    return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

bool readMagModel(const std::string& path, MagModel& model) {
    std::ifstream in(path);
    if (!in) return false;

    std::string line;
    bool haveHeader = false;
    while (std::getline(in, line)) {
        if (isBlank(line)) continue;
        char* end = nullptr;
        const double epoch = std::strtod(line.c_str(), &end);
        if (end == line.c_str() || !std::isfinite(epoch)) return false;
        model = MagModel{};
        model.epoch = epoch;
        haveHeader = true;
        break;
    }
    if (!haveHeader) return false;

    const size_t size = static_cast<size_t>(coefIndex(maxSupportedDegree, maxSupportedDegree)) + 1;
    model.g.assign(size, 0.0);
    model.h.assign(size, 0.0);
    model.gDot.assign(size, 0.0);
    model.hDot.assign(size, 0.0);

    int count = 0;
    while (std::getline(in, line)) {
        if (isLineOfNines(line)) break;
        if (isBlank(line)) continue;
        int n = 0, m = 0;
        double g = 0, h = 0, gDot = 0, hDot = 0;
        if (std::sscanf(line.c_str(), "%d %d %lf %lf %lf %lf", &n, &m, &g, &h, &gDot, &hDot) != 6)
            return false;
        if (n < 1 || n > maxSupportedDegree || m < 0 || m > n) return false;
        if (!std::isfinite(g) || !std::isfinite(h) || !std::isfinite(gDot) || !std::isfinite(hDot))
            return false;
        const int k = coefIndex(n, m);
        model.g[k] = g;
        model.h[k] = h;
        model.gDot[k] = gDot;
        model.hDot[k] = hDot;
        if (n > model.maxDegree) model.maxDegree = n;
        ++count;
    }
    if (count == 0) return false;
    const size_t used = static_cast<size_t>(coefIndex(model.maxDegree, model.maxDegree)) + 1;
    model.g.resize(used);
    model.h.resize(used);
    model.gDot.resize(used);
    model.hDot.resize(used);
    return true;
}

void geodeticToGeocentric(double latDeg, double heightKm, double& geocentricLatRad,
                          double& radiusKm) {
    const double lat = latDeg * degToRad;
    const double s = std::sin(lat);
    const double c = std::cos(lat);
    const double rc = wgs84AKm / std::sqrt(1.0 - wgs84E2 * s * s);
    const double xp = (rc + heightKm) * c;
    const double zp = (rc * (1.0 - wgs84E2) + heightKm) * s;
    radiusKm = std::sqrt(xp * xp + zp * zp);
    geocentricLatRad = std::atan2(zp, xp);
}

void magFieldGeocentric(const MagModel& model, double geocentricLatRad, double lonRad,
                        double radiusKm, double decimalYear, double& north, double& east,
                        double& down) {
    north = east = down = 0.0;
    const int maxN = model.maxDegree;
    const double x = std::sin(geocentricLatRad);
    const double c = std::cos(geocentricLatRad);
    const double ratio = referenceRadiusKm / radiusKm;
    const double dt = decimalYear - model.epoch;

    // The associated Legendre functions carry a factor cos^m(lat); the
    // recursion runs on Q = P / cos^m, a polynomial in sin(lat), so that the
    // east component's P / cos(lat) and the derivative need no division and
    // stay finite at the poles.
    std::vector<double> ratioPow(static_cast<size_t>(maxN) + 3);
    ratioPow[0] = 1.0;
    for (size_t i = 1; i < ratioPow.size(); ++i) ratioPow[i] = ratioPow[i - 1] * ratio;

    double qmm = 1.0;       // Q(m, m)
    double cPowM1 = 0.0;    // cos^(m-1), used from m = 1 on
    double cPowM = 1.0;     // cos^m
    for (int m = 0; m <= maxN; ++m) {
        if (m == 1) {
            cPowM1 = 1.0;
            cPowM = c;
        } else if (m >= 2) {
            qmm *= std::sqrt((2.0 * m - 1.0) / (2.0 * m));
            cPowM1 = cPowM;
            cPowM *= c;
        }
        const double cosML = std::cos(m * lonRad);
        const double sinML = std::sin(m * lonRad);

        double q = qmm, dq = 0.0;           // Q(n, m) and dQ/dx at n
        double qPrev = 0.0, dqPrev = 0.0;   // at n - 1
        for (int n = m; n <= maxN; ++n) {
            if (n > m) {
                const double k1 = 2.0 * n - 1.0;
                const double k2 = std::sqrt(double((n - 1) * (n - 1) - m * m));
                const double k3 = std::sqrt(double(n * n - m * m));
                const double qNext = (k1 * x * q - k2 * qPrev) / k3;
                const double dqNext = (k1 * (q + x * dq) - k2 * dqPrev) / k3;
                qPrev = q;
                dqPrev = dq;
                q = qNext;
                dq = dqNext;
            }
            if (n == 0) continue;

            const int k = coefIndex(n, m);
            const double g = model.g[k] + dt * model.gDot[k];
            const double h = model.h[k] + dt * model.hDot[k];
            const double rn = ratioPow[n + 2];
            const double along = g * cosML + h * sinML;

            const double p = cPowM * q;
            // d/dlat of cos^m Q(sin lat)
            double dp = cPowM * c * dq;
            if (m > 0) dp -= m * x * cPowM1 * q;

            north -= rn * along * dp;
            down -= (n + 1) * rn * along * p;
            if (m > 0) east += rn * m * (g * sinML - h * cosML) * cPowM1 * q;
        }
    }
}

double calcMagneticFieldAt(const std::string& path, double latDeg, double lonDeg, double heightKm,
                           double decimalYear) {
    MagModel model;
    if (!readMagModel(path, model)) return -1.0;
    if (!std::isfinite(latDeg) || !std::isfinite(lonDeg) || !std::isfinite(heightKm) ||
        !std::isfinite(decimalYear))
        return -1.0;
    double latGc = 0.0, radiusKm = 0.0;
    geodeticToGeocentric(latDeg, heightKm, latGc, radiusKm);
    if (!(radiusKm > 0.0)) return -1.0;
    double north = 0.0, east = 0.0, down = 0.0;
    magFieldGeocentric(model, latGc, lonDeg * degToRad, radiusKm, decimalYear, north, east, down);
    // Turning the components into the geodetic frame is a rotation, which
    // leaves the total intensity as it is.
    const double total = std::sqrt(north * north + east * east + down * down);
    return std::isfinite(total) ? total : -1.0;
}

double currentDecimalYear() {
    const time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const int year = local.tm_year + 1900;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return year + local.tm_yday / (leap ? 366.0 : 365.0);
}

double calcMagneticField(double latDeg, double lonDeg, double heightKm) {
    return calcMagneticFieldAt("WMM.COF", latDeg, lonDeg, heightKm, currentDecimalYear());
}
