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

// Holds the calling thread's wake-ups for the scope: a writer that stores
// several messages in a row (the base data thread scanning one receive)
// wakes the rover thread once, after the last, so that one pass finds them
// all and each rover is sent them together.
class RoverWakeHold {
public:
    RoverWakeHold();
    ~RoverWakeHold();
    RoverWakeHold(const RoverWakeHold&) = delete;
    RoverWakeHold& operator=(const RoverWakeHold&) = delete;
};
// Wakes the rover thread when a rover is served from base `baseIndex`: a
// base nobody is served from wakes nothing.
void wakeRoversOfBase(int baseIndex);
// Wakes the rover thread when a rover served from base `baseIndex` reads
// kept kind `kind`: the kinds no rover takes (the other formats' messages
// that are built for every epoch) wake nothing.
void wakeRoversOfKind(int baseIndex, int kind);
// What the wake-ups since the rover thread's last call were for: bit b for
// base b (a message stored for it, the base trusted or gone), and
// allRoverNews for anything else (a login, a synthetic station's messages).
// Clears them. Each bit is set before its wake-up is raised, so a turn that
// takes the wake-up and then this finds every base it was woken for.
constexpr uint32_t allRoverNews = 0x80000000u;
uint32_t takeRoverNews();

// A rover slot's socket changed (a login filled it, or it was closed): the
// rover thread watches the slot's socket afresh.
void noteRoverSocketChanged(int clientIndex);
// The rover thread's side: the slots changed since its last call, bit i of
// word i / 64, and clears them.
void takeRoverSocketChanges(uint64_t changed[2]);
// The rover thread's record of what its rovers read: for each base index
// below `count`, the kept kinds (bit per kind), set before each pass that
// reads them. Bases from `count` on read nothing.
void setServedKinds(const uint32_t* kindMasks, int count);
