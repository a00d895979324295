#pragma once
// The ionospheric corrections of one iMAC rover, satellite by satellite: the
// code delay and phase advance of the master's satellites as they would be
// at the rover's position, interpolated from the master and the rover's
// usable auxiliary bases.

#include <cstdint>

// Value at the rover (latR, lonR) from n stations (1..4; station 0 is the
// master) in the order given. Falls back to the master's value where the
// geometry gives no finite value.
double interpolateAtRover(int n, const double lat[4], const double lon[4], const double value[4],
                          double latR, double lonR);

// Fills, for GPS entries 0..31 (GLONASS 0..23), the code delay L1, phase
// advance L1, code delay L2 and phase advance L2 at the rover, in metres.
// An entry not in the master's current epoch gets 0.0 in all four; a band
// whose master smoothed code delay is 0 keeps what the caller put there.
void calcIMACCorrGPS(int clientIndex, double* codeL1, double* phaseL1, double* codeL2,
                     double* phaseL2);
void calcIMACCorrGLO(int clientIndex, double* codeL1, double* phaseL1, double* codeL2,
                     double* phaseL2);
