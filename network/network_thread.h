#pragma once
// The network-correction thread: every 50 ms it gives each base whose
// observations of a system are new, once the system's observation message
// has stood for more than 400 ms (the rest of the epoch's messages have had
// their time to arrive), that system's correction gradients and rebuilds
// its FKP message (1034 for GPS, 1035 for GLONASS; BeiDou has none); then
// it keeps the synthetic reference stations. It is the only writer of the
// kept 1034 and 1035.

#include <cstdint>

// The wait between the observation message and the gradients.
constexpr uint32_t networkDelayMs = 400;
// The thread's period.
constexpr int networkTurnMs = 50;

// Thread body; runs while dataThreadsRun is set.
void networkCorrectionThread();

// One turn at processor clock `nowMs`.
void networkCorrectionTurn(uint32_t nowMs);
