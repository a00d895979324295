#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
const auto programStart = std::chrono::steady_clock::now();
std::atomic<time_t> wallOverride{0};
}

uint32_t clockMs()
{
    auto elapsed = std::chrono::steady_clock::now() - programStart;
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

uint32_t clockDiff(uint32_t a, uint32_t b)
{
    uint32_t d = a - b;
    uint32_t e = b - a;
    return d < e ? d : e;
}

void sleepMs(int ms)
{
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sleepUs(int us)
{
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

time_t wallTime()
{
    time_t t = wallOverride.load();
    return t != 0 ? t : time(nullptr);
}

void setWallTimeOverride(time_t t)
{
    wallOverride.store(t);
}

std::string formatLocalTime(const char* format, time_t t)
{
    struct tm local {};
    localtime_r(&t, &local);
    char text[128];
    size_t n = strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}
