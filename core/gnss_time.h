#pragma once
// The program-wide GNSS "now": epoch times of each system, GPS week and MJD,
// moved forward by the decoders through guarded setters; conversions between
// time scales; the encoders' rounding; local date texts.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/sync.h"

// Written only through their setters; read anywhere without a lock.
extern std::atomic<uint32_t> currentGpsTowMs;
extern std::atomic<uint32_t> currentGloTodMs;
extern std::atomic<uint32_t> currentBdsTowMs;
extern std::atomic<uint32_t> currentGalTowMs;
extern std::atomic<uint16_t> currentGpsWeek;
extern std::atomic<uint32_t> currentMjd;
extern std::atomic<uint32_t> currentGpsDayOfWeek;

extern Mutex gpsTowMutex, gloTodMutex, bdsTowMutex, galTowMutex, gpsWeekMutex, mjdMutex,
    gpsDayOfWeekMutex;

constexpr int gpsUtcLeapSeconds = 17;
constexpr uint16_t gpsWeekRolloverThreshold = 1903;
constexpr int64_t gpsEpochUnix = 315964800;   // 1980-01-06
constexpr uint32_t mjdGpsEpoch = 44244;
constexpr uint32_t mjdUnixEpoch = 40587;
constexpr int epochSetterWaitMs = 500;

// Resets the values to 0 (start of the program, and test fixtures).
void initEpochValues();

void setGpsTow(uint32_t ms);
void setGloTod(uint32_t ms);
void setBdsTow(uint32_t ms);
void setGalTow(uint32_t ms);
void setMjd(uint32_t mjd);
void setGpsWeek(uint16_t week);
// Takes full weeks only (see fullGpsWeek).
void updateGpsWeek(uint16_t week);
void setGpsDayOfWeek(uint32_t day);

// The GPS week of the PC clock (full, not reduced modulo 1024).
uint32_t pcClockGpsWeek();
// A week number that may have lost its high bits (a 10-bit broadcast week)
// becomes the full week with the same low 10 bits nearest the PC clock's
// week; a full week (1024 or more) is returned unchanged.
uint16_t fullGpsWeek(uint32_t week);

int32_t gpsWeekToMjd(uint16_t week, uint32_t secondsOfWeek);
void setTimeFromPcClock();
void unixToGpsTime(int64_t unixSeconds, uint32_t& week, uint32_t& secondsOfWeek,
                   uint32_t& dayOfWeek);
void mjdToDate(int32_t mjd, int32_t& year, int32_t& month, int32_t& day);
// Time (ms) from epoch `then` on to epoch `now`, across the rollover of a
// system's day or week (`periodMs`).
inline uint32_t msSinceEpoch(uint32_t now, uint32_t then, uint32_t periodMs)
{
    return now >= then ? now - then : now + periodMs - then;
}
double utcSecondsOfDay();

// Nearest integer with exact halves toward zero once truncated (encoders).
double roundNearest(double x);
// Nearest integer, halves away from zero.
double roundHalfAway(double x);
// Truncates toward zero and clamps into [lo, hi]; NaN gives 0. Every
// double-to-integer field conversion goes through this.
int64_t truncClamp(double x, int64_t lo, int64_t hi);

std::string getYearString();
std::string getMonthString();
std::string getDayString();
std::string getDayOfYearString();
std::string getDateString();       // "%d/%b/%Y\r\n"
std::string getHttpDateString();   // "%d/%b/%Y:%X GMT\r\n" (local time)
