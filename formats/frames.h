#pragma once
// Recognisers of the binary frames a base may send: RTCM 3, CMR/CMR+ and NCT.
// The base data thread asks them in turn at each position of a receive buffer
// whether a complete, intact frame starts there. Each answers with a message
// code and, for a frame, its whole length in bytes. None changes the buffer,
// and none reads a byte at or beyond `end`.

#include <cstdint>

// Message codes shared by every recogniser.
constexpr int32_t noFrame = 255;   // nothing of this recogniser's kind here
constexpr int32_t codeCmr0 = -1, codeCmr1 = -2, codeCmr2 = -3, codeCmr3 = -4;
constexpr int32_t codeCmrPlus = -5;
constexpr int32_t codeNmeaGga = -10, codeNmeaGsv = -11;
constexpr int32_t codeNct5B = -20, codeNct5C = -21, codeNct5D = -22, codeNct5E = -23,
                  codeNct61 = -24;

constexpr uint8_t rtcm3Preamble = 0xD3;
constexpr uint32_t rtcm3Overhead = 6;   // preamble, two length bytes, three CRC bytes

// RTCM 3 frame at buf[position]: its message number (0..4095) with
// frameLength = payload length + 6, or noFrame (frameLength untouched) when
// the frame is not wholly held before `end` or its CRC-24Q does not match.
// A payload too short to hold the 12-bit message number gives the missing
// bits as 0 (an empty frame is message 0).
int32_t checkRtcm3Frame(const uint8_t* buf, uint32_t position, uint32_t end,
                        uint32_t& frameLength);

// CMR (type byte 0x93) or CMR+ (0x94) frame at buf[position]: -1..-4 for CMR
// types 0..3, -5 for CMR+, else noFrame. Once sum and ETX are right the
// frame length is written even when the type is refused.
int32_t checkCmrId(const uint8_t* buf, uint32_t position, uint32_t end, uint32_t& frameLength);

// NCT binary frame at buf[position] (note: the end comes before the
// position): -20..-24 for ids 0x5B, 0x5C, 0x5D, 0x5E, 0x61, else noFrame.
// The length from the header is written as soon as it is read.
int32_t checkNctId(const uint8_t* buf, uint32_t end, uint32_t position, uint32_t& frameLength);

// The XOR and CRC-16 checks of a kept NCT 5D frame; reports a failure on
// the console. The frame stays kept either way.
bool checkNct5D(const uint8_t* buf, uint32_t position, uint32_t frameLength);
