#pragma once
// The synthetic reference stations' share of each network-correction turn:
// keep every record in use (bases, lines, release), synthesise its
// observations and build its messages.

#include <cstdint>

// One turn at processor clock `nowMs`.
void updateErpRecords(uint32_t nowMs);
