#pragma once
// What every RTCM 3 decoder does first: find the payload of a frame that
// checkRtcm3Frame accepted, and hold the base's station id.

#include <cstdint>

#include "core/bits.h"

struct BaseStation;

// Payload length L from the frame header at buf[position].
uint32_t rtcm3PayloadLength(const uint8_t* buf, uint32_t position);

// Cursor over the payload only (8 x L bits), starting at the message number;
// a read past the payload sets `overrun`.
BitCursor rtcm3PayloadCursor(const uint8_t* buf, uint32_t position);

// The station id latch: a base whose stationId is 0 takes the message's id;
// a message with another id is refused and clears stationId, so that the
// base's next message fixes it anew. `mismatchText` is printed (debug only)
// when refused; with `withId` the message's id follows it.
bool acceptStationId(BaseStation& b, uint16_t messageStationId, const char* mismatchText,
                     bool withId);
