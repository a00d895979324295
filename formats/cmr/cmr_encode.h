#pragma once
// CMR frames built from a base's decoded epoch, for rovers that want CMR
// while the base sends something else: type 0 (GPS observations), type 1
// (station coordinates), type 2 (station description) and type 3 (GLONASS
// observations).
//
// Frame: STX 0x02, status 0x00, type 0x93, data length N, N data bytes
// packed most significant bit first, the 8-bit sum of bytes 1 .. N+3, ETX.

#include <cstdint>

constexpr uint8_t cmrStx = 0x02;
constexpr uint8_t cmrEtx = 0x03;
constexpr uint8_t cmrTypeByte = 0x93;
constexpr uint8_t cmrPlusTypeByte = 0x94;
// The length byte bounds the data; the frame adds six envelope bytes.
constexpr int cmrMaxDataBytes = 255;
constexpr int cmrMaxFrameBytes = cmrMaxDataBytes + 6;
constexpr int cmrHeaderBytes = 6;
// An observation block: 64 bits of L1, 56 more when L2 follows.
constexpr int cmrL1BlockBytes = 8;
constexpr int cmrL2BlockBytes = 7;
constexpr int cmrType1FrameBytes = 31;
constexpr int cmrType2FrameBytes = 87;

// The 18-bit epoch field: GPS milliseconds of week modulo 240 s, and the
// GLONASS time of day moved three hours back (to UTC) modulo 240 s.
uint32_t cmrGpsEpochField(uint32_t gpsTowMs);
uint32_t cmrGloEpochField(uint32_t gloTodMs);
// The base's station id folded into the five bits CMR has for it.
uint8_t cmrStationNumber(uint16_t stationId);

// Each builder writes one whole frame into `buffer` (room for
// cmrMaxFrameBytes) and returns its length; 0 for a base index outside
// 0..9. Before returning it moves its kind's msgStamp into msgPrevRxTime;
// the caller stores the frame with its new stamp.
//
// Types 0 and 3 hold as many satellites as the length byte allows, in slot
// order; the satellite count field tells the blocks actually written.
int encodeCmr0(uint8_t* buffer, int baseIndex);
int encodeCmr1(uint8_t* buffer, int baseIndex);   // always 31 bytes
int encodeCmr2(uint8_t* buffer, int baseIndex);   // always 87 bytes
int encodeCmr3(uint8_t* buffer, int baseIndex);

struct ObsEpoch;
// Types 0 and 3 from any epoch (a base's own, or a master's moved to a
// rover). Type 0 scales its carriers by each entry's cmrConvL1/cmrConvL2.
int writeCmr0(uint8_t* buffer, const ObsEpoch& epoch);
int writeCmr3(uint8_t* buffer, const ObsEpoch& epoch);
