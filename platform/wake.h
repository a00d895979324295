#pragma once
// A wake-up that a thread waits for together with its sockets: any thread
// raises it, and the waiting thread finds its handle readable. Raisers that
// come while one raise is still untaken cost one atomic exchange each and
// no system call, so a writer may raise it for every message it stores.

#include <atomic>

struct WakeSignal {
    int handle = -1;
    std::atomic<bool> raised{false};
};

// Creates the handle once (later calls keep it). False when the system has
// none to give; the waiter must then not rely on being woken.
bool openWakeSignal(WakeSignal& w);
// The handle to watch for reading; -1 when there is none.
inline int wakeHandle(const WakeSignal& w) { return w.handle; }
// Wakes the waiter. Whatever the raiser wrote before is visible to the
// waiter once it has taken the wake-up.
void raiseWake(WakeSignal& w);
// The waiter's side, once its handle was readable: empties the handle and
// re-arms the signal, so that the next raise wakes it again.
void takeWake(WakeSignal& w);
