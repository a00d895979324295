#pragma once
// TEMPORARY: prototypes of format functions that are being added under
// formats/ in parallel. Each goes once its own header is in this tree.

#include <cstdint>

// formats/binr/binr_encode.h
int encodeBinr6A(uint8_t* buffer, int baseIndex);
int encodeBinr69(uint8_t* buffer, int baseIndex, int system);

// formats/rtcm3/rtcm3_encode.h
int encodeRtcm1013(int baseIndex, uint8_t* buffer);
