#pragma once
// MSB-first bit fields at arbitrary positions, shared by every binary format.
// The cursor knows where its frame ends: a read past the end yields 0 bits
// and marks the cursor as overrun, so a decoder can reject a short frame; a
// write past the end is dropped and marked the same way.

#include <cstdint>

struct BitCursor {
    uint32_t byteIndex = 0;
    uint32_t bitIndex = 7;            // 7 = most significant bit of the byte
    uint32_t endByte = 0xFFFFFFFFu;   // first byte index the cursor may not touch
    bool overrun = false;
};

inline BitCursor bitCursor(uint32_t byteIndex, uint32_t endByte)
{
    BitCursor c;
    c.byteIndex = byteIndex;
    c.endByte = endByte;
    return c;
}

// Bits left before the end of the frame.
uint64_t bitsRemaining(const BitCursor& c);

void readBitsU32(uint32_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsU16(uint16_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsU8(uint8_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsI32(int32_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsI16(int16_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsI8(int8_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsU64(uint64_t& out, int n, BitCursor& c, const uint8_t* buf);
void readBitsI64(int64_t& out, int n, BitCursor& c, const uint8_t* buf);

void writeBits8(uint8_t* buf, BitCursor& c, int n, uint8_t value);
void writeBitsU16(uint8_t* buf, BitCursor& c, int n, uint16_t value);
void writeBitsI16(uint8_t* buf, BitCursor& c, int n, int16_t value);
void writeBitsU32(uint8_t* buf, BitCursor& c, int n, uint32_t value);
void writeBitsI32(uint8_t* buf, BitCursor& c, int n, int32_t value);
void writeBits64(uint8_t* buf, BitCursor& c, int n, int64_t value);
