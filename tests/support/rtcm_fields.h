#pragma once
// Fields of an RTCM 3 frame read straight off the bits, for tests that check
// a message against its public layout rather than with the caster's readers.

#include <cstdint>

// `n` bits (at most 64) from bit `pos` of the payload (bit 0 is the first
// after the 24-bit header), most significant first.
inline uint64_t rtcmPayloadBits(const uint8_t* frame, unsigned pos, unsigned n)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) {
        unsigned bit = 24 + pos + i;
        v = (v << 1) | ((frame[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return v;
}

// The same field as a two's complement number.
inline int64_t rtcmPayloadSigned(const uint8_t* frame, unsigned pos, unsigned n)
{
    uint64_t v = rtcmPayloadBits(frame, pos, n);
    return (v >> (n - 1)) ? int64_t(v) - (int64_t(1) << n) : int64_t(v);
}
