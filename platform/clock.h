#pragma once
// Time sources. The "processor clock" of the design is elapsed wall time in
// milliseconds since the program started, held in 32 bits; stamps are
// compared by unsigned difference so the wrap after 49 days does no harm.

#include <cstdint>
#include <ctime>
#include <string>

uint32_t clockMs();
// |a - b| of two clock stamps, taken the short way round the 32-bit circle.
uint32_t clockDiff(uint32_t a, uint32_t b);
void sleepMs(int ms);
void sleepUs(int us);
// Calendar seconds (time()); tests may pin it with setWallTimeOverride.
time_t wallTime();
void setWallTimeOverride(time_t t);   // 0 = use the real clock
// strftime of the local time `t` in the "C" locale (English month names).
std::string formatLocalTime(const char* format, time_t t);
