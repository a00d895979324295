#include "core/bits.h"

uint64_t bitsRemaining(const BitCursor& c)
{
    if (c.byteIndex >= c.endByte) return 0;
    return uint64_t(c.endByte - c.byteIndex - 1) * 8 + c.bitIndex + 1;
}

static inline void advance(BitCursor& c)
{
    if (c.bitIndex == 0) {
        c.bitIndex = 7;
        ++c.byteIndex;
    } else {
        --c.bitIndex;
    }
}

// Reads n (0..64) bits as an unsigned value.
static uint64_t readRaw(int n, BitCursor& c, const uint8_t* buf)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        unsigned bit = 0;
        if (c.byteIndex < c.endByte) {
            bit = (buf[c.byteIndex] >> c.bitIndex) & 1u;
        } else {
            c.overrun = true;
        }
        v = (v << 1) | bit;
        advance(c);
    }
    return v;
}

static void writeRaw(uint8_t* buf, BitCursor& c, int n, uint64_t value)
{
    for (int i = n - 1; i >= 0; --i) {
        if (c.byteIndex < c.endByte) {
            uint8_t mask = uint8_t(1u << c.bitIndex);
            if ((value >> i) & 1u)
                buf[c.byteIndex] |= mask;
            else
                buf[c.byteIndex] &= uint8_t(~mask);
        } else {
            c.overrun = true;
        }
        advance(c);
    }
}

// An unsigned reader asked for more than its width still moves by n and
// keeps the low bits.
template <typename T>
static void readUnsigned(T& out, int n, BitCursor& c, const uint8_t* buf)
{
    out = 0;
    if (n <= 0) return;
    if (n > 64) n = 64;
    out = static_cast<T>(readRaw(n, c, buf));
}

// Signed readers take at least the sign bit and at most their width.
template <typename T>
static void readSigned(T& out, int n, BitCursor& c, const uint8_t* buf)
{
    constexpr int width = int(sizeof(T) * 8);
    if (n < 1) n = 1;
    if (n > width) n = width;
    uint64_t raw = readRaw(n, c, buf);
    if (n < 64 && ((raw >> (n - 1)) & 1u)) raw |= ~uint64_t(0) << n;
    out = static_cast<T>(static_cast<int64_t>(raw));
}

void readBitsU32(uint32_t& out, int n, BitCursor& c, const uint8_t* buf) { readUnsigned(out, n, c, buf); }
void readBitsU16(uint16_t& out, int n, BitCursor& c, const uint8_t* buf) { readUnsigned(out, n, c, buf); }
void readBitsU8(uint8_t& out, int n, BitCursor& c, const uint8_t* buf) { readUnsigned(out, n, c, buf); }
void readBitsU64(uint64_t& out, int n, BitCursor& c, const uint8_t* buf) { readUnsigned(out, n, c, buf); }
void readBitsI32(int32_t& out, int n, BitCursor& c, const uint8_t* buf) { readSigned(out, n, c, buf); }
void readBitsI16(int16_t& out, int n, BitCursor& c, const uint8_t* buf) { readSigned(out, n, c, buf); }
void readBitsI8(int8_t& out, int n, BitCursor& c, const uint8_t* buf) { readSigned(out, n, c, buf); }
void readBitsI64(int64_t& out, int n, BitCursor& c, const uint8_t* buf) { readSigned(out, n, c, buf); }

static void writeLimited(uint8_t* buf, BitCursor& c, int n, int largest, uint64_t value)
{
    if (n <= 0) return;
    if (n > largest) n = largest;
    writeRaw(buf, c, n, value);
}

void writeBits8(uint8_t* buf, BitCursor& c, int n, uint8_t value) { writeLimited(buf, c, n, 8, value); }
void writeBitsU16(uint8_t* buf, BitCursor& c, int n, uint16_t value) { writeLimited(buf, c, n, 16, value); }
void writeBitsI16(uint8_t* buf, BitCursor& c, int n, int16_t value) { writeLimited(buf, c, n, 16, uint64_t(int64_t(value))); }
void writeBitsU32(uint8_t* buf, BitCursor& c, int n, uint32_t value) { writeLimited(buf, c, n, 32, value); }
void writeBitsI32(uint8_t* buf, BitCursor& c, int n, int32_t value) { writeLimited(buf, c, n, 32, uint64_t(int64_t(value))); }
void writeBits64(uint8_t* buf, BitCursor& c, int n, int64_t value) { writeLimited(buf, c, n, 64, uint64_t(value)); }
