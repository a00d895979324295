#pragma once
// The web status thread: serves the status page to the browser connections
// the listen thread parks in the WebUser slots, and closes idle ones.

#include <ctime>

constexpr time_t webIdleLimitS = 29;       // more than this without data closes a browser
constexpr int webSelectTimeoutMs = 5000;   // the longest wait for browser data in one turn
constexpr int webIdleSleepMs = 500;        // a turn with no browser connected
constexpr int webSlotWaitMs = 100;

// Thread body, started once by the program entry; ends when webThreadRun is
// cleared, every browser socket closed.
void webClientThread();

// The listen thread has parked a browser in a slot (called after inUse is
// set): the web status thread looks at the slots again.
void noteWebUserAccepted();

// One turn at calendar time `now`, waiting at most waitMs for browser data
// (tests pass a short wait).
void webClientTurn(time_t now, int waitMs);

// Closes the slot's connection and frees it, under its mutex (100 ms); false
// when the mutex was not obtained (the reset is tried again next turn).
bool resetWebUser(int index);

// True when the received bytes hold the word "GET" (blanks, tabs, CR and LF
// separate words).
bool holdsGetWord(const char* data, int length);
