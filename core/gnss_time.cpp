#include "core/gnss_time.h"

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/console.h"

std::atomic<uint32_t> currentGpsTowMs{0};
std::atomic<uint32_t> currentGloTodMs{0};
std::atomic<uint32_t> currentBdsTowMs{0};
std::atomic<uint32_t> currentGalTowMs{0};
std::atomic<uint16_t> currentGpsWeek{0};
std::atomic<uint32_t> currentMjd{0};
std::atomic<uint32_t> currentGpsDayOfWeek{0};

Mutex gpsTowMutex, gloTodMutex, bdsTowMutex, galTowMutex, gpsWeekMutex, mjdMutex,
    gpsDayOfWeekMutex;

void initEpochValues()
{
    currentGpsTowMs = 0;
    currentGloTodMs = 0;
    currentBdsTowMs = 0;
    currentGalTowMs = 0;
    currentGpsWeek = 0;
    currentMjd = 0;
    currentGpsDayOfWeek = 0;
}

// A later epoch is taken at once; an earlier one only when it is more than
// 6 s earlier, which is the wrap at the end of a week or day.
static void setEpoch(std::atomic<uint32_t>& value, Mutex& mutex, uint32_t ms)
{
    MutexWait lock(mutex, epochSetterWaitMs);
    if (!lock.held()) return;
    uint32_t stored = value.load();
    if (ms > stored || stored - ms > 6000u) value.store(ms);
}

void setGpsTow(uint32_t ms) { setEpoch(currentGpsTowMs, gpsTowMutex, ms); }
void setGloTod(uint32_t ms) { setEpoch(currentGloTodMs, gloTodMutex, ms); }
void setBdsTow(uint32_t ms) { setEpoch(currentBdsTowMs, bdsTowMutex, ms); }
void setGalTow(uint32_t ms) { setEpoch(currentGalTowMs, galTowMutex, ms); }

void setMjd(uint32_t mjd)
{
    MutexWait lock(mjdMutex, epochSetterWaitMs);
    if (!lock.held()) return;
    if (currentMjd.load() != mjd) currentMjd.store(mjd);
}

void setGpsWeek(uint16_t week)
{
    MutexWait lock(gpsWeekMutex, epochSetterWaitMs);
    if (!lock.held()) return;
    currentGpsWeek.store(week);
}

void updateGpsWeek(uint16_t week)
{
    if (week > currentGpsWeek.load()) setGpsWeek(week);
    int diff = int(currentGpsWeek.load()) - int(week);
    if (std::abs(diff) > 700) setGpsWeek(week);
}

void setGpsDayOfWeek(uint32_t day)
{
    MutexWait lock(gpsDayOfWeekMutex, epochSetterWaitMs);
    if (!lock.held()) return;
    currentGpsDayOfWeek.store(day);
}

uint32_t pcClockGpsWeek()
{
    int64_t days = int64_t(wallTime()) / 86400 + mjdUnixEpoch;
    if (days < int64_t(mjdGpsEpoch)) return 0;
    return uint32_t((days - mjdGpsEpoch) / 7);
}

uint16_t fullGpsWeek(uint32_t week)
{
    if (week >= 1024) return uint16_t(week);
    int64_t pc = pcClockGpsWeek();
    int64_t candidate = (pc & ~int64_t(1023)) | int64_t(week);
    if (candidate > pc + 512) candidate -= 1024;
    if (candidate + 512 < pc) candidate += 1024;
    if (candidate < 0) candidate += 1024;
    return uint16_t(candidate);
}

int32_t gpsWeekToMjd(uint16_t week, uint32_t secondsOfWeek)
{
    uint32_t w = week;
    if (w < 1024) {
        w = fullGpsWeek(w);
    } else if (w < gpsWeekRolloverThreshold) {
        int year = std::atoi(getYearString().c_str());
        if (year >= 2000 && year <= 2019) w += 1024;
    }
    return int32_t(mjdGpsEpoch + 7 * w + secondsOfWeek / 86400);
}

void setTimeFromPcClock()
{
    uint32_t mjd = uint32_t(int64_t(wallTime()) / 86400 + mjdUnixEpoch);
    setMjd(mjd);
    // The full week: everything downstream works with full weeks and reduces
    // a narrow field itself.
    uint16_t week = uint16_t(mjd >= mjdGpsEpoch ? (mjd - mjdGpsEpoch) / 7 : 0);
    setGpsWeek(week);
    consoleLine("MJD from PC clock    " + std::to_string(currentMjd.load()));
    consoleLine("GPS WN from PC clock " + std::to_string(currentGpsWeek.load()));
}

void unixToGpsTime(int64_t unixSeconds, uint32_t& week, uint32_t& secondsOfWeek,
                   uint32_t& dayOfWeek)
{
    int64_t g = unixSeconds + gpsUtcLeapSeconds - gpsEpochUnix;
    if (g < 0) g = 0;
    week = uint32_t((g / 604800) % 1024);
    secondsOfWeek = uint32_t(g % 604800);
    dayOfWeek = secondsOfWeek / 86400;
}

void mjdToDate(int32_t mjd, int32_t& year, int32_t& month, int32_t& day)
{
    int64_t l = int64_t(mjd) + 2468570;
    int64_t n = 4 * l / 146097;
    l = l - (146097 * n + 3) / 4;
    int64_t i = 4000 * (l + 1) / 1461001;
    l = l - 1461 * i / 4 + 31;
    int64_t j = 80 * l / 2447;
    day = int32_t(l - 2447 * j / 80);
    l = j / 11;
    month = int32_t(j + 2 - 12 * l);
    year = int32_t(100 * (n - 49) + i + l);
}

double utcSecondsOfDay()
{
    using namespace std::chrono;
    auto now = system_clock::now();
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 86400000;
    return double(ms) / 1000.0;
}

double roundNearest(double x)
{
    double mag = std::fabs(x);
    double frac = mag - std::floor(mag);
    if (x > 0 && frac > 0.5) return x + 0.5;
    if (x < 0 && frac > 0.5) return x - 0.5;
    return x;
}

double roundHalfAway(double x)
{
    return std::round(x);
}

int64_t truncClamp(double x, int64_t lo, int64_t hi)
{
    if (std::isnan(x)) return 0;
    if (x <= double(lo)) return lo;
    if (x >= double(hi)) return hi;
    return int64_t(x);
}

std::string getYearString() { return formatLocalTime("%Y", wallTime()); }
std::string getMonthString() { return formatLocalTime("%m", wallTime()); }
std::string getDayString() { return formatLocalTime("%d", wallTime()); }
std::string getDayOfYearString() { return formatLocalTime("%j", wallTime()); }
std::string getDateString() { return formatLocalTime("%d/%b/%Y\r\n", wallTime()); }
std::string getHttpDateString() { return formatLocalTime("%d/%b/%Y:%X GMT\r\n", wallTime()); }
