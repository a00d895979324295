#include "formats/rtcm3/rtcm3_ephemeris.h"

#include <cmath>
#include <cstring>

#include "core/base_station.h"
#include "core/bits.h"
#include "core/ephemeris.h"
#include "core/gnss_time.h"
#include "core/sat_obs.h"
#include "platform/console.h"
#include "platform/sync.h"

namespace {

constexpr int ephemerisMutexWaitMs = 100;
constexpr int gpsHighestPrn = 32;
constexpr int gloHighestSlot = 24;

// The frame must be exactly the message's fixed size, and its own length
// field must say so; the cursor then stops at the CRC, so no field can be
// read from beyond the frame.
bool frameCursor(const uint8_t* buffer, uint32_t position, uint32_t frameLength,
                 uint32_t expected, uint32_t messageNumber, BitCursor& c)
{
    if (buffer == nullptr || frameLength != expected) return false;
    uint32_t payload = (uint32_t(buffer[position + 1] & 0x03) << 8) | buffer[position + 2];
    if (buffer[position] != 0xD3 || payload + 6 != frameLength) return false;
    c = bitCursor(position + 3, position + 3 + payload);
    uint32_t number = 0;
    readBitsU32(number, 12, c, buffer);
    return number == messageNumber;
}

double scaledSigned(int64_t raw, int exponent) { return std::ldexp(double(raw), exponent); }

double readScaledI(int n, int exponent, BitCursor& c, const uint8_t* buf)
{
    int64_t v = 0;
    readBitsI64(v, n, c, buf);
    return scaledSigned(v, exponent);
}

double readScaledU(int n, int exponent, BitCursor& c, const uint8_t* buf)
{
    uint64_t v = 0;
    readBitsU64(v, n, c, buf);
    return std::ldexp(double(v), exponent);
}

// Sign in the top bit (1 = negative), magnitude in the rest.
double readSignMagnitude(int n, int exponent, BitCursor& c, const uint8_t* buf)
{
    uint64_t v = 0;
    readBitsU64(v, n, c, buf);
    uint64_t magnitude = v & ((uint64_t(1) << (n - 1)) - 1);
    double value = std::ldexp(double(magnitude), exponent);
    return (v >> (n - 1)) & 1u ? -value : value;
}

void skipBits(int n, BitCursor& c, const uint8_t* buf)
{
    uint64_t unused = 0;
    while (n > 0) {
        int take = n > 32 ? 32 : n;
        readBitsU64(unused, take, c, buf);
        n -= take;
    }
}

}   // namespace

bool decodeRtcm1019(const uint8_t* buffer, uint32_t position, uint32_t frameLength,
                    int /*baseIndex*/)
{
    BitCursor c;
    if (!frameCursor(buffer, position, frameLength, rtcm1019FrameLength, 1019, c)) return false;

    uint32_t prn = 0;
    readBitsU32(prn, 6, c, buffer);
    if (prn > uint32_t(gpsHighestPrn)) {
        consoleLine("exceeds channels");
        return false;
    }
    // 0 is no GPS satellite; it must not share slot 0 with PRN 32.
    if (prn == 0) return false;
    int slot = gpsSatIndex(int(prn));
    if (slot < 0 || slot >= gpsEphemerisSlots) return false;

    uint16_t week = 0;
    uint8_t iode = 0;
    uint16_t iodc = 0;
    uint32_t toc = 0, toe = 0;
    readBitsU16(week, 10, c, buffer);
    skipBits(4 + 2, c, buffer);   // SV accuracy, code on L2
    double iDot = readScaledI(14, -43, c, buffer);
    readBitsU8(iode, 8, c, buffer);
    readBitsU32(toc, 16, c, buffer);
    double af2 = readScaledI(8, -55, c, buffer);
    double af1 = readScaledI(16, -43, c, buffer);
    double af0 = readScaledI(22, -31, c, buffer);
    readBitsU16(iodc, 10, c, buffer);
    double crs = readScaledI(16, -5, c, buffer);
    double deltaN = readScaledI(16, -43, c, buffer);
    double m0 = readScaledI(32, -31, c, buffer);
    double cuc = readScaledI(16, -29, c, buffer);
    double e = readScaledU(32, -33, c, buffer);
    double cus = readScaledI(16, -29, c, buffer);
    double sqrtA = readScaledU(32, -19, c, buffer);
    readBitsU32(toe, 16, c, buffer);
    double cic = readScaledI(16, -29, c, buffer);
    double omega0 = readScaledI(32, -31, c, buffer);
    double cis = readScaledI(16, -29, c, buffer);
    double i0 = readScaledI(32, -31, c, buffer);
    double crc = readScaledI(16, -5, c, buffer);
    double omega = readScaledI(32, -31, c, buffer);
    double omegaDot = readScaledI(24, -43, c, buffer);
    double tgd = readScaledI(8, -31, c, buffer);
    skipBits(6 + 1 + 1, c, buffer);   // health, L2 P data flag, fit interval
    if (c.overrun) return false;

    // The broadcast week has only 10 bits; the shared week is a full one.
    updateGpsWeek(fullGpsWeek(week));

    GpsEphemeris& eph = gpsEphemeris[slot];
    MutexWait lock(eph.mutex, ephemerisMutexWaitMs);
    if (!lock.held()) return false;
    eph.iode = iode;
    eph.iodc = iodc;
    eph.week = week;
    eph.toe = toe * 16;
    eph.toc = toc * 16;
    eph.sqrtA = sqrtA;
    eph.deltaN = deltaN;
    eph.m0 = m0;
    eph.e = e;
    eph.omega = omega;
    eph.omega0 = omega0;
    eph.omegaDot = omegaDot;
    eph.i0 = i0;
    eph.iDot = iDot;
    eph.cis = cis;
    eph.cic = cic;
    eph.crs = crs;
    eph.crc = crc;
    eph.cus = cus;
    eph.cuc = cuc;
    eph.af0 = af0;
    eph.af1 = af1;
    eph.af2 = af2;
    eph.tgd = tgd;
    std::memcpy(eph.rawFrame, buffer + position, rtcm1019FrameLength);
    eph.frameLength = rtcm1019FrameLength;
    return true;
}

bool decodeRtcm1020(const uint8_t* buffer, uint32_t position, uint32_t frameLength,
                    int baseIndex)
{
    BitCursor c;
    if (!frameCursor(buffer, position, frameLength, rtcm1020FrameLength, 1020, c)) return false;

    uint32_t satellite = 0;
    readBitsU32(satellite, 6, c, buffer);
    if (satellite > uint32_t(gloHighestSlot)) {
        consoleLine("exceeds channels");
        return false;
    }
    // 0 is no GLONASS slot; it must not share slot 0 with slot 24.
    if (satellite == 0) return false;
    int slot = gloSatIndex(int(satellite));
    if (slot < 0 || slot >= gloEphemerisSlots) return false;

    uint8_t channel = 0, hours = 0, minutes = 0, half = 0, tb = 0;
    readBitsU8(channel, 5, c, buffer);
    skipBits(1 + 1 + 2, c, buffer);   // almanac health, its availability, P1
    readBitsU8(hours, 5, c, buffer);
    readBitsU8(minutes, 6, c, buffer);
    readBitsU8(half, 1, c, buffer);
    skipBits(1 + 1, c, buffer);   // Bn most significant bit, P2
    readBitsU8(tb, 7, c, buffer);
    double vel[3], pos[3], acc[3];
    for (int axis = 0; axis < 3; ++axis) {
        vel[axis] = readSignMagnitude(24, -20, c, buffer);
        pos[axis] = readSignMagnitude(27, -11, c, buffer);
        acc[axis] = readSignMagnitude(5, -30, c, buffer);
    }
    skipBits(1, c, buffer);   // P3
    double gammaN = readSignMagnitude(11, -40, c, buffer);
    skipBits(2 + 1, c, buffer);   // P, ln
    double tauN = readSignMagnitude(22, -30, c, buffer);
    double deltaTauN = readSignMagnitude(5, -30, c, buffer);
    // En, P4, FT, NT, M, additional-data flag, NA, tau c, N4, tau GPS, ln
    skipBits(5 + 1 + 4 + 11 + 2 + 1 + 11 + 32 + 5 + 22 + 1, c, buffer);
    if (c.overrun) return false;

    if (baseIndex >= 0 && baseIndex < maxBases) baseStation[baseIndex].gloSat[slot].ephemerisTb = tb;

    GloEphemeris& g = gloEphemeris[slot];
    MutexWait lock(g.mutex, ephemerisMutexWaitMs);
    if (!lock.held()) return false;
    g.frequencyChannel = channel;
    g.tkHours = hours;
    g.tkMinutes = minutes;
    g.tkHalfMinutes = half;
    g.tb = tb;
    g.posX = pos[0];
    g.posY = pos[1];
    g.posZ = pos[2];
    g.velX = vel[0];
    g.velY = vel[1];
    g.velZ = vel[2];
    g.accX = acc[0];
    g.accY = acc[1];
    g.accZ = acc[2];
    g.gammaN = gammaN;
    g.tauN = tauN;
    g.deltaTauN = deltaTauN;
    std::memcpy(g.rawFrame, buffer + position, rtcm1020FrameLength);
    g.frameLength = rtcm1020FrameLength;
    return true;
}
