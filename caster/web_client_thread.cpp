#include "caster/web_client_thread.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>

#include "caster/status_page.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {
// The wait for browser data is cut into steps so that a shutdown is seen
// within one step, not after the whole wait.
constexpr int waitStepMs = 100;

// Browsers parked by the listen thread so far; while it stands still after
// a turn that found no slot in use, no slot can be in use.
std::atomic<uint32_t> webAccepts{0};

time_t absDiff(time_t a, time_t b) { return a > b ? a - b : b - a; }

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
}   // namespace

bool holdsGetWord(const char* data, int length)
{
    int i = 0;
    while (i < length) {
        while (i < length && isSeparator(data[i])) ++i;
        int start = i;
        while (i < length && !isSeparator(data[i])) ++i;
        if (i - start == 3 && std::memcmp(data + start, "GET", 3) == 0) return true;
    }
    return false;
}

bool resetWebUser(int index)
{
    WebUser& w = webUser[index];
    MutexWait lock(w.mutex, webSlotWaitMs);
    if (!lock.held()) return false;
    closeSocket(w.socket);
    w.socket = invalidSocket;
    w.connectTime = 0;
    w.inUse = false;
    std::memset(w.rxBuffer, 0, sizeof w.rxBuffer);
    return true;
}

void webClientTurn(time_t now, int waitMs)
{
    for (int i = 0; i < maxWebUsers; ++i)
        if (webUser[i].inUse && absDiff(webUser[i].connectTime, now) > webIdleLimitS)
            resetWebUser(i);

    struct pollfd fds[maxWebUsers];
    int slotOf[maxWebUsers];
    nfds_t count = 0;
    for (int i = 0; i < maxWebUsers; ++i) {
        if (!webUser[i].inUse || webUser[i].socket == invalidSocket) continue;
        fds[count] = {webUser[i].socket, POLLIN, 0};
        slotOf[count] = i;
        ++count;
    }
    webUserCount = int32_t(count);
    if (count == 0) {
        sleepMs(webIdleSleepMs);
        return;
    }

    int r = 0;
    for (int waited = 0; r == 0 && waited < waitMs && webThreadRun; waited += waitStepMs) {
        int step = waitMs - waited < waitStepMs ? waitMs - waited : waitStepMs;
        r = poll(fds, count, step);
        if (r < 0 && errno == EINTR) r = 0;
    }
    if (r == 0) return;
    if (r < 0) {
        consoleLine("webClient thread socket error, Total returned = " +
                    std::to_string(lastSocketError()));
        return;
    }

    for (nfds_t k = 0; k < count; ++k) {
        int i = slotOf[k];
        WebUser& w = webUser[i];
        short ev = fds[k].revents;
        if (ev & (POLLERR | POLLNVAL)) {
            resetWebUser(i);
            continue;
        }
        if (!(ev & (POLLIN | POLLHUP))) continue;
        // One bounded receive per slot and turn: a browser that floods the
        // port gets no more of the thread's time than any other.
        int n = socketRecv(w.socket, w.rxBuffer, sizeof w.rxBuffer);
        if (n < 0) {
            int err = lastSocketError();
            if (err == errWouldBlock) continue;
            consoleLine("error receiving webUser data.  " + std::to_string(err));
            resetWebUser(i);
            continue;
        }
        if (n == 0) {
            resetWebUser(i);
            continue;
        }
        w.connectTime = now;
        if (holdsGetWord(w.rxBuffer, n)) {
            sendStatusPage(w.socket);
            resetWebUser(i);
        }
    }
}

void noteWebUserAccepted()
{
    webAccepts.fetch_add(1, std::memory_order_acq_rel);
}

void webClientThread()
{
    bool knownEmpty = false;
    uint32_t acceptsSeen = 0;
    while (webThreadRun) {
        uint32_t accepts = webAccepts.load(std::memory_order_acquire);
        if (knownEmpty && accepts == acceptsSeen) {
            // The idle turn, without walking fifty empty slots.
            sleepMs(webIdleSleepMs);
            continue;
        }
        acceptsSeen = accepts;
        webClientTurn(wallTime(), webSelectTimeoutMs);
        knownEmpty = webUserCount == 0;
    }
    for (WebUser& w : webUser) {
        closeSocket(w.socket);
        w.socket = invalidSocket;
        w.inUse = false;
    }
    webUserCount = 0;
}
