#include "platform/sync.h"

#include <chrono>

bool waitMutex(Mutex& mutex, int ms)
{
    if (ms <= 0) return mutex.m.try_lock();
    return mutex.m.try_lock_for(std::chrono::milliseconds(ms));
}

void releaseMutex(Mutex& mutex)
{
    mutex.m.unlock();
}
