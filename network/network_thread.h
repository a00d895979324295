#pragma once
// The network-correction thread: in turns (see networkTurnWaitMs) it gives
// each base whose observations of a system are new, once the system's
// observation message has stood for more than 400 ms (the rest of the
// epoch's messages have had their time to arrive), that system's correction
// gradients and rebuilds its FKP message (1034 for GPS, 1035 for GLONASS;
// BeiDou has none); then it keeps the synthetic reference stations. It is
// the only writer of the kept 1034 and 1035.

#include <cstdint>

// The wait between the observation message and the gradients.
constexpr uint32_t networkDelayMs = 400;
// The thread's period while synthetic stations are kept.
constexpr int networkTurnMs = 50;
// Its longest sleep otherwise: the only work then is the gradients, due a
// known time after each observation message.
constexpr int networkIdleTurnMs = 100;

// Thread body; runs while dataThreadsRun is set.
void networkCorrectionThread();

// One turn at processor clock `nowMs`.
void networkCorrectionTurn(uint32_t nowMs);
// The sleep after the turn begun at `startMs`, at `nowMs`: till the next
// turn that can have work, every networkTurnMs while a synthetic station is
// kept, else till the soonest base's observations have stood their delay,
// at most networkIdleTurnMs.
int networkTurnWaitMs(uint32_t startMs, uint32_t nowMs);
