#pragma once
// Decoders of the NCT binary frames a base sends (5D is only checked, with
// checkNct5D next to the recognisers). Each takes the buffer that
// holds the frame, the index of its first byte and its whole length (L + 4),
// checks the XOR and, where the message has one, the CRC-16 of whichever
// receiver layout matches, checks that the frame holds every field it reads,
// and only then writes the base record. Frames of any length are read in
// place; nothing is copied.

#include <cstdint>

// Epoch and per-satellite issue-of-data and slip nibbles. `store` also takes
// the issue of data and epoch into the satellite entries. Returns the
// satellite count, 0 on any failure.
int decodeNct5B(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex, bool store);
// Reference station position (layouts 2000D, 2100D and 3000, told apart by
// length). False, nothing stored, for a bad frame, an unknown length or a
// position that has no geodetic conversion.
bool decodeNct5C(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex);
// GPS (2100D) or GPS + GLONASS (sf3000) observations, told apart by the byte
// order of the CRC. Returns the header's satellite count, 0 on failure.
int decodeNct5E(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex);
// Checks the XOR and logs the frame; stores nothing.
void decodeNct61(const uint8_t* buf, uint32_t pos, uint32_t len, int baseIndex);
