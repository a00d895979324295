#pragma once
// The base data thread: reads every connected base's stream, splits it into
// frames and hands each frame to the kept-message handlers; between reads it
// runs the bases' upkeep.

#include <cstdint>
#include <ctime>

// Thread body, started once by the program entry; runs while dataThreadsRun
// is set and frees every base slot when it ends.
void baseDataThread();

// One read turn: waits at most timeoutMs for any connected base's socket,
// then receives once from each readable one (a closed or failed socket frees
// its slot). Returns the number of bases read, 0 when the wait ran out, -1
// when no base is connected (nothing was waited for), -2 when the wait
// failed.
int baseReadPass(int timeoutMs);

// One receive from the base's socket into the free space of its receive
// buffer, then the scan. Would-block changes nothing; a receive error or the
// base closing the connection frees the slot.
void receiveBaseData(int baseIndex, time_t now, uint32_t clockMs);

// Stores up to the free space of the receive buffer; returns the bytes
// stored (tests feed streams through this instead of a socket).
uint32_t appendBaseData(int baseIndex, const uint8_t* data, uint32_t length);

// Walks the receive buffer for frames, handles each one it finds and takes
// it out, then keeps only the bytes that may still become a frame. Returns
// the number of frames and GSV sentences handled.
uint32_t scanBaseBuffer(int baseIndex, time_t now, uint32_t clockMs);
