#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {
// 2026-12-07 12:00:00 UTC
constexpr time_t pinned2026 = 1796644800;

class GnssTime : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        initGlobals();
        setWallTimeOverride(pinned2026);
    }
    void TearDown() override { setWallTimeOverride(0); }
};
}

TEST_F(GnssTime, EpochSetterRules)
{
    const uint32_t lastSecondOfWeek = 604799500;
    setGpsTow(lastSecondOfWeek);
    EXPECT_EQ(currentGpsTowMs.load(), lastSecondOfWeek);
    setGpsTow(1000);   // week wrap: far earlier is taken
    EXPECT_EQ(currentGpsTowMs.load(), 1000u);

    setGpsTow(20000);
    setGpsTow(16000);   // 4 s earlier: a late message, ignored
    EXPECT_EQ(currentGpsTowMs.load(), 20000u);
    setGpsTow(14000);   // exactly 6 s earlier: still ignored
    EXPECT_EQ(currentGpsTowMs.load(), 20000u);
    setGpsTow(6000);    // 14 s earlier: taken
    EXPECT_EQ(currentGpsTowMs.load(), 6000u);

    setGloTod(86399000);
    setGloTod(500);   // day wrap
    EXPECT_EQ(currentGloTodMs.load(), 500u);

    setMjd(61000);
    setMjd(61000);
    EXPECT_EQ(currentMjd.load(), 61000u);
    setMjd(60999);   // any change of day is taken
    EXPECT_EQ(currentMjd.load(), 60999u);

    setGpsWeek(2447);
    updateGpsWeek(2446);
    EXPECT_EQ(currentGpsWeek.load(), 2447);
    updateGpsWeek(2448);
    EXPECT_EQ(currentGpsWeek.load(), 2448);
    updateGpsWeek(399);   // more than 700 apart
    EXPECT_EQ(currentGpsWeek.load(), 399);
}

TEST_F(GnssTime, HeldMutexLeavesTheValueUnchanged)
{
    setGpsTow(1000);
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        waitMutex(gpsTowMutex, 0);
        holding = true;
        while (!release) sleepMs(5);
        releaseMutex(gpsTowMutex);
    });
    while (!holding) sleepMs(1);
    uint32_t t0 = clockMs();
    setGpsTow(5000);
    uint32_t waited = clockMs() - t0;
    release = true;
    holder.join();
    EXPECT_EQ(currentGpsTowMs.load(), 1000u);
    EXPECT_GE(waited, 450u);
    setGpsTow(5000);   // and works again once free
    EXPECT_EQ(currentGpsTowMs.load(), 5000u);
}

TEST_F(GnssTime, DayNumbersAndWeeks)
{
    int32_t y, m, d;
    mjdToDate(40587, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 19700101);
    mjdToDate(44244, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 19800106);
    mjdToDate(58580, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, 20190407);

    EXPECT_EQ(gpsWeekToMjd(2048, 0), 58580);   // second rollover, 2019-04-07
    // Week 0 is a 10-bit week; in 2026 it means week 2048.
    EXPECT_EQ(gpsWeekToMjd(0, 0), 58580);
    // The 10-bit week of 2026-12-07 (full week 2448) gives a 2026 day number.
    uint16_t full = fullGpsWeek(2448 % 1024);
    EXPECT_EQ(full, 2448);
    int32_t mjd = gpsWeekToMjd(uint16_t(2448 % 1024), 86400);
    mjdToDate(mjd, y, m, d);
    EXPECT_EQ(y, 2026);
    EXPECT_EQ(pcClockGpsWeek(), 2448u);

    uint32_t week, sow, dow;
    unixToGpsTime(pinned2026, week, sow, dow);
    EXPECT_EQ(week, 2448u % 1024);
    EXPECT_EQ(sow, 86400u + 12 * 3600 + 17);
    EXPECT_EQ(dow, 1u);

    consoleCaptureStart();
    setTimeFromPcClock();
    std::string out = consoleCaptureStop();
    EXPECT_EQ(currentMjd.load(), 61381u);
    EXPECT_EQ(currentGpsWeek.load(), 2448);
    EXPECT_EQ(out, "MJD from PC clock    61381\nGPS WN from PC clock 2448\n");
}

TEST_F(GnssTime, RoundingRulesDifferOnHalves)
{
    EXPECT_EQ(int64_t(roundNearest(2.5)), 2);
    EXPECT_EQ(int64_t(roundNearest(2.7)), 3);
    EXPECT_EQ(int64_t(roundNearest(-2.5)), -2);
    EXPECT_EQ(int64_t(roundNearest(-2.7)), -3);
    EXPECT_EQ(int64_t(roundNearest(-0.2)), 0);
    EXPECT_EQ(roundHalfAway(2.5), 3.0);
    EXPECT_EQ(roundHalfAway(-2.5), -3.0);
    EXPECT_EQ(roundHalfAway(2.4), 2.0);

    EXPECT_EQ(truncClamp(40000.7, -32768, 32767), 32767);
    EXPECT_EQ(truncClamp(-1e300, -32768, 32767), -32768);
    EXPECT_EQ(truncClamp(std::nan(""), -32768, 32767), 0);
    EXPECT_EQ(truncClamp(-3.9, -32768, 32767), -3);
}

TEST_F(GnssTime, DateTextsUseEnglishNamesAndCrLf)
{
    EXPECT_EQ(getDateString(), "07/Dec/2026\r\n");
    EXPECT_EQ(getHttpDateString(), "07/Dec/2026:12:00:00 GMT\r\n");
    EXPECT_EQ(getYearString(), "2026");
    EXPECT_EQ(getDayOfYearString(), "341");
}
