#pragma once
// Ionosphere estimate per satellite. After a decoder has stored a satellite's
// new epoch it hands the entry to its system's estimator, which carrier-smooths
// the pseudoranges, derives the slant electron content from the code pair and
// from the phase pair (tecCode, tecPhase), and turns the carrier-levelled
// content into a code delay and phase advance per signal (first, second and
// third order), filters each delay and keeps its rate and average. All state
// lives in the entry; nothing else is touched.
//
// Carrier levelling: the geometry-free phase of the pair (precise, but off by
// the arc's ambiguities) is lifted to the geometry-free code (unbiased, but
// decimetres of noise) by the mean of their difference over the whole arc so
// far. A slip, flagged by the lock times or seen as a jump of the
// geometry-free phase, is bridged by taking the jump out; only a satellite
// lost for more than a minute (or a changed signal pair) starts a new arc.
// codeDelay is positive (code delayed), phaseAdvance negative (phase
// advanced); both are 0 while there is no estimate. The content still holds
// the stations' and satellites' code biases, which are the same for every
// satellite of a station (and for every station of a satellite).

#include "core/sat_obs.h"

// First-order coefficient: delay (m) = 40.309 x TEC (el/m^2) / f^2 (Hz).
constexpr double ionoFirstOrderCoeff = 40.309;

// f2^2 / (f1^2 - f2^2): turns the difference of the second and first
// signal's delays (a geometry-free combination) into the first signal's.
constexpr double firstSignalFactor(double f1, double f2) { return f2 * f2 / (f1 * f1 - f2 * f2); }
constexpr double gpsFirstSignalFactor = firstSignalFactor(1575.42e6, 1227.6e6);
// Every GLONASS channel keeps L1/L2 = 9/7.
constexpr double gloFirstSignalFactor = firstSignalFactor(9.0, 7.0);
constexpr double bdsFirstSignalFactor = firstSignalFactor(1561.098e6, 1207.14e6);

void estimateIonoGps(GpsSatObs& sat);

// Standard error (m of geometry-free combination) of an arc's level: how far
// the mean of the code noise so far may leave the levelled ionosphere off.
// Negative while the arc has fewer than two samples.
double levelStandardError(const IonoLevelling& v);
void estimateIonoBds(BdsSatObs& sat);
void estimateIonoGal(GalSatObs& sat);
// `slot` (1..24) is only needed when the entry's `freqChannel` is not a valid
// channel (0..20): its channel is then taken from the slot table. Without a
// usable channel the satellite is left as it is.
void estimateIonoGlo(GloSatObs& sat, int slot = -1);

// Change per second of the first signal's ionospheric delay from two carrier
// phases (m) at this and the previous run, dt seconds apart. 0 when dt is not
// positive or the two frequencies do not give a usable pair.
double deltaIonoFromPhase(double phi1, double prevPhi1, double phi2, double prevPhi2, double f1,
                          double f2, double dt);

// Slant electron content (el/m^2) from two code (or two phase) ranges in metres
// on carriers f1 and f2 (Hz); 0 when the frequencies do not form a pair.
double tecFromPair(double f1, double f2, double x1, double x2);

// Vertical content, phase advance and code delay (m) on carrier f (Hz) for a
// slant content `tec`, an elevation in radians and a magnetic field B in
// tesla. Any output pointer may be null when the caller does not want it.
// A carrier that is not positive gives zero everywhere.
void ionoHigherOrderDelay(double f, double tec, double* vertical, double elevationRad, double b,
                          double* phaseAdvance, double* codeDelay);
