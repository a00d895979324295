#pragma once
// The ionospheric-correction messages of one iMAC rover: the master base's
// per-satellite ionospheric values replaced by values interpolated at the
// rover's position from the master and its usable auxiliary bases, as BINR
// 69h (GPS or GLONASS) and NCT 5B (GPS). An auxiliary base counts for a
// satellite when it passes the quadrant check and holds the satellite at
// the master's epoch. The records are read as they stood after one decode.
// Run on the rover streaming thread.

#include <cstdint>

// BINR 69h; `buffer` holds binrMaxFrameBytes. Returns the frame length, 0
// when the client has no master base (nothing written).
int encodeBinr69GpsImac(int clientIndex, uint8_t* buffer);
int encodeBinr69GloImac(int clientIndex, uint8_t* buffer);

// NCT 5B in output mode `mode`; `buffer` holds 1029 bytes. Returns the frame
// length, 0 when the client has no master base.
int encodeNct5BImac(uint8_t* buffer, int clientIndex, uint32_t mode);
