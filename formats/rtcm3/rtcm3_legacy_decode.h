#pragma once
// Decoders of the legacy RTCM 3 observation messages into a base's
// satellite entries: 1003/1004 (GPS), 1011/1012 (GLONASS) and 1104, this
// system's own BeiDou layout with up to three signals per satellite.
//
// buf[position] is the first byte (0xD3) of a frame that checkRtcm3Frame
// accepted, so the whole frame is held. Each returns the header's satellite
// count (GLONASS at most 24) when the epoch was taken, 0 when the message
// was dropped: short frame, station id mismatch, stale or impossible epoch.

#include <cstdint>

uint32_t decodeRtcm1003(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1004(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1011(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1012(const uint8_t* buf, uint32_t position, int baseIndex);
uint32_t decodeRtcm1104(const uint8_t* buf, uint32_t position, int baseIndex);
