#pragma once
// Decoders of a base's RTCM 3 station messages into its record: antenna
// reference point (1005, 1006 with antenna height), antenna and receiver
// descriptors (1007, 1008, 1033) and the system parameters of 1013.
//
// buf[position] is the first byte (0xD3) of a frame that checkRtcm3Frame
// accepted. Each returns true when the message was taken, false when it was
// dropped (short frame, station id mismatch, impossible value); a dropped
// message leaves the record as it was, apart from the station id latch.

#include <cstdint>

// Longest descriptor text the record keeps; longer texts are cut to it.
constexpr uint32_t maxDescriptorChars = 31;

bool decodeRtcm1005(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1006(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1007(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1008(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1033(const uint8_t* buf, uint32_t position, int baseIndex);
bool decodeRtcm1013(const uint8_t* buf, uint32_t position, int baseIndex);
