#include "caster/format_details.h"

#include "caster_fixture.h"
#include "core/base_station.h"

using FormatDetailsTest = CasterTest;

TEST(FormatDetails, BucketEdges)
{
    const struct { int32_t age; uint32_t interval; } cases[] = {
        {0, 1},     {1000, 1},   {1001, 5},   {1500, 5},   {6000, 5},    {6001, 10},
        {14000, 10}, {14001, 60}, {24999, 60}, {-1500, 5}, {-14001, 60},
    };
    for (const auto& c : cases) EXPECT_EQ(messageRateBucket(c.age), c.interval) << c.age;
}

// Stamps a kind as updated `ageMs` before now.
static void stampKind(int base, int kind, uint32_t ageMs, bool native)
{
    KeptMessage& m = baseStation[base].msg[kind];
    m.msgStamp = clockMs() - ageMs;
    m.msgNative = native ? 1 : 0;
}

// Pushes every kind of a base out of the 25 s window.
static void ageAll(int base)
{
    for (auto& m : baseStation[base].msg) m.msgStamp = clockMs() - 100000;
}

TEST_F(FormatDetailsTest, FreshnessWindowAndIntervals)
{
    ageAll(0);
    uint32_t interval = 99;
    stampKind(0, kind1004, 24000, true);
    EXPECT_TRUE(msgRate1004(0, interval));
    EXPECT_EQ(interval, 60u);
    EXPECT_EQ(baseStation[0].msg[kind1004].msgPresent, 1);

    stampKind(0, kind1004, 25100, true);
    EXPECT_FALSE(msgRate1004(0, interval));
    EXPECT_EQ(interval, 0u);
    EXPECT_EQ(baseStation[0].msg[kind1004].msgPresent, 0);

    // A stamp taken a moment "after" now by another thread is fresh.
    baseStation[0].msg[kind1012].msgStamp = clockMs() + 5;
    EXPECT_TRUE(msgRate1012(0, interval));
    EXPECT_EQ(interval, 1u);

    EXPECT_FALSE(msgRateCMRplus(0, interval));
    EXPECT_FALSE(msgRate1004(10, interval));   // no such base
    EXPECT_FALSE(msgRate1004(-1, interval));
}

TEST_F(FormatDetailsTest, ListsInOrderAndNativeAnswer)
{
    ageAll(1);
    std::string list;
    EXPECT_FALSE(appendRtcmFormatDetails(list, 1));
    EXPECT_EQ(list, "");

    stampKind(1, kind1230, 0, true);
    stampKind(1, kind1012, 6001, true);
    stampKind(1, kind1004, 500, true);
    stampKind(1, kind1005, 8000, false);
    EXPECT_TRUE(appendRtcmFormatDetails(list, 1));
    EXPECT_EQ(list, "1004(1),1005(10),1012(10),1230(1),");

    // Only built kinds: listed, but the base does not send the format itself.
    stampKind(1, kind1004, 500, false);
    stampKind(1, kind1012, 500, false);
    list.clear();
    EXPECT_FALSE(appendRtcmFormatDetails(list, 1));
    EXPECT_EQ(list, "1004(1),1005(10),1012(1),1230(1),");

    // A native 1011 or CMR3 never makes the answer true.
    ageAll(1);
    stampKind(1, kind1011, 0, true);
    list.clear();
    EXPECT_FALSE(appendRtcmFormatDetails(list, 1));
    EXPECT_EQ(list, "1011(1),");
    stampKind(1, kindCmr3, 0, true);
    stampKind(1, kindCmr2, 2000, true);
    list.clear();
    EXPECT_TRUE(appendCmrFormatDetails(list, 1));
    EXPECT_EQ(list, "CMR2(5),CMR3(1),");

    stampKind(1, kind1124, 0, true);
    stampKind(1, kind1013, 0, false);
    list.clear();
    EXPECT_TRUE(appendMsmFormatDetails(list, 1));
    EXPECT_EQ(list, "1124(1),1013(1),");

    stampKind(1, kindNct61, 0, true);
    stampKind(1, kindNct5C, 15000, false);
    list.clear();
    EXPECT_FALSE(appendNctFormatDetails(list, 1));
    EXPECT_EQ(list, "5C(60),61(1),");
}
