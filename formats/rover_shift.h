#pragma once
// Moving a master base's observation of one satellite to a rover's position
// with the master's network gradients: the ionosphere terms of code and
// phase, scaled per band. The rover models the troposphere itself.

#include <cstdint>

struct RoverShift {
    bool active = false;
    double dLat = 0, dLonScaled = 0;   // radians; longitude difference times cos(latitude)
};

// Rover position in degrees, master position in radians.
RoverShift roverShiftOf(double roverLatitude, double roverLongitude, double masterLatitudeRad,
                        double masterLongitudeRad);

// The largest standard error (m, L1) a network shift of a satellite's
// phase may carry to be applied: an eighth of the L1 wavelength, what a
// rover's ambiguity resolution bears.
constexpr double maxPhaseShiftErrorM = 0.025;

// What comes off the master's code and phase of one band: g holds the
// satellite's six gradient entries (phase ionosphere, troposphere, code
// ionosphere, each times latitude then longitude; the troposphere pair is
// not applied) and the standard error of the phase term's slope (0 when not
// known), k the band's factor. The phase is left unshifted where the shift's
// own error would exceed what a rover's ambiguity resolution can bear.
// False (both 0) when the shift is not finite.
constexpr int shiftEntries = 7;
bool bandShift(const RoverShift& r, const double (&g)[shiftEntries], int16_t elevationDeg,
               double k, double& codeShift, double& phaseShift);

// Band factors of the ionosphere terms (GLONASS uses the GPS ones).
constexpr double gpsBandFactor[3] = {4.963636363636364, 8.174833333333334, 8.530260869565218};
constexpr double bdsBandFactor[3] = {4.925688073394495, 8.237813559322033, 7.839209677419356};
