#include "formats/rtcm3/rtcm3_encode.h"

#include <cmath>
#include <cstring>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/gnss_time.h"
#include "formats/rtcm3/rtcm3_frame_writer.h"

int rtcm3FinishFrame(uint8_t* buffer, const BitCursor& c)
{
    if (c.overrun) return 0;
    uint32_t bits = (c.byteIndex - 3) * 8 + (7 - c.bitIndex);
    uint32_t length = (bits + 7) / 8;
    if (length > rtcm3MaxPayload) return 0;
    // The writer leaves the unused low bits of a partly filled last byte as
    // they were; a rover must see them as zero.
    if (c.bitIndex != 7) buffer[c.byteIndex] &= uint8_t(~((1u << (c.bitIndex + 1)) - 1));
    buffer[0] = 0xD3;
    buffer[1] = uint8_t((length >> 8) & 0x03);
    buffer[2] = uint8_t(length & 0xFF);
    appendCrc24q(buffer, 3 + length);
    return int(length + 6);
}

int64_t roundField(double x, int64_t lo, int64_t hi)
{
    return truncClamp(roundNearest(x), lo, hi);
}

uint8_t smoothingIntervalCode(uint32_t seconds)
{
    static const uint32_t table[8] = {0, 30, 60, 120, 240, 480, 600, 900};
    for (uint8_t code = 0; code < 8; ++code)
        if (seconds <= table[code]) return code;
    return 7;
}

uint8_t legacyLockIndicator(uint32_t s)
{
    if (s < 24) return uint8_t(s);
    if (s < 72) return uint8_t((s + 24) / 2);
    if (s < 168) return uint8_t((s + 120) / 4);
    if (s < 360) return uint8_t((s + 408) / 8);
    if (s < 744) return uint8_t((s + 1176) / 16);
    if (s < 937) return uint8_t((s + 3096) / 32);
    return 127;
}

uint16_t lockTimeMsOf(uint32_t seconds)
{
    return seconds >= 66 ? uint16_t(65535) : uint16_t(seconds * 1000);
}

static bool validBase(int baseIndex) { return baseIndex >= 0 && baseIndex < maxBases; }

// ---------------------------------------------------------------- 1013

int encodeRtcm1013(int baseIndex, uint8_t* buffer)
{
    uint16_t stationId = 0;
    uint16_t mjd = uint16_t(currentMjd.load() & 0xFFFF);
    uint32_t secondsOfDay = 0;
    uint8_t leapSeconds = 0;
    // Only a real base slot is read: a rover's slot number or a stale index
    // would otherwise read past the ten records.
    if (validBase(baseIndex)) {
        const BaseStation& b = baseStation[baseIndex];
        stationId = b.stationId;
        mjd = b.mjd;
        secondsOfDay = b.secondsOfDay;
        leapSeconds = b.leapSeconds;
    }
    BitCursor c = rtcm3PayloadCursor();
    writeBitsU16(buffer, c, 12, 1013);
    writeBitsU16(buffer, c, 12, stationId);
    writeBitsU16(buffer, c, 16, mjd);
    writeBitsU32(buffer, c, 17, secondsOfDay);
    writeBits8(buffer, c, 5, 5);
    writeBits8(buffer, c, 8, leapSeconds);
    static const uint16_t announced[5][2] = {
        {1004, 10}, {1012, 10}, {1104, 10}, {1005, 100}, {1008, 100}};
    for (const auto& a : announced) {
        writeBitsU16(buffer, c, 12, a[0]);
        writeBits8(buffer, c, 1, 1);
        writeBitsU16(buffer, c, 16, a[1]);
    }
    return rtcm3FinishFrame(buffer, c);
}
