#pragma once
// BINR output for rovers: the reference position 6Ah and the ionospheric
// corrections 69h of a base, built per rover when sent.
//
// A BINR frame is DLE (0x10), the message id, the data, DLE, ETX (0x03). A
// data byte equal to DLE is sent twice, so that a receiver never takes it
// for the end of the frame; frame lengths therefore vary with the data.

#include <cstdint>

constexpr uint8_t binrDle = 0x10;
constexpr uint8_t binrEtx = 0x03;
// Room every BINR builder here needs in its output buffer.
constexpr int binrMaxFrameBytes = 1029;

// Frames `n` data bytes under message `id` into `out`, which needs room
// for 2 * n + 4 bytes. Returns the frame length.
int binrFrame(uint8_t id, const uint8_t* data, int n, uint8_t* out);

// 6Ah: latitude and longitude (24-bit), ellipsoidal height (16-bit, m) of
// the base. Returns the frame length (18 without doubled bytes); 0 for an
// index without a base.
int encodeBinr6A(uint8_t* buffer, int baseIndex);

// 69h: system 1 (GPS) or 2 (GLONASS): seconds within the hour and one
// 13-byte block per current satellite. Returns the frame length; 0 for an
// index without a base.
int encodeBinr69(uint8_t* buffer, int baseIndex, int system);
