#pragma once
// CMR and CMR+ frames from a base: CMR type 0 (GPS L1/L2 observations) into
// the base's GPS entries, CMR type 1 and the three CMR+ station pages into
// its position. With the store flag clear (the base also sends the RTCM
// messages with the same content) only the CMR-specific fields are written.

#include <cstdint>

// The frame starts at `position` and is `length` bytes long (the
// recogniser's frame length). True when a type 0 or type 1 message was
// decoded; false for other types, for a frame too short for the fields it
// announces, and for a type 0 epoch older than the base's last one.
bool decodeCmr(const uint8_t* buffer, uint32_t position, uint32_t length, bool store,
               int baseIndex);

// A CMR+ station page at `position`; `end` is one past the last byte the
// caller holds. True for pages 1, 2 and 3.
bool decodeCmrPlusStationPage(const uint8_t* buffer, uint32_t position, uint32_t end, bool store,
                              int baseIndex);

// The 18-bit CMR epoch (ms modulo 240 s) as a GPS time of week: the
// multiple of 240 s that puts it nearest `referenceTowMs`, within the week.
uint32_t extendCmrEpoch(uint32_t epochField, uint32_t referenceTowMs);
// The reference for that: the program-wide GPS time, or the PC clock's
// GPS time of week while nothing has set it yet.
uint32_t cmrReferenceTowMs();

// The dB-Hz value a 4-bit CMR signal-to-noise code stands for (inside the
// band that encodes to the same code).
float cmrSnrToCn0(uint8_t code);
