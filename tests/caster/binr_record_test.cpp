// BINR frames are built from the base record at send time, while the base
// data thread may be writing that record: a 69h is never built from an
// epoch half decoded.

#include <gtest/gtest.h>

#include "caster/stream_sender.h"
#include "rover_test_support.h"

using namespace rovertest;

namespace {

class BinrRecord : public RoverTest {};

}   // namespace

TEST_F(BinrRecord, WaitsWhileTheRecordIsWritten)
{
    makeTrustedBase(0);
    BaseStation& b = baseStation[0];
    SocketPair p = pair();
    attachRover(0, p.caster, 1, 0);

    // The base data thread keeps a new 1012 and decodes it: the kept frame
    // is out before the satellites are in.
    beginRecordWrite(b);
    keep(0, kind1012, rtcmFrame(1012, 30), 100);
    b.gloEpochMs = 5000;
    b.gloSatCount = 2;
    b.gloSat[3].epochMs = 5000;
    EXPECT_TRUE(sendBaseDataAt(0, 1000));
    EXPECT_TRUE(drain(p.rover).empty());
    EXPECT_EQ(client[0].lastSentBinr69Glo, 0u);

    b.gloSat[7].epochMs = 5000;
    endRecordWrite(b);
    EXPECT_TRUE(sendBaseDataAt(0, 1001));
    std::vector<uint8_t> got = drain(p.rover);
    // DLE, 69h, system 2, 2 bytes of seconds, two 13-byte blocks, DLE ETX.
    ASSERT_EQ(got.size(), 7u + 2 * 13u);
    EXPECT_EQ(got[1], 0x69);
    EXPECT_EQ(got[2], 2);
    EXPECT_EQ(got[5], 3);
    EXPECT_EQ(got[5 + 13], 7);
    EXPECT_EQ(client[0].lastSentBinr69Glo, 100u);
    EXPECT_EQ(takeConsole(), "sending 69h glo single\n");
}
