#pragma once
// The rover streaming thread sleeps until it has something to do. Whoever
// stores something a rover may be sent wakes it from here, without knowing
// about it: the kept messages of a base (through storeKeptMessage), the
// messages of a synthetic station, a new rover, a base that became trusted
// or left.

#include <cstdint>

#include "platform/wake.h"

extern WakeSignal roverWake;

// Creates the wake-up handle (initGlobals calls it; later calls keep it).
void openRoverWake();
// Wakes the rover thread for its next pass.
void wakeRoverThread();
// Wakes the rover thread when a rover is served from base `baseIndex`: a
// base nobody is served from wakes nothing.
void wakeRoversOfBase(int baseIndex);
// The rover thread's record of the bases its rovers are served from (bit
// per base index), set before each pass that reads their messages.
void setServedBases(uint32_t baseMask);
