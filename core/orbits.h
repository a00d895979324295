#pragma once
// Satellite positions from the broadcast ephemeris tables. The observation
// decoders call the update functions whenever the program-wide time moves;
// the network corrections read satX/satY/satZ of each slot under its mutex.

#include <cstdint>

// Recompute every GPS slot that holds an ephemeris at currentGpsTowMs.
void updateGpsOrbits();
// Recompute every GLONASS slot that holds an ephemeris at currentGloTodMs on
// currentMjd.
void updateGloOrbits();

// Position and clock terms of GPS slot `slot` at GPS time of week t (whole
// seconds). False (slot unchanged) when the ephemeris is unusable or Kepler's
// equation does not converge. The caller holds the slot's mutex.
bool calcGpsSatPosition(int slot, uint32_t t);

// State of GLONASS slot `slot` at GLONASS (Moscow) time of day tod, seconds,
// on day mjd. The broadcast state is carried from its reference time tb. The
// caller holds the slot's mutex.
bool calcGlonassSatState(int slot, uint32_t tod, uint16_t mjd);

// Greenwich sidereal angle in radians, s seconds of UTC after the start of
// day mjd; s may lie outside one day, so that two instants either side of
// midnight stay on one continuous scale.
double siderealAngle(uint16_t mjd, double s);

// Carries an Earth-fixed GLONASS state (position km, velocity km/s,
// luni-solar acceleration km/s^2) from UTC second s of day mjd over dt
// seconds (negative dt goes back). False when the state is degenerate or the
// result is not finite; the outputs are then untouched.
bool propagateGlonassState(const double pos[3], const double vel[3], const double acc[3],
                           uint16_t mjd, double s, double dt, double outPos[3],
                           double outVel[3]);
