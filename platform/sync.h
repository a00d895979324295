#pragma once
// Locks and events with the semantics the caster's threads were designed
// around: a mutex is taken with a bounded wait that reports whether it was
// acquired, and a manual-reset event stays set until it is reset and can be
// tested without waiting.

#include <atomic>
#include <mutex>

// Recursive like the operating-system mutexes the design assumes: a thread
// that already holds a slot's mutex may take it again.
struct Mutex {
    std::recursive_timed_mutex m;
};

// Waits at most `ms` milliseconds (0 = just try). True when acquired; only
// then may the caller release it.
bool waitMutex(Mutex& mutex, int ms);
void releaseMutex(Mutex& mutex);

// Holds a mutex taken with waitMutex for the scope; releases only when held.
class MutexWait {
public:
    MutexWait(Mutex& mutex, int ms) : mutex_(mutex), held_(waitMutex(mutex, ms)) {}
    ~MutexWait() { if (held_) releaseMutex(mutex_); }
    MutexWait(const MutexWait&) = delete;
    MutexWait& operator=(const MutexWait&) = delete;
    bool held() const { return held_; }
private:
    Mutex& mutex_;
    bool held_;
};

// Manual-reset event: created not signalled.
struct Event {
    std::atomic<bool> signalled{false};
};

inline void setEvent(Event& e) { e.signalled.store(true, std::memory_order_release); }
inline void resetEvent(Event& e) { e.signalled.store(false, std::memory_order_release); }
// The zero-wait test.
inline bool eventIsSet(const Event& e) { return e.signalled.load(std::memory_order_acquire); }
