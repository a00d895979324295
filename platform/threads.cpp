#include "platform/threads.h"

#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {
std::mutex threadsLock;
std::vector<std::thread> threads;
}

bool startThread(ThreadMain entry)
{
    std::lock_guard<std::mutex> g(threadsLock);
    try {
        threads.emplace_back(entry);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void joinAllThreads()
{
    std::vector<std::thread> running;
    {
        std::lock_guard<std::mutex> g(threadsLock);
        running.swap(threads);
    }
    for (auto& t : running)
        if (t.joinable()) t.join();
}
