#include "formats/frames.h"

#include "core/bits.h"
#include "core/checksum.h"
#include "core/records.h"
#include "platform/console.h"

int32_t checkRtcm3Frame(const uint8_t* buf, uint32_t position, uint32_t end,
                        uint32_t& frameLength)
{
    // The bounds come first: a lone 0xD3 as the last byte held must not make
    // us read the length bytes that have not arrived yet.
    if (position >= end || end - position < rtcm3Overhead) return noFrame;
    if (buf[position] != rtcm3Preamble) return noFrame;

    // 6 reserved bits (never checked), then the 10-bit payload length.
    const uint32_t payload = (uint32_t(buf[position + 1] & 0x03) << 8) | buf[position + 2];
    if (end - position < payload + rtcm3Overhead) return noFrame;   // rest not yet received

    const uint32_t crcAt = position + 3 + payload;
    const uint32_t sent = (uint32_t(buf[crcAt]) << 16) | (uint32_t(buf[crcAt + 1]) << 8) |
                          buf[crcAt + 2];
    if (calcCrc24q(buf + position, payload + 3) != sent) return noFrame;

    // The message number is the first 12 payload bits; the cursor ends with
    // the payload, so an empty or one-byte payload cannot borrow CRC bits.
    BitCursor c = bitCursor(position + 3, crcAt);
    uint32_t number = 0;
    readBitsU32(number, 12, c, buf);
    frameLength = payload + rtcm3Overhead;
    return int32_t(number);
}

int32_t checkCmrId(const uint8_t* buf, uint32_t position, uint32_t end, uint32_t& frameLength)
{
    // STX, status, type, length, checksum, ETX: six bytes at the least.
    if (position >= end || end - position < 6) return noFrame;
    if (buf[position] != 0x02) return noFrame;

    const uint32_t n = buf[position + 3];
    if (end - position < n + 6) return noFrame;
    const uint32_t sumAt = position + 4 + n;
    uint8_t sum = 0;
    for (uint32_t i = position + 1; i < sumAt; ++i) sum = uint8_t(sum + buf[i]);
    if (buf[sumAt] != sum || buf[sumAt + 1] != 0x03) return noFrame;
    frameLength = n + 6;

    const uint8_t type = buf[position + 2];
    if (type == 0x94) return codeCmrPlus;
    if (type != 0x93) return noFrame;
    // The CMR type sits in the second data byte; a frame with fewer than two
    // data bytes has no CMR header at all.
    if (n < 2) return noFrame;
    const uint32_t t = buf[position + 5] >> 5;
    if (t > 3) return noFrame;
    if (debugPrint) consoleLine("CMR" + std::to_string(t));
    return -1 - int32_t(t);
}

// The receive buffer's size: the longest NCT frame the caster can take in.
static constexpr uint32_t nctLongestFrame = 3090;

int32_t checkNctId(const uint8_t* buf, uint32_t end, uint32_t position, uint32_t& frameLength)
{
    // Sync bytes, id and the two length bytes must be held before any is read.
    if (position >= end || end - position < 6) return noFrame;
    if (buf[position] != 0x02 || buf[position + 1] != 0x99 || buf[position + 2] != 0x66)
        return noFrame;

    const uint8_t id = buf[position + 3];
    const uint32_t len = uint32_t(buf[position + 4]) | (uint32_t(buf[position + 5]) << 8);
    // Only the caster's own kinds, and only lengths such a frame can have: at
    // least its header, XOR and ETX, and never more than a receive buffer
    // holds (a frame that can never arrive would otherwise be waited for).
    if (id != 0x5B && id != 0x5C && id != 0x5D && id != 0x5E && id != 0x61) return noFrame;
    if (len < 4 || len + 4 > nctLongestFrame) return noFrame;
    frameLength = len + 4;
    if (end - position < len + 4) {
        consoleLine("NCTID invalid length");
        return noFrame;
    }
    if (buf[position + len + 3] != 0x03) return noFrame;
    uint8_t x = 0;
    for (uint32_t i = position + 3; i <= position + len + 1; ++i) x ^= buf[i];
    if (x != buf[position + len + 2]) return noFrame;

    switch (id) {
    case 0x5B: return codeNct5B;
    case 0x5C: return codeNct5C;
    case 0x5D: return codeNct5D;
    case 0x5E: return codeNct5E;
    case 0x61: return codeNct61;
    default: return noFrame;
    }
}

bool checkNct5D(const uint8_t* buf, uint32_t position, uint32_t frameLength)
{
    // Header, XOR and ETX: a shorter frame has no checksum to test.
    if (frameLength < 5) {
        consoleLine("checksum error 5D");
        return false;
    }
    uint8_t x = 0;
    for (uint32_t i = position + 3; i <= position + frameLength - 3; ++i) x ^= buf[i];
    if (x != buf[position + frameLength - 2]) {
        consoleLine("checksum error 5D");
        return false;
    }
    // The CRC covers offsets 6..39 and sits in 40 (high) and 41 (low); a
    // frame too short to hold it cannot pass.
    if (frameLength < 42) {
        consoleLine("CRC error 5D");
        return false;
    }
    const uint16_t crc = calcCrc16Xmodem(buf, position + 6, position + 40);
    const uint16_t sent = uint16_t((buf[position + 40] << 8) | buf[position + 41]);
    if (crc != sent) {
        consoleLine("CRC error 5D");
        return false;
    }
    return true;
}
