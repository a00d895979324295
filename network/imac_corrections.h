#pragma once
// The ionospheric corrections of one iMAC rover, satellite by satellite: the
// code delay and phase advance of the master's satellites as they would be
// at the rover's position, interpolated from the master and the rover's
// usable auxiliary bases.

#include <cstdint>

#include "core/sat_obs.h"

// What the ionospheric builders read of one station for one system, copied
// in one piece (GPS uses entries 0..31, GLONASS 0..23).
struct IonoStation {
    double latitude = 0, longitude = 0;
    uint32_t epochMs = 0;   // the station's epoch of the system
    uint16_t stationId = 0, gpsWeek = 0;
    struct Sat {
        uint32_t epochMs = 0;
        float codeDelayEma[2] = {};
        double codeDelay[2] = {};
        double phaseAdvance[2] = {};
        float codeDelayF = 0, ionoRate = 0;   // first band
        uint16_t reference = 0;               // GPS nctRefWord, GLONASS ephemerisTb
        int16_t deltaIonoScaled = 0;
        uint8_t slipCount = 0;
    } sat[gpsSatEntries];
};

// The rover's master (station 0) and the auxiliary bases that pass the
// quadrant check, copied as they stood after one decode each. auxAt[k] is
// the position of the rover's auxiliary k in `st`, -1 when it takes no
// part. False without a master base or a stable read.
bool takeIonoStations(int clientIndex, bool glonass, IonoStation (&st)[4], int& count,
                      int (&auxAt)[3]);

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
