#pragma once
// NCT binary messages built from a base's decoded epoch: 5B (GPS satellite
// corrections), 5C (reference station coordinates), 5D (position and time)
// and 5E (observations, GPS only or GPS with GLONASS), and the tick counter
// that the 5E time word is made of. Each builder writes one whole frame into
// `buf`, which must hold maxFrameBytes (1029) bytes (the longest frame any of
// them can write is well below that), and returns its length; 0 for a base
// number outside 0..9. Each also moves its kind's msgStamp into
// msgPrevRxTime; the caller stores the new frame and stamp.

#include <cstdint>
#include <ctime>

int encodeNct5B(uint8_t* buf, int baseIndex, uint32_t mode);
int encodeNct5C(uint8_t* buf, int baseIndex, uint32_t mode);
int encodeNct5D(uint8_t* buf, int baseIndex, time_t now, double value1, double value2,
                double value3);
int encodeNct5EGpsGlo(uint8_t* buf, int baseIndex);
int encodeNct5EGps(uint8_t* buf, int baseIndex);

// One step of the receivers' time counter: a counter of 0, 1 or 2 becomes
// 125, 126 or 127 and the wrap count rises; any other counter falls by 3 and
// the tick count rises.
void nctTickStep(uint32_t& counter, uint32_t& ticks, uint32_t& wraps);
// State of the counter after `steps` steps from all zero, without stepping.
void nctTicksAfter(uint32_t steps, uint32_t& counter, uint32_t& ticks, uint32_t& wraps);
// From all zero, `seconds` steps (at most 604799); `out` = wraps + offset.
// True when the counter then equals `expected`.
bool nctCountTicks(uint32_t seconds, uint32_t offset, uint32_t expected, uint32_t& out);
// The 32-bit time word of the GPS + GLONASS 5E for whole seconds of week.
uint32_t nctTimeWord(uint32_t seconds);
