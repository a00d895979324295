#pragma once
// The rover streaming thread: serves every logged-in rover. Each turn it
// reads what the rovers sent (GGA positions, which choose the bases of the
// nearest-base and network streams), then makes one send pass over all
// rovers. The login (listen thread) fills a Client slot and marks it active;
// from then on only this thread reads and writes the rover's socket.

#include <cstdint>

// Thread function; runs while dataThreadsRun is set, then frees every slot.
void clientThread();

// One read turn: waits at most timeoutMs for any active rover's socket or
// the thread's wake-up, then reads and handles what came. -1 when no rover
// is connected (only the wake-up was waited for), else the number of rover
// sockets that were ready (0 after a time-out or a wake-up alone).
int roverReadPass(int timeoutMs);

// Handles bytes received from a rover: whole GGA sentences, also when they
// arrive in pieces, set its position and bases.
void handleRoverInput(int clientIndex, const char* data, uint32_t length);

// One send pass over all active rovers with the pass's clock value.
void roverSendPass(uint32_t now);

// How long the turn after the pass at `passNow` may wait: until the
// soonest work any rover has by the clock, at most the idle turn's 100 ms.
int roverTurnWaitMs(uint32_t passNow);
