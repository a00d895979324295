#include "formats/rover_shift.h"

#include <cmath>

namespace {
constexpr double pi = 3.1415926535898;
}

RoverShift roverShiftOf(double roverLatitude, double roverLongitude, double masterLatitudeRad,
                        double masterLongitudeRad)
{
    RoverShift r;
    double lat = roverLatitude * pi / 180.0, lon = roverLongitude * pi / 180.0;
    r.dLat = lat - masterLatitudeRad;
    r.dLonScaled = (lon - masterLongitudeRad) * std::cos(masterLatitudeRad);
    r.active = std::isfinite(r.dLat) && std::isfinite(r.dLonScaled);
    return r;
}

bool bandShift(const RoverShift& r, const double (&g)[shiftEntries], int16_t elevationDeg,
               double k, double& codeShift, double& phaseShift)
{
    codeShift = phaseShift = 0;
    if (!r.active) return false;
    // Ionospheric mapping: 1 at the zenith, about 3.4 at the horizon.
    double e = elevationDeg * pi / 180.0;
    double f = 1.0 + 16.0 * std::pow(0.53 - e / pi, 3);
    // The troposphere pair (g[2], g[3]) is left out: it comes from the
    // caster's troposphere model at each station's height and elevation,
    // which every RTK rover models itself at the master's position (which
    // the stream keeps announcing) and at its own. Added here it would be
    // counted twice: decimetres at low elevation where the heights differ.
    double ip = g[0] * r.dLat + g[1] * r.dLonScaled;
    double ic = g[4] * r.dLat + g[5] * r.dLonScaled;
    double dc = k * f * ic, dp = k * f * ip;
    if (!std::isfinite(dc) || !std::isfinite(dp)) return false;
    codeShift = dc;
    // A phase shift is worth sending only while its own error stays below
    // what ambiguity resolution tolerates: levels from noisy code, carried
    // from distant auxiliaries, can be off by several centimetres per
    // satellite, and then the master's unshifted carrier serves the rover
    // better. The code shift stays: its error is small against the code's
    // own noise.
    const double phaseError = k * f * g[6] * std::hypot(r.dLat, r.dLonScaled);
    phaseShift = phaseError <= maxPhaseShiftErrorM ? dp : 0.0;
    return true;
}
