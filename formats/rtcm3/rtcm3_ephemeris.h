#pragma once
// Broadcast ephemerides from RTCM 3: 1019 (GPS) and 1020 (GLONASS) fill the
// program-wide tables gpsEphemeris and gloEphemeris, whichever base sends
// them; a newer frame replaces the slot's record.

#include <cstdint>

constexpr uint32_t rtcm1019FrameLength = 67;
constexpr uint32_t rtcm1020FrameLength = 51;

// buffer + position is the frame's first byte (0xD3); frameLength its whole
// length with the CRC. True when the record was stored. baseIndex is not used.
bool decodeRtcm1019(const uint8_t* buffer, uint32_t position, uint32_t frameLength,
                    int baseIndex);
// As 1019; the tb of the frame also goes to the gloSat entry of the base at
// baseIndex.
bool decodeRtcm1020(const uint8_t* buffer, uint32_t position, uint32_t frameLength,
                    int baseIndex);
