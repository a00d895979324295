#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/bits.h"
#include "core/checksum.h"
#include "support/test_support.h"

namespace {
const std::vector<uint8_t> frame1005 = hexBytes(
    "D3 00 13 3E D7 D3 02 02 98 0E DE EF 34 B4 BD 62 AC 09 41 98 6F 33 36 0B 98");
}

TEST(Checksum, KnownVectors)
{
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(calcCrc24q(text, 9), 0xCDE703u);
    EXPECT_EQ(calcCrc24q(text, 0), 0u);
    EXPECT_EQ(calcCrc16Xmodem(text, 0, 9), 0x31C3u);
    EXPECT_EQ(calcCrc16Xmodem(text, 5, 5), 0u);
    EXPECT_EQ(calcCrc16Xmodem(text, 6, 2), 0u);

    // The RTCM 1005 example frame checks, and any flipped bit breaks it.
    EXPECT_TRUE(checkCrc24q(frame1005.data(), frame1005.size()));
    std::vector<uint8_t> bad = frame1005;
    bad[10] ^= 0x04;
    EXPECT_FALSE(checkCrc24q(bad.data(), bad.size()));

    uint8_t buf[6] = {0xD3, 0x00, 0x00, 0xAA, 0xAA, 0xAA};
    uint32_t crc = appendCrc24q(buf, 3);
    EXPECT_EQ(crc, calcCrc24q(buf, 3));
    EXPECT_EQ(buf[3], uint8_t(crc >> 16));
    EXPECT_EQ(buf[5], uint8_t(crc));
    EXPECT_TRUE(checkCrc24q(buf, 6));
}

TEST(Bits, ReadsHeaderFieldsOfARealFrame)
{
    BitCursor c = bitCursor(0, uint32_t(frame1005.size()));
    uint32_t v = 0;
    readBitsU32(v, 12, c, frame1005.data());
    EXPECT_EQ(v, 0xD30u);
    EXPECT_EQ(c.byteIndex, 1u);
    EXPECT_EQ(c.bitIndex, 3u);

    c = bitCursor(3, uint32_t(frame1005.size()));
    readBitsU32(v, 12, c, frame1005.data());
    EXPECT_EQ(v, 1005u);
    readBitsU32(v, 12, c, frame1005.data());
    EXPECT_EQ(v, 2003u);   // station id of the example
    EXPECT_FALSE(c.overrun);
}

TEST(Bits, SignedReadsAndWideWrites)
{
    uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    BitCursor c = bitCursor(0, 4);
    int32_t s = 0;
    readBitsI32(s, 22, c, ones);
    EXPECT_EQ(s, -1);

    uint8_t sign[3] = {0x80, 0x00, 0x00};
    c = bitCursor(0, 3);
    readBitsI32(s, 22, c, sign);
    EXPECT_EQ(s, -2097152);

    uint8_t out[8] = {};
    c = bitCursor(0, 8);
    writeBits64(out, c, 37, -1);
    BitCursor r = bitCursor(0, 8);
    uint64_t u = 0;
    readBitsU64(u, 37, r, out);
    EXPECT_EQ(u, (uint64_t(1) << 37) - 1);

    uint8_t out2[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    c = bitCursor(0, 8);
    writeBits64(out2, c, 37, (int64_t(1) << 36) + 1);
    r = bitCursor(0, 8);
    readBitsU64(u, 37, r, out2);
    EXPECT_EQ(u, (uint64_t(1) << 36) + 1);
    EXPECT_EQ(out2[4] & 0x07, 0x07);   // bits after the field untouched

    // A write that ends on a byte boundary leaves the cursor at the next byte.
    c = bitCursor(0, 8);
    writeBits8(out, c, 4, 0xF);
    writeBits8(out, c, 4, 0x0);
    EXPECT_EQ(c.byteIndex, 1u);
    EXPECT_EQ(c.bitIndex, 7u);
}

TEST(Bits, RandomRoundTripsIntoDirtyBuffers)
{
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        uint8_t buf[24];
        for (auto& b : buf) b = uint8_t(rng());
        const uint32_t startBit = uint32_t(rng() % 40);
        const int n = 1 + int(rng() % 64);
        const uint64_t raw = rng();
        const uint64_t mask = n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;

        uint8_t before[24];
        std::copy(buf, buf + 24, before);
        BitCursor w = bitCursor(startBit / 8, 24);
        w.bitIndex = 7 - startBit % 8;
        writeBits64(buf, w, n, int64_t(raw));

        BitCursor r = bitCursor(startBit / 8, 24);
        r.bitIndex = 7 - startBit % 8;
        uint64_t u = 0;
        readBitsU64(u, n, r, buf);
        ASSERT_EQ(u, raw & mask) << "n=" << n << " start=" << startBit;
        ASSERT_EQ(r.byteIndex, w.byteIndex);
        ASSERT_EQ(r.bitIndex, w.bitIndex);

        // Signed: sign-extended from the field's first bit.
        r = bitCursor(startBit / 8, 24);
        r.bitIndex = 7 - startBit % 8;
        int64_t s = 0;
        readBitsI64(s, n, r, buf);
        int64_t expect = int64_t(raw & mask);
        if (n < 64 && ((raw >> (n - 1)) & 1)) expect = int64_t((raw & mask) | ~mask);
        ASSERT_EQ(s, expect);

        // Bits outside the field keep their old values.
        uint32_t endBit = startBit + uint32_t(n);
        for (uint32_t bit = 0; bit < 24 * 8; ++bit) {
            if (bit >= startBit && bit < endBit) continue;
            ASSERT_EQ((buf[bit / 8] >> (7 - bit % 8)) & 1, (before[bit / 8] >> (7 - bit % 8)) & 1);
        }

        // Narrow readers and writers agree with the wide ones.
        if (n <= 32) {
            BitCursor w32 = bitCursor(startBit / 8, 24);
            w32.bitIndex = 7 - startBit % 8;
            writeBitsI32(buf, w32, n, int32_t(raw));
            BitCursor r32 = w32;
            r32 = bitCursor(startBit / 8, 24);
            r32.bitIndex = 7 - startBit % 8;
            int32_t s32 = 0;
            readBitsI32(s32, n, r32, buf);
            ASSERT_EQ(int64_t(s32), expect);
        }
    }
}

TEST(Bits, ReadsPastTheFrameEndFailInsteadOfReadingOn)
{
    uint8_t buf[4] = {0xFF, 0xFF, 0xAB, 0xCD};   // only the first 2 bytes are the frame
    BitCursor c = bitCursor(0, 2);
    uint32_t v = 0;
    readBitsU32(v, 12, c, buf);
    EXPECT_FALSE(c.overrun);
    EXPECT_EQ(bitsRemaining(c), 4u);
    readBitsU32(v, 12, c, buf);
    EXPECT_TRUE(c.overrun);
    EXPECT_EQ(v, 0xF00u);   // the missing bits read as zero, never the bytes beyond

    // Writers never touch bytes past the end.
    uint8_t out[3] = {0, 0, 0x55};
    BitCursor w = bitCursor(0, 2);
    writeBitsU32(out, w, 24, 0xFFFFFF);
    EXPECT_TRUE(w.overrun);
    EXPECT_EQ(out[2], 0x55);

    // Width rules: 0 reads nothing and does not move; a signed read takes
    // at least its sign bit.
    c = bitCursor(0, 2);
    readBitsU32(v, 0, c, buf);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(c.bitIndex, 7u);
    int8_t s8 = 0;
    readBitsI8(s8, 0, c, buf);
    EXPECT_EQ(s8, -1);
    EXPECT_EQ(c.bitIndex, 6u);
}
