// The base stream scan and the kept messages: framing over receives, what
// is taken out and what stays, received-versus-built kinds, and real
// recordings fed through in uneven receives.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "caster/base_data_thread.h"
#include "caster/transcoding.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/checksum.h"
#include "core/records.h"
#include "formats/frames.h"
#include "platform/console.h"
#include "platform/net.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
    int number;
    Bytes bytes;
};

// Splits a recording into its RTCM 3 frames (the files hold nothing else
// apart from a few leading bytes of another stream).
std::vector<Frame> rtcmFrames(const Bytes& data)
{
    std::vector<Frame> out;
    size_t i = 0;
    while (i + 6 <= data.size()) {
        if (data[i] != 0xD3) { ++i; continue; }
        size_t len = (size_t(data[i + 1] & 3) << 8 | data[i + 2]) + 6;
        if (i + len > data.size()) break;
        out.push_back({(data[i + 3] << 4) | (data[i + 4] >> 4),
                       Bytes(data.begin() + i, data.begin() + i + len)});
        i += len;
    }
    return out;
}

const Bytes& firstFrame(const std::vector<Frame>& frames, int number)
{
    for (const Frame& f : frames)
        if (f.number == number) return f.bytes;
    static const Bytes none;
    ADD_FAILURE() << "no frame " << number;
    return none;
}

// A frame with a valid CRC whose payload starts with `number`.
Bytes syntheticRtcm(int number, uint32_t payload)
{
    Bytes f(payload + 6, 0x5A);
    f[0] = 0xD3;
    f[1] = uint8_t(payload >> 8);
    f[2] = uint8_t(payload);
    f[3] = uint8_t(number >> 4);
    f[4] = uint8_t((number & 15) << 4) | 0x05;
    appendCrc24q(f.data(), payload + 3);
    return f;
}

Bytes nmea(const std::string& body)
{
    uint8_t x = 0;
    for (char c : body) x ^= uint8_t(c);
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", x);
    std::string s = "$" + body + tail;
    return Bytes(s.begin(), s.end());
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Noise that holds none of the frame start bytes.
Bytes noise(size_t n, uint32_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        uint8_t v = uint8_t(seed >> 16);
        if (v == 0xD3 || v == 0x02 || v == '$') v = 0x11;
        out[i] = v;
    }
    return out;
}

bool keptEquals(int base, int kind, const Bytes& frame)
{
    const KeptMessage& m = baseStation[base].msg[kind];
    return m.msgLength == frame.size() && std::memcmp(m.msgBuffer, frame.data(), frame.size()) == 0;
}

// The kept frame of a kind is whole and intact for its format.
void expectIntactFrame(int base, int kind)
{
    const KeptMessage& m = baseStation[base].msg[kind];
    ASSERT_GT(m.msgLength, 0u) << msgKindName(kind);
    ASSERT_TRUE(eventIsSet(m.msgEvent)) << msgKindName(kind);
    uint32_t len = 0;
    int32_t code;
    if (kind >= kindCmr0 && kind <= kindCmr3) {
        code = checkCmrId(m.msgBuffer, 0, m.msgLength, len);
        EXPECT_EQ(code, codeCmr0 - (kind - kindCmr0)) << msgKindName(kind);
    } else if (kind >= kindNct5B && kind <= kindNct61) {
        code = checkNctId(m.msgBuffer, m.msgLength, 0, len);
        EXPECT_EQ(code, codeNct5B - (kind - kindNct5B)) << msgKindName(kind);
    } else {
        // An MSM epoch too large for one message is kept as its messages
        // back to back.
        for (uint32_t at = 0; at < m.msgLength; at += len) {
            code = checkRtcm3Frame(m.msgBuffer, at, m.msgLength, len);
            ASSERT_EQ(msgKindOfRtcm(code), kind) << msgKindName(kind) << " holds " << code;
        }
        return;
    }
    EXPECT_EQ(len, m.msgLength) << msgKindName(kind);
}

class BaseScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        initGlobals();
        consoleCaptureStart();
        for (int i = 0; i < 2; ++i) {
            baseStation[i].connected = 1;
            baseStation[i].mountpoint = "BASE" + std::to_string(i);
        }
        testglo = rtcmFrames(readFileBytes(dataPath("rtcm3/testglo.rtcm3")));
        gmsd7 = rtcmFrames(readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3")));
        ASSERT_EQ(testglo.size(), 429u);
        ASSERT_EQ(gmsd7.size(), 469u);
    }
    void TearDown() override { console = consoleCaptureStop(); }

    // One receive of `data` into base `base`, scanned at clock `clock`.
    uint32_t receive(int base, const Bytes& data, uint32_t clock, time_t now = 1000)
    {
        EXPECT_EQ(appendBaseData(base, data.data(), uint32_t(data.size())), data.size());
        return scanBaseBuffer(base, now, clock);
    }

    std::vector<Frame> testglo, gmsd7;
    std::string console;
};

}   // namespace

TEST_F(BaseScan, FramesSplitJoinedAndAmongOtherBytes)
{
    const Bytes& f1004 = firstFrame(testglo, 1004);
    const Bytes& f1012 = firstFrame(testglo, 1012);
    const Bytes& f1005 = firstFrame(testglo, 1005);
    BaseStation& b = baseStation[0];

    // A frame split over two receives is handled once, on the second.
    Bytes head(f1004.begin(), f1004.begin() + 100), tail(f1004.begin() + 100, f1004.end());
    EXPECT_EQ(receive(0, head, 100000), 0u);
    EXPECT_EQ(b.rxWriteIndex, 100u);
    EXPECT_EQ(b.msg[kind1004].msgLength, 0u);
    EXPECT_EQ(receive(0, tail, 100500), 1u);
    EXPECT_TRUE(keptEquals(0, kind1004, f1004));
    EXPECT_EQ(b.msg[kind1004].msgStamp, 100500u);
    EXPECT_EQ(b.msg[kind1004].msgRxTime, 100500u);
    EXPECT_EQ(b.rxWriteIndex, 0u);

    // Several frames in one receive, with a GSV sentence between two of them
    // and a CRC-damaged frame that is stepped over like noise.
    Bytes damaged = f1012;
    damaged[40] ^= 1;
    Bytes gsv = nmea("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00");
    EXPECT_EQ(receive(0, join({f1005, gsv, damaged, f1012, f1004}), 101000, 2000), 4u);
    EXPECT_TRUE(keptEquals(0, kind1005, f1005));
    EXPECT_TRUE(keptEquals(0, kind1012, f1012));
    EXPECT_EQ(b.msg[kind1004].msgStamp, 101000u);
    EXPECT_EQ(b.msg[kind1004].msgPrevRxTime, 100500u);
    EXPECT_EQ(b.gsvRxTime, 101000u);
    EXPECT_EQ(b.lastDataTime, 2000);
    // The line end after the GSV checksum and the damaged frame went with
    // the frames after them.
    EXPECT_EQ(b.rxWriteIndex, 0u);

    // GGA sentences and kinds nobody handles go at once, and the frames after
    // them are still found.
    b.rxWriteIndex = 0;
    Bytes gga = nmea("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    Bytes msm7 = syntheticRtcm(1077, 300);
    EXPECT_EQ(receive(0, join({gga, msm7, f1004, msm7, gga}), 102000), 1u);
    EXPECT_EQ(b.msg[kind1004].msgStamp, 102000u);
    EXPECT_EQ(b.rxWriteIndex, 2u);   // the line end of the last GGA sentence
    EXPECT_EQ(b.msg[kind1074].msgRxTime, 0u);
}

TEST_F(BaseScan, NoiseNeverCrowdsOutFrames)
{
    const Bytes& f1004 = firstFrame(testglo, 1004);
    BaseStation& b = baseStation[0];

    // A whole buffer of noise in one receive: scanned, then all but the
    // bytes that could still start a frame are dropped.
    Bytes junk = noise(rxBufferSize, 7);
    EXPECT_EQ(appendBaseData(0, junk.data(), uint32_t(junk.size())), uint32_t(rxBufferSize));
    EXPECT_EQ(appendBaseData(0, f1004.data(), 10), 0u);   // no room: nothing stored
    EXPECT_EQ(scanBaseBuffer(0, 1000, 100000), 0u);
    EXPECT_EQ(b.rxWriteIndex, uint32_t(maxFrameBytes));

    // Frames go on being found however much noise comes with them, also
    // when a frame straddles the point where the index would have wrapped
    // (3090 bytes after the start) and when its head shares a receive with
    // noise.
    uint32_t clock = 100000;
    uint32_t total = 0;
    for (int round = 0; round < 12; ++round) {
        // Each receive fits the room left after the last scan (2061 bytes).
        size_t junkSize = 1300 + 61 * round;
        Bytes stream = join({noise(junkSize, round), f1004});
        size_t cut = junkSize + 3 + 7 * round;
        Bytes first(stream.begin(), stream.begin() + cut), second(stream.begin() + cut, stream.end());
        clock += 1000;
        EXPECT_EQ(receive(0, first, clock), 0u) << round;
        EXPECT_LE(b.rxWriteIndex, uint32_t(maxFrameBytes));
        EXPECT_EQ(receive(0, second, clock + 1), 1u) << round;
        EXPECT_EQ(b.msg[kind1004].msgStamp, clock + 1) << round;
        total += uint32_t(stream.size());
    }
    EXPECT_GT(total, 3u * uint32_t(rxBufferSize));
}

TEST_F(BaseScan, FramesThatDoNotFitTheirKindAreDroppedWhole)
{
    BaseStation& b = baseStation[0];
    const Bytes& f1005 = firstFrame(testglo, 1005);
    const Bytes& f1012 = firstFrame(testglo, 1012);
    // A 1005 is 25 bytes and a 1006 27; a 1008 holds at most 116, a CMR
    // type 1 32.
    Bytes long1005 = syntheticRtcm(1005, 21);
    Bytes short1006 = syntheticRtcm(1006, 19);
    Bytes long1008 = syntheticRtcm(1008, 200);
    Bytes cmr1(40, 0);
    cmr1[0] = 0x02;
    cmr1[2] = 0x93;
    cmr1[3] = uint8_t(cmr1.size() - 6);
    cmr1[5] = 1 << 5;
    uint8_t sum = 0;
    for (size_t i = 1; i < cmr1.size() - 2; ++i) sum += cmr1[i];
    cmr1[cmr1.size() - 2] = sum;
    cmr1[cmr1.size() - 1] = 0x03;

    EXPECT_EQ(receive(0, join({long1005, short1006, long1008, cmr1, f1012}), 100000), 5u);
    EXPECT_EQ(b.rxWriteIndex, 0u);
    EXPECT_EQ(b.msg[kind1005].msgLength, 0u);
    EXPECT_EQ(b.msg[kind1006].msgLength, 0u);
    EXPECT_EQ(b.msg[kind1008].msgLength, 0u);
    EXPECT_EQ(b.msg[kindCmr1].msgLength, 0u);
    EXPECT_EQ(b.msg[kind1005].msgRxTime, 0u);
    EXPECT_TRUE(keptEquals(0, kind1012, f1012));

    // The real 1005 after a refused one is kept.
    EXPECT_EQ(receive(0, join({long1005, f1005}), 101000), 2u);
    EXPECT_TRUE(keptEquals(0, kind1005, f1005));
}

// Received kinds are relayed as they came; the others are built, but only
// while the base has not sent them itself for 10 s (observations) or 20 s
// (station and description kinds).
TEST_F(BaseScan, ReceivedKindsAreNotOverwrittenByBuiltOnes)
{
    BaseStation& b = baseStation[0];
    const Bytes& f1004 = firstFrame(testglo, 1004);
    const Bytes& f1012 = firstFrame(testglo, 1012);
    const Bytes& f1005 = firstFrame(testglo, 1005);
    const Bytes& f1074 = firstFrame(gmsd7, 1074);
    const Bytes& f1124 = firstFrame(gmsd7, 1124);
    const Bytes& f1007 = firstFrame(gmsd7, 1007);
    const Bytes& f1033 = firstFrame(gmsd7, 1033);
    const uint32_t t0 = 100000;

    // A legacy base gets every observation output built, marked built.
    receive(0, join({f1005, f1004, f1012}), t0);
    EXPECT_EQ(b.msg[kind1004].msgNative, 1);
    EXPECT_EQ(b.rtcmInput, 1);
    EXPECT_EQ(b.gpsObsNew + b.gloObsNew, 2);
    for (int k : {kind1074, kind1084, kindNct5E, kindNct5B, kindCmr0, kindCmr3, kindNct5C,
                  kindNct5D, kindCmr1, kindCmr2, kind1032}) {
        EXPECT_EQ(b.msg[k].msgNative, 0) << msgKindName(k);
        EXPECT_EQ(b.msg[k].msgStamp, t0) << msgKindName(k);
        EXPECT_EQ(b.msg[k].msgRxTime, 0u) << msgKindName(k);   // a build is no reception
        expectIntactFrame(0, k);
    }

    // The base sends 1074 as well: both stay as received, and neither
    // arriving rebuilds the other.
    receive(0, f1074, t0 + 1000);
    EXPECT_TRUE(keptEquals(0, kind1074, f1074));
    EXPECT_EQ(b.msg[kind1074].msgNative, 1);
    receive(0, f1004, t0 + 2000);
    EXPECT_TRUE(keptEquals(0, kind1074, f1074));
    EXPECT_TRUE(keptEquals(0, kind1004, f1004));
    // Exactly 10 s after the last 1074 is not yet "more than 10 s".
    receive(0, f1004, t0 + 11000);
    EXPECT_EQ(b.msg[kind1074].msgNative, 1);
    // Once the base's 1074 is more than 10 s old it is built again.
    receive(0, f1004, t0 + 11001);
    EXPECT_EQ(b.msg[kind1074].msgNative, 0);
    EXPECT_EQ(b.msg[kind1074].msgStamp, t0 + 11001);
    EXPECT_EQ(b.msg[kind1074].msgRxTime, t0 + 1000);

    // An MSM-only base: the 1074 builds 1004 once no 1004 has come for 10 s.
    receive(1, f1074, t0);
    EXPECT_EQ(baseStation[1].msg[kind1004].msgNative, 0);
    EXPECT_EQ(baseStation[1].msg[kind1004].msgStamp, t0);
    EXPECT_EQ(baseStation[1].gpsObsNew, 1);
    expectIntactFrame(1, kind1004);
    // A 1124 from a base without 1104 marks 1104 built without a frame.
    receive(1, f1124, t0);
    EXPECT_EQ(baseStation[1].msg[kind1104].msgNative, 0);
    EXPECT_EQ(baseStation[1].msg[kind1104].msgLength, 0u);
    EXPECT_EQ(baseStation[1].bdsObsNew, 1);
    EXPECT_TRUE(keptEquals(1, kind1124, f1124));

    // Station kinds use 20 s: a 1007 builds 1033 only when the base's own
    // 1033 is more than 20 s old.
    receive(0, f1033, t0 + 20000);
    receive(0, f1007, t0 + 30000);
    EXPECT_TRUE(keptEquals(0, kind1033, f1033));
    EXPECT_EQ(b.msg[kind1033].msgNative, 1);
    receive(0, f1007, t0 + 40001);
    EXPECT_EQ(b.msg[kind1033].msgNative, 0);
    EXPECT_EQ(b.msg[kind1033].msgStamp, t0 + 40001);
    expectIntactFrame(0, kind1033);

    // A base that sends CMR type 1 itself keeps it while 1005 builds the rest.
    Bytes ownCmr1(b.msg[kindCmr1].msgBuffer, b.msg[kindCmr1].msgBuffer + b.msg[kindCmr1].msgLength);
    receive(2, join({ownCmr1, f1005}), t0 + 50000);
    EXPECT_EQ(baseStation[2].msg[kindCmr1].msgNative, 1);
    EXPECT_EQ(baseStation[2].nctInput, 0);
    EXPECT_EQ(baseStation[2].msg[kindNct5C].msgNative, 0);
    EXPECT_EQ(baseStation[2].msg[kindCmr2].msgStamp, t0 + 50000);
}

// An NCT base: its 5C names the antenna before 1008 is built, and its 5E
// epochs are published as RTCM observation frames in the 1004 and 1012
// kinds. The NCT and CMR input is what the caster built for a legacy base.
TEST_F(BaseScan, NctAndCmrBasesGetTheOtherFormatsBuilt)
{
    const uint32_t t0 = 200000;
    // 1005, 1019, 1020, 1004, 1012: one epoch of the legacy base.
    for (size_t i = 0; i < 5; ++i) receive(0, testglo[i].bytes, t0);
    BaseStation& b0 = baseStation[0];
    auto kept = [&](int kind) {
        return Bytes(b0.msg[kind].msgBuffer, b0.msg[kind].msgBuffer + b0.msg[kind].msgLength);
    };
    casterSettings.nctGlonass = true;
    ASSERT_TRUE(buildKind(0, kindNct5E, 1000, t0));
    Bytes nct5C = kept(kindNct5C), nct5E = kept(kindNct5E);
    ASSERT_FALSE(nct5C.empty());
    ASSERT_FALSE(nct5E.empty());

    BaseStation& b = baseStation[1];
    receive(1, join({nct5C, nct5E}), t0 + 1000);
    EXPECT_EQ(b.nctInput, 1);
    EXPECT_EQ(b.msg[kindNct5C].msgNative, 1);
    EXPECT_EQ(b.msg[kindNct5E].msgNative, 1);
    EXPECT_EQ(b.antennaDescriptor, "NAVSF2040G");
    EXPECT_EQ(b.descriptorLength[0], 10);
    for (int k : {kind1005, kindCmr1, kindCmr2, kind1032, kind1008})
        EXPECT_EQ(b.msg[k].msgStamp, t0 + 1000) << msgKindName(k);
    expectIntactFrame(1, kind1008);
    ASSERT_GT(b.gpsSatCount, 0u);
    ASSERT_GT(b.gloSatCount, 0u);
    // The 5E epoch as RTCM: 1004 or 1003, 1012 or 1011 by completeness.
    uint32_t len = 0;
    const KeptMessage& gps = b.msg[kind1004];
    int32_t n = checkRtcm3Frame(gps.msgBuffer, 0, gps.msgLength, len);
    EXPECT_EQ(n, b.gpsEpochComplete ? 1004 : 1003);
    EXPECT_EQ(len, gps.msgLength);
    EXPECT_EQ(gps.msgNative, 0);
    const KeptMessage& glo = b.msg[kind1012];
    n = checkRtcm3Frame(glo.msgBuffer, 0, glo.msgLength, len);
    EXPECT_EQ(n, b.gloEpochComplete ? 1012 : 1011);
    EXPECT_EQ(len, glo.msgLength);
    for (int k : {kindCmr0, kind1074, kindCmr3, kind1084}) expectIntactFrame(1, k);

    // A CMR base: type 1 gives the station kinds, type 0 the observation
    // kinds other than CMR.
    receive(2, join({kept(kindCmr1), kept(kindCmr0)}), t0 + 2000);
    EXPECT_EQ(baseStation[2].nctInput, 0);
    for (int k : {kind1005, kindNct5C, kindNct5D, kind1003, kindNct5B, kindNct5E}) {
        EXPECT_EQ(baseStation[2].msg[k].msgStamp, t0 + 2000) << msgKindName(k);
        expectIntactFrame(2, k);
    }
    EXPECT_EQ(baseStation[2].msg[kind1004].msgLength, 0u);
}

namespace {
// Feeds a recording in receives of uneven sizes; returns the frames handled.
uint32_t feedInChunks(int base, const Bytes& data, uint32_t seed, uint32_t maxChunk,
                      uint32_t& clock)
{
    uint32_t handled = 0;
    size_t at = 0;
    while (at < data.size()) {
        seed = seed * 1664525u + 1013904223u;
        // A receive takes no more than the room in the buffer.
        size_t room = rxBufferSize - baseStation[base].rxWriteIndex;
        size_t n = std::min<size_t>({1 + (seed >> 8) % maxChunk, data.size() - at, room});
        EXPECT_EQ(appendBaseData(base, data.data() + at, uint32_t(n)), n);
        at += n;
        clock += 7;
        handled += scanBaseBuffer(base, 1000, clock);
    }
    return handled;
}
}   // namespace

TEST_F(BaseScan, RecordingsInUnevenReceives)
{
    Bytes glo = readFileBytes(dataPath("rtcm3/testglo.rtcm3"));
    Bytes msm = readFileBytes(dataPath("rtcm3/gmsd7-part1-msm4.rtcm3"));
    uint32_t clock = 500000;

    // Every frame is found, whatever the receive sizes, and nothing is left
    // over but the bytes that lead the recording.
    for (uint32_t maxChunk : {60u, 700u, 3090u}) {
        initGlobals();
        baseStation[0].connected = 1;
        EXPECT_EQ(feedInChunks(0, glo, maxChunk, maxChunk, clock), 429u) << maxChunk;
        EXPECT_EQ(baseStation[0].rxWriteIndex, 0u);
        EXPECT_EQ(feedInChunks(0, msm, maxChunk, maxChunk, clock), 469u) << maxChunk;
        EXPECT_EQ(baseStation[0].rxWriteIndex, 0u);
    }

    // The legacy recording: the last frames are kept as received and every
    // other format is built and intact.
    initGlobals();
    feedInChunks(0, glo, 3, 900, clock);
    const BaseStation& b = baseStation[0];
    EXPECT_TRUE(keptEquals(0, kind1004, firstFrame({testglo.rbegin(), testglo.rend()}, 1004)));
    EXPECT_TRUE(keptEquals(0, kind1012, firstFrame({testglo.rbegin(), testglo.rend()}, 1012)));
    for (int k : {kind1074, kind1084, kindNct5E, kindNct5B, kindCmr0, kindCmr3, kindNct5C,
                  kindNct5D, kindCmr1, kindCmr2, kind1032}) {
        EXPECT_EQ(b.msg[k].msgNative, 0) << msgKindName(k);
        expectIntactFrame(0, k);
    }
    EXPECT_GT(b.gpsSatCount, 0u);
    EXPECT_GT(b.gloSatCount, 0u);

    // The MSM4 recording: its legacy kinds are built.
    initGlobals();
    feedInChunks(0, msm, 5, 900, clock);
    for (int k : {kind1074, kind1084, kind1124, kind1114, kind1007, kind1008, kind1033})
        EXPECT_EQ(b.msg[k].msgNative, 1) << msgKindName(k);
    for (int k : {kind1004, kind1012, kindNct5E, kindNct5B, kindCmr0, kindCmr3}) {
        EXPECT_EQ(b.msg[k].msgNative, 0) << msgKindName(k);
        expectIntactFrame(0, k);
    }
    EXPECT_EQ(b.msg[kind1104].msgNative, 0);
    EXPECT_EQ(b.msg[kind1104].msgLength, 0u);
    EXPECT_GT(b.gpsSatCount, 0u);
}

TEST_F(BaseScan, ReadPassWakesOnArrivalAndFreesHungUpBases)
{
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    setNonBlocking(a[0]);
    setNonBlocking(b[0]);
    baseStation[0].socket = a[0];
    baseStation[1].socket = b[0];
    EXPECT_EQ(baseReadPass(10), 0);

    // A frame that arrives during the wait ends it and is kept at once: the
    // thread must not sit out a fixed sleep while a base's bytes wait. The
    // bound is far above any scheduling delay and far below the time-out.
    const Bytes& f1005 = firstFrame(testglo, 1005);
    std::thread peer([&] {
        usleep(50000);
        EXPECT_EQ(write(a[1], f1005.data(), f1005.size()), ssize_t(f1005.size()));
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(baseReadPass(30000), 1);
    auto waited = std::chrono::steady_clock::now() - start;
    peer.join();
    EXPECT_LT(waited, std::chrono::seconds(15));
    EXPECT_TRUE(keptEquals(0, kind1005, f1005));

    // A base that hangs up is freed; the other keeps its slot.
    close(b[1]);
    EXPECT_EQ(baseReadPass(1000), 1);
    EXPECT_FALSE(baseStation[1].connected);
    EXPECT_TRUE(baseStation[0].connected);
    close(a[1]);
    EXPECT_EQ(baseReadPass(1000), 1);
    EXPECT_FALSE(baseStation[0].connected);
    EXPECT_EQ(baseReadPass(1000), -1);
}
