#pragma once
// Walks a recorded RTCM 3 stream frame by frame (0xD3, 10-bit length,
// CRC-24Q), so tests can pick frames out of the real recordings without
// depending on the caster's own recogniser.

#include <cstdint>
#include <vector>

#include "core/checksum.h"

struct RtcmWalkFrame {
    uint32_t offset = 0;          // first byte (0xD3) in the stream
    uint32_t length = 0;          // whole frame, header to CRC
    uint32_t messageNumber = 0;
};

// Every frame with a valid CRC, in stream order; bytes that start no valid
// frame are stepped over one at a time.
inline std::vector<RtcmWalkFrame> walkRtcmFrames(const std::vector<uint8_t>& data)
{
    std::vector<RtcmWalkFrame> frames;
    size_t i = 0;
    while (i + 6 <= data.size()) {
        if (data[i] != 0xD3) {
            ++i;
            continue;
        }
        size_t payload = (size_t(data[i + 1] & 0x03) << 8) | data[i + 2];
        size_t length = payload + 6;
        if (payload < 2 || i + length > data.size() || !checkCrc24q(&data[i], length)) {
            ++i;
            continue;
        }
        RtcmWalkFrame f;
        f.offset = uint32_t(i);
        f.length = uint32_t(length);
        f.messageNumber = (uint32_t(data[i + 3]) << 4) | (data[i + 4] >> 4);
        frames.push_back(f);
        i += length;
    }
    return frames;
}

// The first frame of a message number at or after frame index `from`, or -1.
inline int findRtcmFrame(const std::vector<RtcmWalkFrame>& frames, uint32_t messageNumber,
                         size_t from = 0)
{
    for (size_t k = from; k < frames.size(); ++k)
        if (frames[k].messageNumber == messageNumber) return int(k);
    return -1;
}
