#include "core/rover_wake.h"

#include <atomic>

WakeSignal roverWake;

namespace {
std::atomic<uint32_t> servedBases{0};
}

void openRoverWake()
{
    openWakeSignal(roverWake);
}

void wakeRoverThread()
{
    raiseWake(roverWake);
}

void wakeRoversOfBase(int baseIndex)
{
    if (baseIndex < 0 || baseIndex >= 32) return;
    // Pairs with the fence in setServedBases: either the rover thread's pass
    // reads what was stored before this call, or this call sees the base
    // among the served ones and wakes it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (servedBases.load(std::memory_order_relaxed) & (1u << baseIndex)) wakeRoverThread();
}

void setServedBases(uint32_t baseMask)
{
    servedBases.store(baseMask, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}
