// Coded header fields: every band edge of each table.

#include <gtest/gtest.h>

#include "formats/field_codes.h"

TEST(FieldCodes, SmoothingInterval)
{
    const uint32_t seconds[8] = {0, 30, 60, 120, 240, 480, 600, 900};
    for (uint32_t code = 0; code < 8; ++code) EXPECT_EQ(smoothingIntervalSeconds(code), seconds[code]);
    EXPECT_EQ(smoothingIntervalSeconds(8), 0u);
    EXPECT_EQ(smoothingIntervalSeconds(0xFFFFFFFFu), 0u);
}

TEST(FieldCodes, LegacyLockTime)
{
    // Band edges of the legacy indicator (RTCM DF013).
    const int32_t want[][2] = {{0, 0},     {23, 23},   {24, 24},   {47, 70},   {48, 72},
                               {71, 164},  {72, 168},  {95, 352},  {96, 360},  {119, 728},
                               {120, 744}, {126, 936}, {127, 937}, {128, 937}, {255, 937}};
    for (const auto& w : want) EXPECT_EQ(lockTimeSeconds(uint32_t(w[0])), w[1]) << w[0];
    // Never falls as the indicator rises, so a constant lock is never a slip.
    for (uint32_t i = 1; i < 128; ++i) EXPECT_GT(lockTimeSeconds(i), lockTimeSeconds(i - 1)) << i;
}

TEST(FieldCodes, MsmLockTimeFromMilliseconds)
{
    EXPECT_EQ(msmLockTimeIndicator(0), 0);
    EXPECT_EQ(msmLockTimeIndicator(31), 0);
    EXPECT_EQ(msmLockTimeIndicator(32), 1);
    EXPECT_EQ(msmLockTimeIndicator(63), 1);
    EXPECT_EQ(msmLockTimeIndicator(64), 2);
    EXPECT_EQ(msmLockTimeIndicator(1023), 5);
    EXPECT_EQ(msmLockTimeIndicator(1024), 6);
    EXPECT_EQ(msmLockTimeIndicator(16383), 9);
    EXPECT_EQ(msmLockTimeIndicator(16384), 10);
    EXPECT_EQ(msmLockTimeIndicator(32767), 10);
    EXPECT_EQ(msmLockTimeIndicator(32768), 11);
    EXPECT_EQ(msmLockTimeIndicator(65535), 11);
}

TEST(FieldCodes, CmrSignalToNoise)
{
    const uint8_t want[][2] = {{0, 0},   {3, 0},   {4, 1},   {7, 1},   {8, 2},   {23, 5},
                               {24, 6},  {27, 6},  {28, 9},  {39, 9},  {40, 10}, {43, 10},
                               {44, 11}, {48, 11}, {49, 12}, {50, 12}, {51, 13}, {55, 13},
                               {56, 13}, {57, 14}, {58, 15}, {200, 15}, {255, 15}};
    for (const auto& w : want) EXPECT_EQ(encodeCmrSnr(w[0]), w[1]) << int(w[0]);
    for (int db = 0; db < 256; ++db) {
        const uint8_t code = encodeCmrSnr(uint8_t(db));
        EXPECT_TRUE(code != 7 && code != 8 && code <= 15) << db;
    }
}
