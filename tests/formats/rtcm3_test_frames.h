#pragma once
// Test-side tools for RTCM 3: build frames field by field, and cut the
// frames of a recording apart the way the base data thread finds them.

#include <cstdint>
#include <vector>

#include "core/bits.h"
#include "core/checksum.h"
#include "formats/frames.h"

// Writes payload fields MSB first.
struct PayloadWriter {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1100, 0);
    BitCursor c = bitCursor(0, 1100);
    PayloadWriter& u(int n, uint64_t v)
    {
        writeBits64(bytes.data(), c, n, int64_t(v));
        return *this;
    }
    PayloadWriter& s(int n, int64_t v)
    {
        writeBits64(bytes.data(), c, n, v);
        return *this;
    }
    PayloadWriter& byte(uint8_t v) { return u(8, v); }
    PayloadWriter& text(const char* t)
    {
        for (; *t; ++t) byte(uint8_t(*t));
        return *this;
    }
    std::vector<uint8_t> payload() const
    {
        const size_t n = c.byteIndex + (c.bitIndex != 7 ? 1 : 0);
        return std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(n));
    }
};

// 0xD3, length, payload, CRC-24Q.
inline std::vector<uint8_t> rtcmFrame(const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> f(payload.size() + 6, 0);
    f[0] = 0xD3;
    f[1] = uint8_t((payload.size() >> 8) & 0x03);
    f[2] = uint8_t(payload.size() & 0xFF);
    for (size_t i = 0; i < payload.size(); ++i) f[3 + i] = payload[i];
    appendCrc24q(f.data(), payload.size() + 3);
    return f;
}

inline std::vector<uint8_t> rtcmFrame(const PayloadWriter& w) { return rtcmFrame(w.payload()); }

struct FoundFrame {
    uint32_t offset = 0;
    int32_t number = 0;
    uint32_t length = 0;
};

// Every RTCM 3 frame of a recording in order, stepping one byte where none starts.
inline std::vector<FoundFrame> rtcmFrames(const std::vector<uint8_t>& data)
{
    std::vector<FoundFrame> out;
    uint32_t i = 0;
    const uint32_t end = uint32_t(data.size());
    while (i < end) {
        uint32_t len = 0;
        const int32_t code = checkRtcm3Frame(data.data(), i, end, len);
        if (code == noFrame) {
            ++i;
            continue;
        }
        out.push_back({i, code, len});
        i += len;
    }
    return out;
}

// The n-th (0-based) frame of a message number, as its own byte vector.
inline std::vector<uint8_t> nthFrame(const std::vector<uint8_t>& data, int32_t number, int n = 0)
{
    for (const FoundFrame& f : rtcmFrames(data))
        if (f.number == number && n-- == 0)
            return std::vector<uint8_t>(data.begin() + f.offset, data.begin() + f.offset + f.length);
    return {};
}
