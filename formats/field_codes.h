#pragma once
// Small conversions of coded header fields shared by the decoders and
// encoders of several formats.

#include <cstdint>

// 3-bit RTCM smoothing-interval code to seconds (0, 30, 60, 120, 240, 480,
// 600, 900); any other code gives 0.
uint32_t smoothingIntervalSeconds(uint32_t code);

// 7-bit legacy RTCM lock-time indicator to the minimum lock time in
// seconds (0..936; 127 and above give 937).
int32_t lockTimeSeconds(uint32_t indicator);

// 4-bit MSM lock-time indicator of a lock time in milliseconds: below 32 ms
// gives 0, each doubling one more, 32768 ms and above 11.
uint8_t msmLockTimeIndicator(uint16_t lockMs);

// Carrier-to-noise ratio in whole dB-Hz to the 4-bit CMR signal-to-noise
// code (0..6, 9..15; 7 and 8 are never produced).
uint8_t encodeCmrSnr(uint8_t dbHz);
