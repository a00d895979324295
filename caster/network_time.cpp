#include "caster/network_time.h"

#include <string>

#include "caster/time_query.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

// Public stratum-1 servers of NIST's time service. The first is asked again
// last, when all others stayed silent.
const char* const timeServers[timeServerCount] = {
    "129.6.15.28",   "129.6.15.29",    "129.6.15.30",    "129.6.15.27",
    "132.163.96.1",  "132.163.96.2",   "132.163.96.3",   "132.163.97.1",
    "132.163.97.2",  "132.163.97.3",   "128.138.140.44", "128.138.141.172",
    "129.6.15.26",   "132.163.96.4",   "132.163.97.4",   "129.6.15.26",
};
const char* const timeServerPort = "123";

void storeNetworkTime(uint32_t t)
{
    uint32_t mjd = t / 86400 + mjdUnixEpoch;
    uint32_t week = 0, secondsOfWeek = 0, dayOfWeek = 0;
    unixToGpsTime(int64_t(t), week, secondsOfWeek, dayOfWeek);
    // The conversion gives the broadcast 10-bit week; the shared week is
    // the full one, which the server's time tells outright.
    int64_t gpsSeconds = int64_t(t) + gpsUtcLeapSeconds - gpsEpochUnix;
    uint16_t fullWeek = gpsSeconds > 0 ? uint16_t(gpsSeconds / 604800) : uint16_t(week);
    updateGpsWeek(fullWeek);
    setMjd(mjd);
    setGpsTow(secondsOfWeek * 1000);
    setGpsDayOfWeek(dayOfWeek);
}

bool getNetworkTime(const char* const* servers, int count, const char* port)
{
    uint32_t t = 0;
    bool answered = false;
    for (int i = 0; i < count && !answered; ++i) {
        answered = queryTimeServer(servers[i], port, t);
        consoleLine(std::string("           trying server at ") + servers[i]);
        sleepMs(timeServerGapMs);
    }
    if (!answered) {
        consoleLine("tried all time servers");
        return false;
    }
    storeNetworkTime(t);
    return true;
}

bool getNetworkTime()
{
    return getNetworkTime(timeServers, timeServerCount, timeServerPort);
}

void timeThread()
{
    timeQueryLoop(timeServers, timeServerCount, timeServerPort);
}

void timeQueryLoop(const char* const* servers, int count, const char* port)
{
    constexpr int stepMs = 100;
    time_t lastQuery = 0;
    while (dataThreadsRun) {
        time_t now = wallTime();
        if (now - lastQuery > 1 || lastQuery - now > 1) {
            getNetworkTime(servers, count, port);
            lastQuery = now;
        }
        // The ten seconds in steps, so that a shutdown is not kept waiting.
        for (int waited = 0; waited < timeQueryIntervalMs && dataThreadsRun; waited += stepMs)
            sleepMs(stepMs);
    }
}
