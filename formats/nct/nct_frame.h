#pragma once
// The NCT binary envelope shared by the builders and the decoders:
//   02 99 66, id, length L (16 bits, LSB first; the frame is L + 4 bytes),
//   data, CRC-16/XMODEM of the data (where the message has one), trailer
//   bytes of some messages, XOR of bytes 3 .. L + 1, ETX 03.
// Integers inside the frames are little-endian unless a field says otherwise.

#include <cstdint>
#include <cstring>

namespace nct {

constexpr uint8_t sync0 = 0x02, sync1 = 0x99, sync2 = 0x66, etx = 0x03;
constexpr uint8_t id5B = 0x5B, id5C = 0x5C, id5D = 0x5D, id5E = 0x5E, id61 = 0x61;
// The data, and the CRC over it, start here.
constexpr uint32_t dataStart = 6;

inline uint32_t readU16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t readU24(const uint8_t* p) { return readU16(p) | uint32_t(p[2]) << 16; }
inline uint32_t readU32(const uint8_t* p) { return readU24(p) | uint32_t(p[3]) << 24; }
inline int32_t readS16(const uint8_t* p) { return int16_t(uint16_t(readU16(p))); }
inline int32_t readS24(const uint8_t* p)
{
    uint32_t v = readU24(p);
    return (v & 0x800000u) ? int32_t(v) - 0x1000000 : int32_t(v);
}
inline int32_t readS32(const uint8_t* p) { return int32_t(readU32(p)); }

inline void writeU16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void writeU24(uint8_t* p, uint32_t v)
{
    writeU16(p, v);
    p[2] = uint8_t(v >> 16);
}
inline void writeU32(uint8_t* p, uint32_t v)
{
    writeU24(p, v);
    p[3] = uint8_t(v >> 24);
}
inline void writeF64(uint8_t* p, double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(bits >> (8 * i));
}

// XOR of frame bytes [from, to).
inline uint8_t xorRange(const uint8_t* f, uint32_t from, uint32_t to)
{
    uint8_t x = 0;
    for (uint32_t i = from; i < to; ++i) x ^= f[i];
    return x;
}

// The XOR byte (at len - 2) over bytes 3 .. len - 3 of a frame of len bytes.
inline bool xorMatches(const uint8_t* f, uint32_t len)
{
    return len >= 6 && xorRange(f, 3, len - 2) == f[len - 2];
}

}  // namespace nct
