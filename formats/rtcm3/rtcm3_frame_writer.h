#pragma once
// Shared pieces of the RTCM 3 builders: the payload cursor, closing a
// frame, and the conversions of values into fields.

#include <cstdint>

#include "core/bits.h"

struct BaseStation;

constexpr uint32_t rtcm3MaxPayload = 1023;
constexpr double lightMsMetres = 299792.458;   // metres per light-millisecond

// A cursor over the payload area of a frame buffer (bytes 3 .. 3 + 1023).
inline BitCursor rtcm3PayloadCursor() { return bitCursor(3, 3 + rtcm3MaxPayload); }

// Closes the frame whose payload `c` has just finished: clears the spare
// bits of the last byte, writes preamble and length, appends the CRC.
// Returns the frame length; 0 when the payload ran over its 1023 bytes.
int rtcm3FinishFrame(uint8_t* buffer, const BitCursor& c);

// The nearest integer as the builders round (exact halves toward zero),
// clamped into [lo, hi]; NaN gives lo..hi's clamp of 0.
int64_t roundField(double x, int64_t lo, int64_t hi);
// The 3-bit smoothing interval code of a number of seconds.
uint8_t smoothingIntervalCode(uint32_t seconds);
// The 7-bit legacy lock-time indicator (DF013) of a lock time in seconds:
// the largest indicator whose lock time does not exceed it.
uint8_t legacyLockIndicator(uint32_t seconds);
// Lock time in milliseconds for the MSM indicator from a lock time in whole
// seconds (the end of that second), saturated at 65535.
uint16_t lockTimeMsOf(uint32_t seconds);
// True when the base itself sent a frame of the kept kind within the last
// `ms` milliseconds.
bool receivedWithin(const BaseStation& b, int kind, uint32_t ms);
