#pragma once
// Sends a rover on an ERP stream the messages of its synthetic reference
// station: each kind of the rover's format whose frame is complete and
// carries a stamp the rover has not taken. Rover streaming thread only.

#include <cstdint>

// False when the rover has no ERP record, the record is no longer in use,
// or a send did not go through (would-block included; any other error
// closes the rover); true otherwise, also for a stream code that is no ERP
// stream. Every frame sent marks the record used at `now` (time()).
bool sendErpData(int clientIndex);
// The same with the pass's clock value given.
bool sendErpDataAt(int clientIndex, uint32_t nowMs);
