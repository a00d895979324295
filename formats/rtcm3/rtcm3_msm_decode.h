#pragma once
// Readers of the MSM4 observation messages a base may send: GPS 1074,
// GLONASS 1084, Galileo 1094, BeiDou 1124. Each fills the base's satellite
// entries and epoch fields from one frame whose CRC has already been checked.

#include <cstdint>

// buffer holds the whole frame from its 0xD3 byte at frameStart; base is the
// slot 0-9. The result is the number of the message's satellites that the
// system's entries take, or 0 when the frame is refused: a station id that
// differs from the base's, an epoch out of range, masks announcing more than
// 64 cells or more bits than the frame holds.
uint32_t decodeRtcm1074(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1084(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1094(const uint8_t* buffer, uint32_t frameStart, int base);
uint32_t decodeRtcm1124(const uint8_t* buffer, uint32_t frameStart, int base);

// Whole seconds of lock for a 4-bit MSM lock-time indicator: the lower bound
// of the indicator's range (0, then 32 ms doubling up to 524288 ms),
// truncated. The satellite entries keep lock times in seconds whatever the
// source, so that the builders convert one unit.
uint16_t msmLockTimeSeconds(uint8_t indicator);
