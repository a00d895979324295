// Sending a synthetic reference station's messages to its rovers: the kinds
// of each format in order, each stamp once, the record marked used, and the
// rover thread's handling of rovers without a record.

#include <gtest/gtest.h>

#include "caster/erp_sender.h"
#include "caster/rover_thread.h"
#include "core/erp_record.h"
#include "platform/clock.h"
#include "rover_test_support.h"

using namespace rovertest;

namespace {

constexpr time_t pinned = 1796565012;

class ErpSender : public RoverTest {
protected:
    void SetUp() override
    {
        RoverTest::SetUp();
        setWallTimeOverride(pinned);
        erp[3].inUse = 1;
        erp[3].lastUsedTime = pinned - 100;
    }
    void TearDown() override
    {
        setWallTimeOverride(0);
        RoverTest::TearDown();
    }
    // Every kind of record 3 as an RTCM frame numbered 2000 + kind.
    static void storeEveryKind(uint32_t stamp)
    {
        for (int k = 0; k < erpMsgKindCount; ++k) {
            std::vector<uint8_t> f = rtcmFrame(2000 + k, 12);
            storeErpMessage(erp[3], k, f.data(), uint32_t(f.size()), stamp);
        }
    }
    static std::vector<int> kindsOf(const std::vector<uint8_t>& bytes)
    {
        std::vector<int> kinds;
        for (int n : rtcmNumbers(bytes)) kinds.push_back(n - 2000);
        return kinds;
    }
};

}   // namespace

TEST_F(ErpSender, EachFormatGetsItsKindsOncePerStamp)
{
    storeEveryKind(500);
    const std::vector<std::pair<int, std::vector<int>>> formats = {
        {50, {erpKind1004, erpKind1012, erpKind1005, erpKind1008}},
        {51, {erpKindBinr69Gps, erpKindBinr69Glo, erpKindBinr6A}},
        {52, {erpKind1074, erpKind1084, erpKind1005, erpKind1033}},
        {53, {erpKindNct5B, erpKindNct5E, erpKindNct5C}},
        {54, {erpKindCmr0, erpKindCmr3, erpKindCmr1}},
    };
    int slot = 0;
    for (const auto& [code, kinds] : formats) {
        SCOPED_TRACE(code);
        SocketPair p = pair();
        attachRover(slot, p.caster, code, 0);
        client[slot].erpIndex = 3;
        EXPECT_TRUE(sendErpDataAt(slot, 1000));
        EXPECT_EQ(kindsOf(drain(p.rover)), kinds);
        EXPECT_TRUE(sendErpDataAt(slot, 1001));
        EXPECT_TRUE(drain(p.rover).empty());
        ++slot;
    }
    EXPECT_EQ(erp[3].lastUsedTime, pinned);

    // A new stamp of one kind goes to the rovers of its format only.
    std::vector<uint8_t> f = rtcmFrame(2000 + erpKind1004, 30);
    storeErpMessage(erp[3], erpKind1004, f.data(), uint32_t(f.size()), 600);
    EXPECT_EQ(client[0].lastSent1004, 500u);
    EXPECT_TRUE(sendErpDataAt(0, 1002));
    EXPECT_EQ(client[0].lastSent1004, 600u);

    // A record freed meanwhile: false, and the rover thread drops it.
    releaseErpRecord(erp[3]);
    EXPECT_FALSE(sendErpDataAt(0, 1003));
    client[1].erpIndex = -1;
    EXPECT_FALSE(sendErpDataAt(1, 1003));
}

// The rover thread sends an ERP rover its record, and a rover without one
// (here before its first GGA) only the keep-alive 1013, whatever its master.
TEST_F(ErpSender, RoverThreadServesTheRecordOrKeepsAlive)
{
    makeTrustedBase(0);
    storeEveryKind(700);
    SocketPair withRecord = pair(), without = pair();
    attachRover(0, withRecord.caster, 50, 0);
    client[0].erpIndex = 3;
    attachRover(1, without.caster, 50, 0);
    client[1].lastSent1013 = 0;
    roverSendPass(10000);
    EXPECT_EQ(kindsOf(drain(withRecord.rover)),
              (std::vector<int>{erpKind1004, erpKind1012, erpKind1005, erpKind1008}));
    EXPECT_EQ(rtcmNumbers(drain(without.rover)), std::vector<int>{1013});

    // The record goes away: the rover loses it and is kept alive.
    releaseErpRecord(erp[3]);
    roverSendPass(20000);
    EXPECT_EQ(client[0].erpIndex, -1);
    roverSendPass(30000);
    EXPECT_EQ(rtcmNumbers(drain(withRecord.rover)), std::vector<int>{1013});
}
