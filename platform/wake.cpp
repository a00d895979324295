#include "platform/wake.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

bool openWakeSignal(WakeSignal& w)
{
    if (w.handle < 0) w.handle = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return w.handle >= 0;
}

void raiseWake(WakeSignal& w)
{
    if (w.raised.exchange(true, std::memory_order_acq_rel)) return;
    if (w.handle < 0) return;
    uint64_t one = 1;
    // A full counter (never reached) would still leave the handle readable.
    ssize_t n = write(w.handle, &one, sizeof one);
    (void)n;
}

void takeWake(WakeSignal& w)
{
    // Emptied before the re-arm: a raise in between finds the signal still
    // raised and writes nothing, and the exchange below makes what it wrote
    // visible here; emptied after, its write could be swallowed and every
    // later raise would find the signal raised for good.
    if (w.handle >= 0) {
        uint64_t count = 0;
        ssize_t n = read(w.handle, &count, sizeof count);
        (void)n;
    }
    w.raised.exchange(false, std::memory_order_acq_rel);
}
