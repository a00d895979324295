#pragma once
// The network time query: asks SNTP servers, one after another, for the
// current time and stores the GPS week, MJD, GPS time of week and day of
// week from the first answer. The running caster does not start its
// thread; it takes those values from the PC clock and the bases' messages.

#include <cstdint>

constexpr int timeServerCount = 16;
// The servers asked, in order (one of them twice), on the NTP port.
extern const char* const timeServers[timeServerCount];
extern const char* const timeServerPort;
constexpr int timeServerGapMs = 20;
constexpr int timeQueryIntervalMs = 10000;

// Asks the built-in list. True when a server answered and the values were
// stored.
bool getNetworkTime();
// Asks the given servers on `port` instead (tests use loopback responders).
bool getNetworkTime(const char* const* servers, int count, const char* port);

// Stores the epoch values of the Unix time `t` through their setters.
void storeNetworkTime(uint32_t t);

// Thread body: a query at once and then every ten seconds while
// dataThreadsRun is set.
void timeThread();
// The same loop over the given servers (tests).
void timeQueryLoop(const char* const* servers, int count, const char* port);
