#include "core/troposphere.h"

#include <cmath>
#include <cstdlib>

#include "core/geodesy.h"
#include "core/gnss_time.h"

namespace {

// Below this elevation the mapping functions are not trusted and no delay is
// given. Written as !(e >= min) so that a NaN elevation also gives 0.
constexpr double minElevationDeg = 3.0;

// Zenith delays of the standard atmosphere the caster assumes (m).
constexpr double zenithHydrostatic = 2.235486646978727;
constexpr double zenithWet = 4.998278499997741e-05;

// Niell (1996) coefficients at latitudes 15, 30, 45, 60 and 75 degrees.
struct NiellRow {
    double a, b, c;
};
constexpr NiellRow hydroAverage[5] = {
    {1.2769934e-3, 2.9153695e-3, 62.610505e-3},
    {1.2683230e-3, 2.9152299e-3, 62.837393e-3},
    {1.2465397e-3, 2.9288445e-3, 63.721774e-3},
    {1.2196049e-3, 2.9022565e-3, 63.824265e-3},
    {1.2045996e-3, 2.9024912e-3, 64.258455e-3},
};
constexpr NiellRow hydroAmplitude[5] = {
    {0.0, 0.0, 0.0},
    {1.2709626e-5, 2.1414979e-5, 9.0128400e-5},
    {2.6523662e-5, 3.0160779e-5, 4.3497037e-5},
    {3.4000452e-5, 7.2562722e-5, 84.795348e-5},
    {4.1202191e-5, 11.723375e-5, 170.37206e-5},
};
constexpr NiellRow wetRow[5] = {
    {5.8021897e-4, 1.4275268e-3, 4.3472961e-2},
    {5.6794847e-4, 1.5138625e-3, 4.6729510e-2},
    {5.8118019e-4, 1.4572752e-3, 4.3908931e-2},
    {5.9727542e-4, 1.5007428e-3, 4.4626982e-2},
    {6.1641693e-4, 1.7599082e-3, 5.4736038e-2},
};
constexpr double heightA = 2.53e-5;
constexpr double heightB = 5.49e-3;
constexpr double heightC = 1.14e-3;
// 1 + aht / (1 + bht / (1 + cht)): the height function's value at the zenith.
constexpr double heightTop = 1.0000251620178218;

double continuedFraction(double s, double a, double b, double c) {
    return (1.0 + a / (1.0 + b / (1.0 + c))) / (s + a / (s + b / (s + c)));
}

// Linear interpolation in |latitude| between the 15-degree rows; the end rows
// hold beyond 15 and 75 degrees.
NiellRow interpolate(const NiellRow (&rows)[5], double latitudeDeg) {
    const double lat = std::fabs(latitudeDeg);
    if (!(lat >= 15.0)) return rows[0];
    if (lat >= 75.0) return rows[4];
    const int i = static_cast<int>(lat / 15.0);   // 1..4
    const double t = (lat - 15.0 * i) / 15.0;
    const NiellRow& lo = rows[i - 1];
    const NiellRow& hi = rows[i];
    return {lo.a + (hi.a - lo.a) * t, lo.b + (hi.b - lo.b) * t, lo.c + (hi.c - lo.c) * t};
}

double sinElevation(double elevationDeg) { return std::sin(elevationDeg * geo::degToRad); }

}  // namespace

double niellWetMapping(double elevationDeg, double latitudeDeg) {
    if (!(elevationDeg >= minElevationDeg)) return 0.0;
    const NiellRow w = interpolate(wetRow, latitudeDeg);
    return continuedFraction(sinElevation(elevationDeg), w.a, w.b, w.c);
}

double niellHydrostaticMapping(double elevationDeg, double latitudeDeg, double heightM,
                               int dayOfYear) {
    if (!(elevationDeg >= minElevationDeg)) return 0.0;
    // The seasons are half a year apart in the two hemispheres.
    double d = dayOfYear - 28.0;
    if (latitudeDeg < 0.0) d += 182.625;
    const double cs = std::cos(d * 0.9856262833675564 * geo::degToRad);

    const NiellRow avg = interpolate(hydroAverage, latitudeDeg);
    const NiellRow amp = interpolate(hydroAmplitude, latitudeDeg);
    const double s = sinElevation(elevationDeg);
    const double m = continuedFraction(s, avg.a - amp.a * cs, avg.b - amp.b * cs, avg.c - amp.c * cs);

    const double fh = heightTop / (s + heightA / (s + heightB / (s + heightC)));
    return m + (1.0 / s - fh) * (heightM / 1000.0);
}

double tropoDelayOnDay(double elevationDeg, double latitudeDeg, double heightM, int dayOfYear) {
    if (!(elevationDeg >= minElevationDeg)) return 0.0;
    const double mh = niellHydrostaticMapping(elevationDeg, latitudeDeg, heightM, dayOfYear);
    const double mw = niellWetMapping(elevationDeg, latitudeDeg);
    return mh * zenithHydrostatic + mw * zenithWet;
}

double tropoDelay(double elevationDeg, double latitudeDeg, double heightM) {
    if (!(elevationDeg >= minElevationDeg)) return 0.0;
    const int day = std::atoi(getDayOfYearString().c_str());
    return tropoDelayOnDay(elevationDeg, latitudeDeg, heightM, day);
}

namespace {
double saastamoinenDenominator(double latitudeDeg, double heightM) {
    return 1.0 - 0.00266 * std::cos(2.0 * latitudeDeg * geo::degToRad) - 0.00028 * heightM / 1000.0;
}
}  // namespace

double zenithHydrostaticDelay(double pressureHpa, double latitudeDeg, double heightM) {
    return 0.0022768 * pressureHpa / saastamoinenDenominator(latitudeDeg, heightM);
}

double zenithWetDelay(double vapourPressureHpa, double temperatureC, double latitudeDeg,
                      double heightM) {
    return 0.0022768 * (1255.0 / (temperatureC + 273.15) + 0.05) * vapourPressureHpa /
           saastamoinenDenominator(latitudeDeg, heightM);
}

double slantTropoDelay(double elevationDeg, double latitudeDeg, double heightM, int dayOfYear,
                       double vapourPressureHpa, double temperatureC, double pressureHpa) {
    if (!(elevationDeg >= minElevationDeg)) return 0.0;
    return niellHydrostaticMapping(elevationDeg, latitudeDeg, heightM, dayOfYear) *
               zenithHydrostaticDelay(pressureHpa, latitudeDeg, heightM) +
           zenithWetDelay(vapourPressureHpa, temperatureC, latitudeDeg, heightM) *
               niellWetMapping(elevationDeg, latitudeDeg);
}

double simpleZenithTropo(double heightM) { return 2.29951 * std::exp(-0.000116 * heightM); }

double standardAtmosphereDelay(double elevationDeg, double latitudeDeg, double heightM,
                               int dayOfYear)
{
    if (!(heightM >= -100.0 && heightM <= 10000.0)) return 0.0;
    const double h = heightM < 0 ? 0.0 : heightM;
    const double pressure = 1013.25 * std::pow(1.0 - 2.2557e-5 * h, 5.2568);
    const double temperatureC = 15.0 - 6.5e-3 * h;
    const double kelvin = temperatureC + 273.16;
    const double vapour = 6.108 * 0.7 * std::exp((17.15 * kelvin - 4684.0) / (kelvin - 38.45));
    return slantTropoDelay(elevationDeg, latitudeDeg, heightM, dayOfYear, vapour, temperatureC,
                           pressure);
}
