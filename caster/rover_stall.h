#pragma once
// Rovers that take nothing. A send fails only once every buffer between us
// and the rover is full, which at a slow stream takes minutes; the queue of
// unacknowledged data in our kernel shows a rover that has stopped reading
// as soon as its own receive buffer is full.

#include <cstdint>

// How often a rover's connection is looked at.
constexpr uint32_t roverTakeSampleMs = 1000;

// Closes the rover when data has waited in its send queue and none of it
// has been acknowledged for roverStallLimitMs. False when it was closed.
bool checkRoverTakesData(int clientIndex, uint32_t now);
