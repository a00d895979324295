#include "caster/pending_logins.h"

#include "caster/base_login.h"
#include "caster/rover_login.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

struct PendingLogin {
    Socket socket = invalidSocket;
    LoginKind kind = LoginKind::rover;
    uint32_t acceptedMs = 0;
};

// Touched by the listen thread only.
PendingLogin pending[maxPendingLogins];
// Entries holding a socket: with none, an idle turn of the listen thread
// walks no entry.
int held = 0;

uint32_t waitLimit(LoginKind kind)
{
    return kind == LoginKind::base ? baseLoginWaitMs : roverLoginWaitMs;
}

void drop(PendingLogin& p)
{
    if (p.socket != invalidSocket) --held;
    closeSocket(p.socket);
    p.socket = invalidSocket;
}

void timeOut(PendingLogin& p, bool error)
{
    const char* who = p.kind == LoginKind::base ? "checkBaseListenSocket" : "checkClientListenSocket";
    consoleLine(std::string(who) + (error ? ", select = error group" : ", select timeout"));
    drop(p);
}

void runLogin(PendingLogin& p)
{
    // The login owns the socket from here: it keeps it or closes it.
    Socket s = p.socket;
    p.socket = invalidSocket;
    --held;
    int index = -1;
    if (p.kind == LoginKind::base)
        completeBaseLogin(s, index);
    else
        completeClientLogin(s, index);
}

}   // namespace

void addPendingLogin(Socket s, LoginKind kind, uint32_t now)
{
    PendingLogin* slot = nullptr;
    PendingLogin* oldest = nullptr;
    for (PendingLogin& p : pending) {
        if (p.socket == invalidSocket) {
            slot = &p;
            break;
        }
        if (!oldest || clockDiff(now, p.acceptedMs) > clockDiff(now, oldest->acceptedMs)) oldest = &p;
    }
    if (!slot) {
        // A flood of silent connections pushes out its own oldest members;
        // a peer that sends its request at once is served before its turn
        // to leave comes.
        consoleLine("too many logins waiting, closing the oldest connection");
        drop(*oldest);
        slot = oldest;
    }
    slot->socket = s;
    ++held;
    slot->kind = kind;
    slot->acceptedMs = now;
}

int pendingLoginPollFds(pollfd* fds, int room)
{
    int count = 0;
    if (held == 0) return 0;
    for (const PendingLogin& p : pending) {
        if (p.socket == invalidSocket || count >= room) continue;
        fds[count].fd = p.socket;
        fds[count].events = POLLIN | POLLPRI;
        fds[count].revents = 0;
        ++count;
    }
    return count;
}

int pendingLoginWaitMs(uint32_t now, int longest)
{
    int wait = longest;
    if (held == 0) return wait;
    for (const PendingLogin& p : pending) {
        if (p.socket == invalidSocket) continue;
        uint32_t waited = clockDiff(now, p.acceptedMs);
        uint32_t limit = waitLimit(p.kind);
        int left = waited >= limit ? 0 : int(limit - waited);
        if (left < wait) wait = left;
    }
    return wait;
}

void servePendingLogins(const pollfd* fds, int count, uint32_t now)
{
    if (held == 0) return;
    for (int k = 0; k < count; ++k) {
        if (fds[k].revents == 0) continue;
        for (PendingLogin& p : pending) {
            if (p.socket != fds[k].fd) continue;
            // Data, or the peer's hang-up, which the receive then reports.
            if (fds[k].revents & (POLLIN | POLLHUP))
                runLogin(p);
            else
                timeOut(p, true);
            break;
        }
    }
    for (PendingLogin& p : pending) {
        if (p.socket != invalidSocket && clockDiff(now, p.acceptedMs) >= waitLimit(p.kind))
            timeOut(p, false);
    }
}

int pendingLoginCount()
{
    return held;
}

void closePendingLogins()
{
    for (PendingLogin& p : pending) drop(p);
}
