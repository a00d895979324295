#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"

TEST(Platform, ClockIsWallTimeNotCpuTime)
{
    uint32_t t0 = clockMs();
    sleepMs(120);   // a sleeping process uses no CPU time
    uint32_t d = clockMs() - t0;
    EXPECT_GE(d, 110u);
    EXPECT_LT(d, 2000u);
    EXPECT_EQ(clockDiff(5, 0xFFFFFFFBu), 10u);   // across the 32-bit wrap
}

TEST(Platform, MutexWaitsAreBoundedAndRecursive)
{
    Mutex m;
    ASSERT_TRUE(waitMutex(m, 0));
    EXPECT_TRUE(waitMutex(m, 0));   // the owner may take it again
    releaseMutex(m);
    bool other = true;
    uint32_t waited = 0;
    std::thread t([&] {
        uint32_t t0 = clockMs();
        other = waitMutex(m, 100);
        waited = clockMs() - t0;
    });
    t.join();
    EXPECT_FALSE(other);
    EXPECT_GE(waited, 90u);
    releaseMutex(m);
    {
        MutexWait lock(m, 0);
        EXPECT_TRUE(lock.held());
    }
    std::thread t2([&] { other = waitMutex(m, 0); if (other) releaseMutex(m); });
    t2.join();
    EXPECT_TRUE(other);
}

TEST(Platform, ManualResetEventStaysSet)
{
    Event e;
    EXPECT_FALSE(eventIsSet(e));
    setEvent(e);
    EXPECT_TRUE(eventIsSet(e));
    EXPECT_TRUE(eventIsSet(e));
    resetEvent(e);
    EXPECT_FALSE(eventIsSet(e));
}

TEST(Platform, SocketErrorsMapToTheCodesTheServiceTests)
{
    EXPECT_EQ(mapSocketError(EAGAIN), errWouldBlock);
    EXPECT_EQ(mapSocketError(EWOULDBLOCK), 10035);
    EXPECT_EQ(mapSocketError(EINPROGRESS), 10035);
    EXPECT_EQ(mapSocketError(ETIMEDOUT), 10060);
    EXPECT_EQ(mapSocketError(ECONNREFUSED), 10061);
    EXPECT_EQ(mapSocketError(EHOSTUNREACH), 10064);
    EXPECT_EQ(mapSocketError(EHOSTDOWN), 10064);
}

TEST(Platform, DateTextsAreInTheCLocale)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(formatLocalTime("%d/%b/%Y:%X", 0), "01/Jan/1970:00:00:00");
}
