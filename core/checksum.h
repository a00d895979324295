#pragma once
// Frame checksums: CRC-24Q closes every RTCM 3 frame, CRC-16/XMODEM every
// NCT frame.

#include <cstddef>
#include <cstdint>

uint32_t calcCrc24q(const uint8_t* data, size_t n);
// Writes the CRC of data[0..n) into data[n..n+3), most significant byte first.
uint32_t appendCrc24q(uint8_t* data, size_t n);
// True when the last three of n bytes are the CRC-24Q of the bytes before them.
bool checkCrc24q(const uint8_t* data, size_t n);

// CRC-16/XMODEM (polynomial 0x1021, initial 0, unreflected, no final XOR)
// over data[start..end); a start not below the end gives 0.
uint16_t calcCrc16Xmodem(const uint8_t* data, size_t start, size_t end);
