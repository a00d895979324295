#pragma once
// Satellite positions from the broadcast ephemeris tables. The observation
// decoders call the update functions whenever the program-wide time moves;
// the network corrections read satX/satY/satZ of each slot under its mutex.

#include <cstdint>

struct GpsEphemeris;
struct GloEphemeris;

// Recompute every GPS slot that holds an ephemeris at currentGpsTowMs.
void updateGpsOrbits();
// Recompute every GLONASS slot that holds an ephemeris at currentGloTodMs on
// currentMjd.
void updateGloOrbits();

// Position and clock terms of GPS slot `slot` at GPS time of week t (whole
// seconds). False (slot unchanged) when the ephemeris is unusable or Kepler's
// equation does not converge. The caller holds the slot's mutex.
bool calcGpsSatPosition(int slot, uint32_t t);

// Earth-fixed position (m) of the satellite of `eph` at GPS system time of
// week t (seconds, fractions allowed), without touching the slot. False when the
// ephemeris is unusable. The caller holds the slot's mutex.
bool gpsSatPositionAt(const GpsEphemeris& eph, double t, double pos[3]);

// Earth-fixed position (m) and velocity (m/s) of the satellite of `g` at
// GLONASS time of day tod (seconds, fractions allowed) on day mjd, without
// touching the slot. The caller holds the slot's mutex.
bool gloSatStateAt(const GloEphemeris& g, double tod, uint16_t mjd, double pos[3], double vel[3]);

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
