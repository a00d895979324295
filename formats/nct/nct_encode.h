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

struct ObsEpoch;

// One satellite record of a 5B: the number with its flag bits, the IOD
// byte, code delays and phase advances on L1 and L2 (metres), the fixed
// byte 14 and the slip count.
struct Nct5BSat {
    uint8_t numberAndFlags = 0;
    uint8_t iod = 0;
    double codeDelay[2] = {};
    double phaseAdvance[2] = {};
    uint8_t byte14 = 0;
    uint8_t slipCount = 0;
};
// A 5B of `count` records (at most 32) for any station and week.
int writeNct5B(uint8_t* buf, uint16_t week, uint32_t gpsTowMs, uint16_t stationId,
               const Nct5BSat* sats, int count, uint32_t mode);
// The 5E observation messages from any epoch (a base's own, or a master's
// moved to a rover): the GPS-only form with its week and the 16-bit word of
// bytes 14-15, and the GPS + GLONASS form.
int writeNct5EGps(uint8_t* buf, const ObsEpoch& epoch, uint16_t week, uint16_t word14);
int writeNct5EGpsGlo(uint8_t* buf, const ObsEpoch& epoch);

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
