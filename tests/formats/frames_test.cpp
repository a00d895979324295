// Frame recognisers: real recordings, frames cut at every byte, corrupted
// frames, and buffers sized exactly so that a read past the held bytes shows
// up under the sanitizers.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/base_station.h"
#include "core/records.h"
#include "formats/frames.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/console.h"
#include "rtcm3_test_frames.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t untouched = 0xDEADBEEF;

std::map<int32_t, int> countKinds(const std::vector<FoundFrame>& frames)
{
    std::map<int32_t, int> n;
    for (const FoundFrame& f : frames) ++n[f.number];
    return n;
}

}  // namespace

TEST(Rtcm3Frame, RecordingsSplitIntoTheirFrames)
{
    // Counts as the data README lists them (and an independent scan in Python).
    const auto glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    ASSERT_FALSE(glo.empty());
    const auto frames = rtcmFrames(glo);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].offset, 58u);   // the recording starts inside a frame
    EXPECT_EQ(frames[0].number, 1005);
    EXPECT_EQ(frames.size(), 429u);
    const std::map<int32_t, int> want{{1004, 186}, {1012, 186}, {1005, 19}, {1019, 19}, {1020, 19}};
    EXPECT_EQ(countKinds(frames), want);

    // Kinds the caster does not decode (MSM6/7 of every system, 1009/1010,
    // 1029, 1042, 1045/1046, 1230) are found whole, so the scan steps over
    // them in one go: the 35 frames tile the file exactly.
    const auto mixed = readFileBytes(dataPath("rtcm3/mixed-kinds.rtcm3"));
    const auto mixedFrames = rtcmFrames(mixed);
    ASSERT_EQ(mixedFrames.size(), 35u);
    uint32_t at = 0;
    std::set<int32_t> kinds;
    for (const FoundFrame& f : mixedFrames) {
        EXPECT_EQ(f.offset, at);
        at += f.length;
        kinds.insert(f.number);
    }
    EXPECT_EQ(at, mixed.size());
    EXPECT_EQ(kinds.size(), 35u);
    EXPECT_TRUE(kinds.count(1077) && kinds.count(1137) && kinds.count(1230));

    const auto gmsd = countKinds(rtcmFrames(readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"))));
    const std::map<int32_t, int> wantGmsd{{1074, 106}, {1084, 106}, {1114, 106}, {1124, 106},
                                          {1007, 11},  {1008, 11},  {1033, 11},  {1019, 6},
                                          {1020, 6}};
    EXPECT_EQ(gmsd, wantGmsd);
}

TEST(Rtcm3Frame, FrameArrivingInTwoReceives)
{
    const auto glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    const auto frame = nthFrame(glo, 1004);
    ASSERT_EQ(frame.size(), 186u);
    // Every cut, down to the lone preamble: nothing yet, frameLength kept.
    for (size_t held = 1; held < frame.size(); ++held) {
        std::vector<uint8_t> part(frame.begin(), frame.begin() + long(held));
        uint32_t len = untouched;
        EXPECT_EQ(checkRtcm3Frame(part.data(), 0, uint32_t(held), len), noFrame) << held;
        EXPECT_EQ(len, untouched);
    }
    // Once the last CRC byte is held, the same bytes are a frame.
    uint32_t len = untouched;
    EXPECT_EQ(checkRtcm3Frame(frame.data(), 0, uint32_t(frame.size()), len), 1004);
    EXPECT_EQ(len, 186u);
    // A position at or past the end reads nothing.
    EXPECT_EQ(checkRtcm3Frame(frame.data(), 186, 186, len), noFrame);
    EXPECT_EQ(checkRtcm3Frame(frame.data(), 200, 186, len), noFrame);
}

TEST(Rtcm3Frame, EmptyAndLargestPayloads)
{
    // L = 0: six bytes, and no payload bits to make a message number from.
    const auto empty = rtcmFrame(std::vector<uint8_t>{});
    ASSERT_EQ(empty.size(), 6u);
    uint32_t len = untouched;
    EXPECT_EQ(checkRtcm3Frame(empty.data(), 0, 6, len), 0);
    EXPECT_EQ(len, 6u);

    // L = 1: the number's low four bits are missing, not taken from the CRC.
    const auto one = rtcmFrame(std::vector<uint8_t>{0x3F});
    EXPECT_EQ(checkRtcm3Frame(one.data(), 0, uint32_t(one.size()), len), 1008);
    EXPECT_EQ(len, 7u);
    // ... and a handled number in a frame that short is refused by its decoder.
    initGlobals();
    EXPECT_FALSE(decodeRtcm1008(one.data(), 0, 0));
    EXPECT_EQ(baseStation[0].antennaDescriptor, "GPPNULLANTENNA");

    // L = 1023: the largest frame, 1029 bytes.
    PayloadWriter w;
    w.u(12, 4094);
    std::vector<uint8_t> payload = w.payload();
    payload.resize(1023, 0xA5);
    const auto big = rtcmFrame(payload);
    ASSERT_EQ(big.size(), 1029u);
    EXPECT_EQ(checkRtcm3Frame(big.data(), 0, 1029, len), 4094);
    EXPECT_EQ(len, 1029u);
    EXPECT_EQ(checkRtcm3Frame(big.data(), 0, 1028, len), noFrame);
}

TEST(Rtcm3Frame, CorruptionAndNeighbours)
{
    const auto glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    const auto a = nthFrame(glo, 1005);
    const auto b = nthFrame(glo, 1012);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());

    // Two frames back to back, behind a stray 0xD3 whose "CRC" cannot match.
    std::vector<uint8_t> buf{0xD3};
    buf.insert(buf.end(), a.begin(), a.end());
    buf.insert(buf.end(), b.begin(), b.end());
    uint32_t len = untouched;
    EXPECT_EQ(checkRtcm3Frame(buf.data(), 0, uint32_t(buf.size()), len), noFrame);
    EXPECT_EQ(len, untouched);
    EXPECT_EQ(checkRtcm3Frame(buf.data(), 1, uint32_t(buf.size()), len), 1005);
    EXPECT_EQ(len, a.size());
    EXPECT_EQ(checkRtcm3Frame(buf.data(), 1 + len, uint32_t(buf.size()), len), 1012);
    EXPECT_EQ(len, b.size());

    // One flipped bit anywhere (length, payload or CRC) and it is not a frame.
    for (size_t i = 1; i < a.size(); ++i) {
        auto bad = a;
        bad[i] ^= 0x10;
        len = untouched;
        EXPECT_EQ(checkRtcm3Frame(bad.data(), 0, uint32_t(bad.size()), len), noFrame) << i;
        EXPECT_EQ(len, untouched);
    }
}

namespace {

// STX, status, type, N, data, 8-bit sum of bytes 1..N+3, ETX.
std::vector<uint8_t> cmrFrame(uint8_t type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> f{0x02, 0x00, type, uint8_t(data.size())};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum = uint8_t(sum + f[i]);
    f.push_back(sum);
    f.push_back(0x03);
    return f;
}

// 02 99 66 id, length L (frame = L + 4), data, XOR of bytes 3..L+1, ETX.
std::vector<uint8_t> nctFrame(uint8_t id, const std::vector<uint8_t>& data)
{
    const size_t l = data.size() + 4;
    std::vector<uint8_t> f{0x02, 0x99, 0x66, id, uint8_t(l & 0xFF), uint8_t(l >> 8)};
    f.insert(f.end(), data.begin(), data.end());
    uint8_t x = 0;
    for (size_t i = 3; i < f.size(); ++i) x ^= f[i];
    f.push_back(x);
    f.push_back(0x03);
    return f;
}

}  // namespace

TEST(CmrFrame, TypesSumAndEtx)
{
    initGlobals();
    uint32_t len = untouched;
    for (uint8_t t = 0; t < 8; ++t) {
        const auto f = cmrFrame(0x93, {0x40, uint8_t(t << 5), 0x11, 0x22});
        len = untouched;
        const int32_t code = checkCmrId(f.data(), 0, uint32_t(f.size()), len);
        EXPECT_EQ(code, t < 4 ? -1 - t : noFrame) << int(t);
        EXPECT_EQ(len, 10u);   // written even for the refused types 4..7
    }
    // CMR+ whatever its data.
    const auto plus = cmrFrame(0x94, {0xFF, 0xFF, 0xFF});
    EXPECT_EQ(checkCmrId(plus.data(), 0, uint32_t(plus.size()), len), codeCmrPlus);
    EXPECT_EQ(len, 9u);

    auto f = cmrFrame(0x93, {0x40, 0x20, 0x00});
    f[5] ^= 1;   // sum no longer matches
    len = untouched;
    EXPECT_EQ(checkCmrId(f.data(), 0, uint32_t(f.size()), len), noFrame);
    EXPECT_EQ(len, untouched);
    f = cmrFrame(0x93, {0x40, 0x20, 0x00});
    f.back() = 0x04;   // no ETX
    EXPECT_EQ(checkCmrId(f.data(), 0, uint32_t(f.size()), len), noFrame);
    f = cmrFrame(0x92, {0x40, 0x20, 0x00});   // neither CMR nor CMR+
    EXPECT_EQ(checkCmrId(f.data(), 0, uint32_t(f.size()), len), noFrame);
    // Too few data bytes to hold the CMR type: no CMR frame.
    f = cmrFrame(0x93, {0x40});
    EXPECT_EQ(checkCmrId(f.data(), 0, uint32_t(f.size()), len), noFrame);

    // Every cut of a frame is incomplete; exact-size buffers catch over-reads.
    const auto whole = cmrFrame(0x93, {0x40, 0x60, 0x01, 0x02, 0x03});
    for (size_t held = 1; held < whole.size(); ++held) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + long(held));
        EXPECT_EQ(checkCmrId(part.data(), 0, uint32_t(held), len), noFrame) << held;
    }
    EXPECT_EQ(checkCmrId(whole.data(), 0, uint32_t(whole.size()), len), codeCmr3);

    // Debug mode names the type.
    debugPrint = true;
    consoleCaptureStart();
    checkCmrId(whole.data(), 0, uint32_t(whole.size()), len);
    EXPECT_EQ(consoleCaptureStop(), "CMR3\n");
    debugPrint = false;
}

TEST(NctFrame, IdsChecksAndIncompleteFrames)
{
    const uint8_t ids[] = {0x5B, 0x5C, 0x5D, 0x5E, 0x61};
    uint32_t len = untouched;
    for (int i = 0; i < 5; ++i) {
        const auto f = nctFrame(ids[i], {1, 2, 3, 4, 5});
        EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 0, len), -20 - i);
        EXPECT_EQ(len, f.size());
    }
    auto f = nctFrame(0x60, {1, 2, 3});
    EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 0, len), noFrame);
    f = nctFrame(0x5E, {1, 2, 3});
    f[7] ^= 0x80;   // XOR no longer matches
    EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 0, len), noFrame);
    f = nctFrame(0x5E, {1, 2, 3});
    f.back() = 0;   // no ETX
    EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 0, len), noFrame);

    // Lengths no frame of the caster's kinds can have are refused at once,
    // not waited for: below the header, XOR and ETX, or beyond a receive buffer.
    std::vector<uint8_t> huge = {0x02, 0x99, 0x66, 0x5E, 0xFF, 0xFF, 0x00, 0x00};
    consoleCaptureStart();
    EXPECT_EQ(checkNctId(huge.data(), uint32_t(huge.size()), 0, len), noFrame);
    EXPECT_EQ(consoleCaptureStop(), "");
    std::vector<uint8_t> tiny = {0x02, 0x99, 0x66, 0x5E, 0x02, 0x00, 0x5E, 0x03};
    EXPECT_EQ(checkNctId(tiny.data(), uint32_t(tiny.size()), 0, len), noFrame);
    std::vector<uint8_t> otherKind = {0x02, 0x99, 0x66, 0x42, 0xFF, 0x0F};
    consoleCaptureStart();
    EXPECT_EQ(checkNctId(otherKind.data(), uint32_t(otherKind.size()), 0, len), noFrame);
    EXPECT_EQ(consoleCaptureStop(), "");

    // Behind other bytes (note the end before the position).
    f = nctFrame(0x5B, {9, 9});
    f.insert(f.begin(), {0x00, 0x02, 0x99});
    EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 3, len), codeNct5B);
    EXPECT_EQ(checkNctId(f.data(), uint32_t(f.size()), 1, len), noFrame);

    // A frame not yet whole is reported; a header not yet whole is not even read.
    const auto whole = nctFrame(0x5E, {1, 2, 3, 4});
    for (size_t held = 1; held < whole.size(); ++held) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + long(held));
        len = untouched;
        consoleCaptureStart();
        EXPECT_EQ(checkNctId(part.data(), uint32_t(held), 0, len), noFrame);
        const std::string out = consoleCaptureStop();
        if (held < 6) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(len, untouched);
        } else {
            EXPECT_EQ(out, "NCTID invalid length\n");
            EXPECT_EQ(len, whole.size());
        }
    }
}

TEST(NctFrame, Check5D)
{
    // 5D: CRC-16/XMODEM of offsets 6..39 in bytes 40 (high) and 41, then XOR and ETX.
    std::vector<uint8_t> data(36);
    for (size_t i = 0; i < 34; ++i) data[i] = uint8_t(i * 7 + 1);
    const uint16_t crc = calcCrc16Xmodem(data.data(), 0, 34);
    data[34] = uint8_t(crc >> 8);
    data[35] = uint8_t(crc & 0xFF);
    const auto good = nctFrame(0x5D, data);
    ASSERT_EQ(good.size(), 44u);
    uint32_t len = 0;
    ASSERT_EQ(checkNctId(good.data(), 44, 0, len), codeNct5D);

    consoleCaptureStart();
    EXPECT_TRUE(checkNct5D(good.data(), 0, 44));
    EXPECT_EQ(consoleCaptureStop(), "");

    auto bad = good;
    bad[42] ^= 1;
    consoleCaptureStart();
    EXPECT_FALSE(checkNct5D(bad.data(), 0, 44));
    EXPECT_EQ(consoleCaptureStop(), "checksum error 5D\n");

    auto badCrc = data;
    badCrc[35] ^= 1;
    bad = nctFrame(0x5D, badCrc);   // XOR right, CRC wrong
    consoleCaptureStart();
    EXPECT_FALSE(checkNct5D(bad.data(), 0, 44));
    EXPECT_EQ(consoleCaptureStop(), "CRC error 5D\n");

    // A 5D too short to hold its CRC fails without reading past its end.
    const auto shortFrame = nctFrame(0x5D, {1, 2, 3});
    consoleCaptureStart();
    EXPECT_FALSE(checkNct5D(shortFrame.data(), 0, uint32_t(shortFrame.size())));
    EXPECT_EQ(consoleCaptureStop(), "CRC error 5D\n");
}
