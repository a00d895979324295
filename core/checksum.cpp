#include "core/checksum.h"

#include <array>

namespace {
std::array<uint32_t, 256> makeCrc24qTable()
{
    std::array<uint32_t, 256> t {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 16;
        for (int b = 0; b < 8; ++b) {
            crc <<= 1;
            if (crc & 0x1000000u) crc ^= 0x864CFBu;
        }
        t[i] = crc & 0xFFFFFFu;
    }
    return t;
}
const std::array<uint32_t, 256> crc24qTable = makeCrc24qTable();
}

uint32_t calcCrc24q(const uint8_t* data, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i)
        crc = ((crc << 8) & 0xFFFFFFu) ^ crc24qTable[((crc >> 16) ^ data[i]) & 0xFFu];
    return crc;
}

uint32_t appendCrc24q(uint8_t* data, size_t n)
{
    uint32_t crc = calcCrc24q(data, n);
    data[n] = uint8_t(crc >> 16);
    data[n + 1] = uint8_t(crc >> 8);
    data[n + 2] = uint8_t(crc);
    return crc;
}

bool checkCrc24q(const uint8_t* data, size_t n)
{
    if (n < 3) return false;
    uint32_t crc = calcCrc24q(data, n - 3);
    return data[n - 3] == uint8_t(crc >> 16) && data[n - 2] == uint8_t(crc >> 8) &&
           data[n - 1] == uint8_t(crc);
}

uint16_t calcCrc16Xmodem(const uint8_t* data, size_t start, size_t end)
{
    uint32_t crc = 0;
    for (size_t i = start; i < end; ++i) {
        uint32_t x = ((crc >> 8) ^ data[i]) & 0xFFu;
        x ^= x >> 4;
        crc = ((crc << 8) ^ (x << 12) ^ (x << 5) ^ x) & 0xFFFFu;
    }
    return uint16_t(crc);
}
