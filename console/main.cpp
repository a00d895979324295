// Program entry: builds the globals, prepares the clock-derived epoch values,
// and runs until SIGINT or SIGTERM.

#include <csignal>
#include <pthread.h>

#include "core/gnss_time.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/threads.h"

int main()
{
    // Signals are taken by sigwait below, never by whichever thread they hit.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    initGlobals();
    setTimeFromPcClock();

    int received = 0;
    sigwait(&signals, &received);

    listenThreadRun = false;
    dataThreadsRun = false;
    tcpBaseThreadRun = false;
    webThreadRun = false;
    sleepMs(500);
    joinAllThreads();
    consoleLine("caster stopped");
    return 0;
}
