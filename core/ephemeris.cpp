#include "core/ephemeris.h"

#include <cstring>

#include "core/records.h"

GpsEphemeris gpsEphemeris[gpsEphemerisSlots];
GloEphemeris gloEphemeris[gloEphemerisSlots];

uint8_t glonassChannelOf(int entry)
{
    if (entry < 0 || entry >= gloEphemerisSlots) return 0;
    const GloEphemeris& e = gloEphemeris[entry];
    if (e.frameLength == 51 && e.frequencyChannel <= 20) return e.frequencyChannel;
    return glonassChannelBySlot[entry];
}


void initEphemerisSlots()
{
    for (auto& e : gpsEphemeris) {
        MutexWait lock(e.mutex, 100);
        std::memset(e.rawFrame, 0, sizeof e.rawFrame);
        e.frameLength = 0;
        e.satX = e.satY = e.satZ = 0;
        e.week = 0;
        e.iode = 0;
        e.iodc = 0;
        e.timeOfWeekS = 0;
        e.clockCorrection = 0;
        e.toe = e.toc = 0;
        e.relativisticCorrection = 0;
        e.sqrtA = e.deltaN = e.m0 = e.e = e.omega = e.omega0 = e.omegaDot = e.i0 = e.iDot = 0;
        e.cis = e.cic = e.crs = e.crc = e.cus = e.cuc = e.af0 = e.af1 = e.af2 = e.tgd = 0;
        e.eccentricAnomaly = 0;
    }
    for (auto& g : gloEphemeris) {
        MutexWait lock(g.mutex, 100);
        std::memset(g.rawFrame, 0, sizeof g.rawFrame);
        g.frameLength = 0;
        g.satX = g.satY = g.satZ = 0;
        for (int i = 0; i < 3; ++i) g.earthFixedPos[i] = g.earthFixedVel[i] = 0;
        g.frequencyChannel = 0;
        g.tkHours = g.tkMinutes = g.tkHalfMinutes = 0;
        g.tb = 0;
        g.posX = g.posY = g.posZ = g.velX = g.velY = g.velZ = 0;
        g.accX = g.accY = g.accZ = 0;
        g.gammaN = g.tauN = g.deltaTauN = 0;
    }
}
