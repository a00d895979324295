#pragma once
// Program-wide broadcast ephemeris tables, filled from whichever base sends
// 1019 (GPS) or 1020 (GLONASS); orbits are computed from them.

#include <cstdint>

#include "platform/sync.h"

constexpr int gpsEphemerisSlots = 40;
constexpr int gloEphemerisSlots = 24;

struct GpsEphemeris {
    uint8_t rawFrame[67] = {};
    uint32_t frameLength = 0;
    double satX = 0, satY = 0, satZ = 0;
    uint16_t week = 0;
    uint8_t iode = 0;
    uint16_t iodc = 0;
    uint32_t timeOfWeekS = 0;
    double clockCorrection = 0;
    uint32_t toe = 0;
    uint32_t toc = 0;
    double relativisticCorrection = 0;
    double sqrtA = 0, deltaN = 0, m0 = 0, e = 0, omega = 0, omega0 = 0, omegaDot = 0, i0 = 0,
           iDot = 0, cis = 0, cic = 0, crs = 0, crc = 0, cus = 0, cuc = 0, af0 = 0, af1 = 0,
           af2 = 0, tgd = 0;
    double eccentricAnomaly = 0;
    Mutex mutex;
};

struct GloEphemeris {
    uint8_t rawFrame[51] = {};
    uint32_t frameLength = 0;
    double satX = 0, satY = 0, satZ = 0;
    double earthFixedPos[3] = {};
    double earthFixedVel[3] = {};
    uint8_t frequencyChannel = 0;
    uint8_t tkHours = 0, tkMinutes = 0, tkHalfMinutes = 0;
    uint8_t tb = 0;   // reference time of the ephemeris, units of 15 minutes
    double posX = 0, posY = 0, posZ = 0;
    double velX = 0, velY = 0, velZ = 0;
    double accX = 0, accY = 0, accZ = 0;
    double gammaN = 0, tauN = 0, deltaTauN = 0;
    Mutex mutex;
};

extern GpsEphemeris gpsEphemeris[gpsEphemerisSlots];
extern GloEphemeris gloEphemeris[gloEphemerisSlots];

// Frequency channel (+7) of GLONASS entry `entry` (0..23, slot 24 in 0) for
// input that carries none: the satellite's own from a 1020 received for it,
// otherwise the fixed slot table.
uint8_t glonassChannelOf(int entry);

// Zeroes every slot (the mutexes live as long as the program).
void initEphemerisSlots();
