#pragma once
// RTCM 3.2 MSM4 builders: a base's decoded epoch as 1074 (GPS), 1084
// (GLONASS) and 1124 (BeiDou) for bases that do not send them, and, per
// rover, 1074, 1084, 1094 (Galileo) and 1124 of the rover's master base moved to
// the rover's position with the master's network gradients.
//
// An MSM message holds at most 64 cells (satellites x signals), so a large
// epoch is sent as several messages: `part` (0-based) selects which one to
// build and `partCount`, when given, receives how many the epoch needs (at
// least 1; an epoch without satellites is one message with empty masks).
// Every part but the last carries the multiple message bit; the last one
// carries it when another system's observations of the same epoch follow.
// Each part is one complete frame of at most 1029 bytes written into
// `buffer` (room for 1029 bytes); the result is its length, 0 for a part
// number beyond the count or an index without a base or master base.

#include <cstdint>

int encodeRtcm1074Base(int baseIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
int encodeRtcm1084Base(int baseIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
int encodeRtcm1124Base(int baseIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);

int encodeRtcm1074Client(int clientIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
int encodeRtcm1084Client(int clientIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
int encodeRtcm1094Client(int clientIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
int encodeRtcm1124Client(int clientIndex, uint8_t* buffer, int part = 0, int* partCount = nullptr);
