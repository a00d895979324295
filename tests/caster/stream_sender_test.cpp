#include <gtest/gtest.h>

#include "caster/rover_thread.h"
#include "caster/stream_sender.h"
#include "rover_test_support.h"

using namespace rovertest;

namespace {

// Every kept kind with a distinct small frame: message number 1000 + kind,
// short enough for the smallest buffers (CMR type 1, 32 bytes).
void keepEveryKind(int base, uint32_t stamp)
{
    for (int kind = 0; kind < msgKindCount; ++kind)
        keep(base, kind, rtcmFrame(1000 + kind, 10), stamp);
}

std::vector<int> kindsReceived(Socket rover)
{
    std::vector<int> kinds;
    for (int number : rtcmNumbers(drain(rover))) kinds.push_back(number - 1000);
    return kinds;
}

class StreamSender : public RoverTest {};

}   // namespace

TEST_F(StreamSender, RelaysEachNewStampOnceInStreamOrder)
{
    makeTrustedBase(0);
    SocketPair p = pair();
    attachRover(0, p.caster, 10, 0);
    keep(0, kind1074, rtcmFrame(1074, 20), 100);   // not part of an RTCM 3.1 stream
    keep(0, kind1230, rtcmFrame(1230, 20), 100);
    keep(0, kind1005, rtcmFrame(1005, 19), 100);
    keep(0, kind1012, rtcmFrame(1012, 40), 100);
    keep(0, kind1004, rtcmFrame(1004, 40), 100);
    keep(0, kind1003, rtcmFrame(1003, 40), 100);

    EXPECT_TRUE(sendBaseDataAt(0, 1000));
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), (std::vector<int>{1003, 1004, 1012, 1005, 1230}));
    EXPECT_EQ(client[0].lastSent1004, 100u);
    EXPECT_TRUE(sendBaseDataAt(0, 1001));
    EXPECT_TRUE(drain(p.rover).empty());

    keep(0, kind1004, rtcmFrame(1004, 40), 200);
    EXPECT_TRUE(sendBaseDataAt(0, 1002));
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), std::vector<int>{1004});
    // Any different stamp counts, also an older one.
    keep(0, kind1004, rtcmFrame(1004, 40), 150);
    EXPECT_TRUE(sendBaseDataAt(0, 1003));
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), std::vector<int>{1004});

    // A frame being rewritten (event reset) waits for a later pass.
    keep(0, kind1012, rtcmFrame(1012, 40), 300);
    resetEvent(baseStation[0].msg[kind1012].msgEvent);
    EXPECT_TRUE(sendBaseDataAt(0, 1004));
    EXPECT_TRUE(drain(p.rover).empty());
    setEvent(baseStation[0].msg[kind1012].msgEvent);
    EXPECT_TRUE(sendBaseDataAt(0, 1005));
    EXPECT_EQ(rtcmNumbers(drain(p.rover)), std::vector<int>{1012});
    EXPECT_NE(takeConsole().find("sending 1005\n"), std::string::npos);
}

TEST_F(StreamSender, EachFormatGetsItsKinds)
{
    makeTrustedBase(2);
    keepEveryKind(2, 100);
    const std::vector<int> rtcm31 = {kind1003, kind1004, kind1011, kind1012, kind1104, kind1005,
                                     kind1006, kind1007, kind1008, kind1013, kind1230};
    const std::vector<int> msm = {kind1074, kind1084, kind1094, kind1124, kind1114,
                                  kind1005, kind1006, kind1007, kind1008, kind1013,
                                  kind1032, kind1033, kind1230};
    const std::vector<int> nct = {kindNct5E, kindNct61, kindNct5B, kindNct5C, kindNct5D};
    const std::vector<int> cmr = {kindCmr0, kindCmr3, kindCmr1, kindCmr2};
    const std::vector<int> rtcm31Station = {kind1005, kind1006, kind1007, kind1008, kind1013,
                                            kind1230};
    const std::vector<int> msmStation = {kind1005, kind1006, kind1007, kind1008,
                                         kind1013, kind1032, kind1033, kind1230};
    // The FKP streams: the station group, then each system's observations
    // followed by its gradients.
    std::vector<int> fkp31 = rtcm31Station, fkp32 = msmStation;
    for (int k : {kind1004, kind1034, kind1012, kind1035, kind1104}) fkp31.push_back(k);
    for (int k : {kind1074, kind1034, kind1084, kind1035, kind1094, kind1124}) fkp32.push_back(k);
    struct Case {
        int code;
        std::vector<int> kinds;
    } cases[] = {{0, rtcm31},        {10, rtcm31},        {2, msm},        {12, msm},
                 {3, nct},           {13, nct},           {4, cmr},        {14, cmr},
                 {20, rtcm31Station}, {30, rtcm31Station}, {32, msmStation}, {40, fkp31},
                 {42, fkp32},        {50, {}},            {54, {}}};
    // A slot each: a closed slot keeps its FKP and MAC stamps.
    int slot = 10;
    for (const Case& k : cases) {
        SocketPair p = pair();
        attachRover(slot, p.caster, k.code, 2);
        EXPECT_TRUE(sendBaseDataAt(slot, 1000)) << k.code;
        EXPECT_EQ(kindsReceived(p.rover), k.kinds) << "stream code " << k.code;
        closeClient(client[slot++]);
    }

    // No master base: nothing, and false.
    SocketPair p = pair();
    attachRover(6, p.caster, 10, -1);
    EXPECT_FALSE(sendBaseDataAt(6, 1000));
    EXPECT_TRUE(drain(p.rover).empty());
}

TEST_F(StreamSender, BinrFramesFollowTheirSourceStamps)
{
    makeTrustedBase(0);
    SocketPair p = pair();
    attachRover(0, p.caster, 11, 0);
    keep(0, kind1004, rtcmFrame(1004, 30), 100);
    keep(0, kind1012, rtcmFrame(1012, 30), 100);
    keep(0, kind1005, rtcmFrame(1005, 19), 100);
    keep(0, kind1006, rtcmFrame(1006, 21), 110);

    // No satellites: each 69h is the 7-byte frame; each 6Ah 18 bytes.
    EXPECT_TRUE(sendBaseDataAt(0, 1000));
    std::vector<uint8_t> got = drain(p.rover);
    ASSERT_EQ(got.size(), 7u + 7u + 18u + 18u);
    EXPECT_EQ(got[1], 0x69);
    EXPECT_EQ(got[2], 1);
    EXPECT_EQ(got[8], 0x69);
    EXPECT_EQ(got[9], 2);
    EXPECT_EQ(got[15], 0x6A);
    EXPECT_EQ(got[33], 0x6A);
    std::string log = takeConsole();
    EXPECT_NE(log.find("sending 6Ah from 1005\nsending 6Ah from 1006\n"), std::string::npos);

    // 1005 and 1006 keep separate stamps: nothing repeats on the next pass,
    // and a new 1006 brings one 6Ah.
    EXPECT_TRUE(sendBaseDataAt(0, 1001));
    EXPECT_TRUE(drain(p.rover).empty());
    keep(0, kind1006, rtcmFrame(1006, 21), 120);
    EXPECT_TRUE(sendBaseDataAt(0, 1002));
    got = drain(p.rover);
    ASSERT_EQ(got.size(), 18u);
    EXPECT_EQ(got[1], 0x6A);
    EXPECT_EQ(takeConsole(), "sending 6Ah from 1006\n");
}

TEST_F(StreamSender, PartialFrameCompletesBeforeAnythingElse)
{
    makeTrustedBase(0);
    SocketPair p = pair(true, 4096);
    attachRover(0, p.caster, 10, 0);
    Client& c = client[0];

    bool partialSeen = false;
    uint32_t stamp = 0;
    uint32_t now = 1000;
    std::vector<uint8_t> received;
    for (int pass = 0; pass < 400; ++pass) {
        ++stamp;
        // Large observation frames and a small station frame, each with the
        // pass number in every payload byte.
        keep(0, kind1004, rtcmFrame(1004, 1000, uint8_t(pass)), stamp);
        if (pass % 3 == 0) keep(0, kind1005, rtcmFrame(1005, 19, uint8_t(pass)), stamp);
        roverSendPass(now += 10);
        ASSERT_TRUE(c.active);
        if (c.pendingOutputLength > 0) {
            partialSeen = true;
            // The frame under way has not had its stamp taken.
            EXPECT_EQ(c.pendingStampTarget == &c.lastSent1004 ||
                          c.pendingStampTarget == &c.lastSent1005,
                      true);
            EXPECT_NE(*c.pendingStampTarget, c.pendingStamp);
        }
        // The rover reads in small bites now and then.
        if (pass % 4 == 0) {
            uint8_t buf[700];
            ssize_t n = recv(p.rover, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) received.insert(received.end(), buf, buf + n);
        }
    }
    // Let everything out.
    for (int i = 0; i < 200; ++i) {
        roverSendPass(now += 10);
        std::vector<uint8_t> more = drain(p.rover);
        received.insert(received.end(), more.begin(), more.end());
        if (more.empty() && c.pendingOutputLength == 0 && !c.outputStalled) break;
        usleep(1000);
    }
    EXPECT_TRUE(partialSeen);
    EXPECT_EQ(c.pendingOutputLength, 0u);
    EXPECT_EQ(c.lastSent1004, stamp);

    // Whole frames only, each with one payload throughout.
    std::vector<int> numbers = rtcmNumbers(received);
    EXPECT_GT(numbers.size(), 10u);
    size_t pos = 0;
    for (int number : numbers) {
        size_t length = ((size_t(received[pos + 1]) & 3) << 8 | received[pos + 2]) + 6;
        uint8_t fill = received[pos + 5];
        for (size_t k = pos + 5; k < pos + length - 3; ++k)
            ASSERT_EQ(received[k], fill) << "frame " << number << " at " << pos;
        pos += length;
    }
}

TEST_F(StreamSender, RoverThatStopsReadingIsClosedOthersKeepReceiving)
{
    makeTrustedBase(0);
    SocketPair stuck = pair(false, 4096);
    SocketPair reader = pair();
    attachRover(0, stuck.caster, 10, 0);
    attachRover(1, reader.caster, 10, 0);

    uint32_t now = 10000;
    int stalledAt = -1, closedAt = -1, frames = 0;
    size_t readerFrames = 0;
    for (int pass = 0; pass < 80; ++pass) {
        keep(0, kind1004, rtcmFrame(1004, 1000, uint8_t(pass)), uint32_t(pass + 1));
        ++frames;
        roverSendPass(now);
        if (stalledAt < 0 && client[0].outputStalled) stalledAt = int(now);
        if (closedAt < 0 && !client[0].active) closedAt = int(now);
        readerFrames += rtcmNumbers(drain(reader.rover)).size();
        now += 1000;
    }
    ASSERT_GE(stalledAt, 0);
    ASSERT_GE(closedAt, 0);
    // Closed in the first pass more than 30 s after it stopped taking data.
    EXPECT_EQ(closedAt - stalledAt, 31000);
    EXPECT_NE(takeConsole().find("client has taken no data for 30 s, closing connection"),
              std::string::npos);
    EXPECT_TRUE(client[1].active);
    EXPECT_EQ(readerFrames, size_t(frames));
}

TEST_F(StreamSender, RoverHangingUpMidFrameIsClosed)
{
    makeTrustedBase(0);
    SocketPair leaving = pair(true, 4096);
    SocketPair staying = pair();
    attachRover(0, leaving.caster, 10, 0);
    attachRover(1, staying.caster, 10, 0);

    uint32_t now = 1000, stamp = 0;
    for (int pass = 0; pass < 100 && client[0].pendingOutputLength == 0; ++pass) {
        keep(0, kind1004, rtcmFrame(1004, 1000, uint8_t(pass)), ++stamp);
        roverSendPass(now += 10);
        drain(staying.rover);
    }
    ASSERT_GT(client[0].pendingOutputLength, 0u);
    hangUp(leaving.rover);   // unread data: the connection is reset
    for (int pass = 0; pass < 100 && client[0].active; ++pass) {
        keep(0, kind1004, rtcmFrame(1004, 1000, uint8_t(pass)), ++stamp);
        roverSendPass(now += 10);
        drain(staying.rover);
        usleep(1000);
    }
    EXPECT_FALSE(client[0].active);
    EXPECT_EQ(client[0].clientSocket, invalidSocket);
    EXPECT_NE(takeConsole().find("error sending 1004 out "), std::string::npos);

    keep(0, kind1004, rtcmFrame(1004, 40), ++stamp);
    roverSendPass(now += 10);
    EXPECT_EQ(rtcmNumbers(drain(staying.rover)), std::vector<int>{1004});
}

TEST_F(StreamSender, KeepAliveOnlyWithoutMasterBase)
{
    SocketPair waiting = pair();
    SocketPair untrusted = pair();
    attachRover(0, waiting.caster, 10, -1);   // nearest base, no GGA yet
    attachRover(1, untrusted.caster, 0, 4);   // its base is not trusted yet
    baseStation[4].connected = 1;
    keep(4, kind1004, rtcmFrame(1004, 40), 100);

    roverSendPass(4000);
    EXPECT_TRUE(drain(waiting.rover).empty());
    roverSendPass(10000);
    EXPECT_EQ(rtcmNumbers(drain(waiting.rover)), std::vector<int>{1013});
    roverSendPass(14999);
    EXPECT_TRUE(drain(waiting.rover).empty());
    roverSendPass(15001);
    EXPECT_EQ(rtcmNumbers(drain(waiting.rover)), std::vector<int>{1013});
    EXPECT_TRUE(drain(untrusted.rover).empty());

    baseStation[4].trusted = 1;
    roverSendPass(15002);
    EXPECT_EQ(rtcmNumbers(drain(untrusted.rover)), std::vector<int>{1004});
}

// The frames of one batch all leave with its end, whether the number of
// frames it was told to expect is right, too low or too high.
TEST_F(StreamSender, BatchHoldsNothingBackAtItsEnd)
{
    SocketPair p = pair();
    attachRover(0, p.caster, 10, -1);
    const std::vector<uint8_t> a = rtcmFrame(1005, 19), b = rtcmFrame(1006, 21);
    for (int expected : {0, 1, 2, 3}) {
        {
            RoverOutputBatch batch(0);
            expectBatchFrames(0, expected);
            EXPECT_EQ(sendClientFrame(0, a.data(), uint32_t(a.size()), nullptr, 0, "a ", 1),
                      FrameSend::sent);
            EXPECT_EQ(sendClientFrame(0, b.data(), uint32_t(b.size()), nullptr, 0, "b ", 1),
                      FrameSend::sent);
        }
        std::vector<uint8_t> got;
        for (int i = 0; i < 20 && got.size() < a.size() + b.size(); ++i) {
            usleep(5000);
            std::vector<uint8_t> more = drain(p.rover);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_EQ(rtcmNumbers(got), (std::vector<int>{1005, 1006})) << expected;
    }
}
