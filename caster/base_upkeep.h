#pragma once
// Upkeep of the connected bases, run by the base data thread between its
// reads: the ten-second pass (day number, descriptive messages for bases
// that do not send them), the silence and trust pass of every turn, and the
// daily magnetic field at each base.

#include <cstdint>
#include <ctime>

constexpr time_t periodicPassGapS = 9;      // more than this between periodic passes
constexpr time_t baseSilenceLimitS = 14;    // more than this without data closes a base
constexpr time_t baseTrustAfterS = 60;      // more than this of data makes a base trusted
constexpr uint32_t descriptorBuildGapMs = 15000;
constexpr double magFieldHeightKm = 350.0;
// A failed field computation is tried again after this long, not on every
// receive: it reads the coefficient file each time.
constexpr uint32_t magFieldRetryMs = 60000;

// Keeps the program-wide day number in step with the decoded GPS time and
// builds 1008 and 1013 for the bases that do not send them.
void runPeriodicPass(time_t now, uint32_t clockMs);

// Closes the bases that have gone silent and trusts the bases that have
// sent data for a minute; both make the sourcetable be rebuilt.
void runSilenceTrustPass(time_t now, uint32_t clockMs);

// On a receive that brought data: computes the base's magnetic field once a
// day, when its position is known.
void checkMagneticField(int baseIndex, uint32_t clockMs);
