#include "core/rover_wake.h"

#include <atomic>

WakeSignal roverWake;

namespace {
constexpr int servedSlots = 32;
std::atomic<uint32_t> servedKinds[servedSlots] = {};

uint32_t kindsServed(int baseIndex)
{
    if (baseIndex < 0 || baseIndex >= servedSlots) return 0;
    // Pairs with the fence in setServedKinds: either the rover thread's pass
    // reads what was stored before this call, or this call sees the kinds
    // its rovers read and wakes it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return servedKinds[baseIndex].load(std::memory_order_relaxed);
}
std::atomic<uint64_t> socketChanges[2] = {};
std::atomic<uint32_t> roverNews{0};

void noteNews(uint32_t bits)
{
    roverNews.fetch_or(bits, std::memory_order_acq_rel);
}

uint32_t newsOfBase(int baseIndex)
{
    return baseIndex >= 0 && baseIndex < 31 ? 1u << baseIndex : allRoverNews;
}
}

void openRoverWake()
{
    openWakeSignal(roverWake);
}

namespace {
thread_local int holdDepth = 0;
thread_local bool wakeHeld = false;

void raiseRoverWake()
{
    if (holdDepth > 0) {
        wakeHeld = true;
        return;
    }
    raiseWake(roverWake);
}
}   // namespace

void wakeRoverThread()
{
    noteNews(allRoverNews);
    raiseRoverWake();
}

RoverWakeHold::RoverWakeHold()
{
    ++holdDepth;
}

RoverWakeHold::~RoverWakeHold()
{
    if (--holdDepth > 0 || !wakeHeld) return;
    wakeHeld = false;
    raiseWake(roverWake);
}

void wakeRoversOfBase(int baseIndex)
{
    if (kindsServed(baseIndex) == 0) return;
    noteNews(newsOfBase(baseIndex));
    raiseRoverWake();
}

void wakeRoversOfKind(int baseIndex, int kind)
{
    if (kind < 0 || kind >= 32) return;
    if (!(kindsServed(baseIndex) & (1u << kind))) return;
    noteNews(newsOfBase(baseIndex));
    raiseRoverWake();
}

uint32_t takeRoverNews()
{
    return roverNews.exchange(0, std::memory_order_acq_rel);
}

void setServedKinds(const uint32_t* kindMasks, int count)
{
    for (int i = 0; i < servedSlots; ++i)
        servedKinds[i].store(i < count ? kindMasks[i] : 0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void noteRoverSocketChanged(int clientIndex)
{
    if (clientIndex < 0 || clientIndex >= 128) return;
    socketChanges[clientIndex / 64].fetch_or(uint64_t(1) << (clientIndex % 64),
                                             std::memory_order_acq_rel);
}

void takeRoverSocketChanges(uint64_t changed[2])
{
    for (int w = 0; w < 2; ++w) changed[w] = socketChanges[w].exchange(0, std::memory_order_acq_rel);
}
