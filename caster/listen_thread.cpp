#include "caster/listen_thread.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "caster/base_login.h"
#include "caster/listen_socket.h"
#include "caster/pending_logins.h"
#include "caster/rover_login.h"
#include "caster/sourcetable.h"
#include "caster/web_client_thread.h"
#include "core/records.h"
#include "core/startup_files.h"
#include "platform/clock.h"
#include "platform/console.h"

Socket clientListenSocket = invalidSocket;
Socket baseListenSocket = invalidSocket;
Socket httpListenSocket = invalidSocket;
bool clientListening = false;
bool baseListening = false;
bool httpListening = false;

std::string clientListenPort = "10000";
std::string baseListenPort = "3000";
std::string httpListenPort = "80";

std::atomic<bool> casterSettingsReload{false};

namespace {
constexpr int idleWaitMs = 100;

struct ListenPort {
    Socket* socket;
    bool* listening;
    const std::string* port;
    const char* listeningLine;
};

const ListenPort roverPort{&clientListenSocket, &clientListening, &clientListenPort,
                           "NTRIP clientListenSocket is listening on Port %s \n"};
const ListenPort basePort{&baseListenSocket, &baseListening, &baseListenPort,
                          "NTRIP baseListenSocket   is listening on Port %s \n"};
const ListenPort httpPort{&httpListenSocket, &httpListening, &httpListenPort,
                          "HTTP   ListenSocket      is listening on Port %s \n"};

void openListenPort(const ListenPort& p)
{
    if (createListenSocket(*p.socket, p.port->c_str()) == 0) {
        consolePrintf(p.listeningLine, p.port->c_str());
        *p.listening = true;
    }
}

void reopenListenPort(const ListenPort& p)
{
    if (!*p.listening || *p.socket == invalidSocket) openListenPort(p);
}

void closeListenPort(const ListenPort& p)
{
    closeSocket(*p.socket);
    *p.socket = invalidSocket;
    *p.listening = false;
}

// The caster-settings save as the running service sees it: the settings are
// read again and the sourcetable is marked stale.
void reloadCasterSettings()
{
    readCasterFile();
    // Asked again next turn when the flag could not be stored.
    if (!setSourceTableCurrent(false)) casterSettingsReload = true;
}

}   // namespace

bool serveListenSockets(int timeoutMs)
{
    const ListenPort* ports[3] = {&httpPort, &basePort, &roverPort};
    struct pollfd fds[3 + maxPendingLogins];
    const ListenPort* polled[3];
    nfds_t count = 0;
    for (const ListenPort* p : ports) {
        if (!*p->listening || *p->socket == invalidSocket) continue;
        fds[count].fd = *p->socket;
        fds[count].events = POLLIN;
        fds[count].revents = 0;
        polled[count] = p;
        ++count;
    }
    // The logins still waiting for their request are watched in the same
    // poll, and the wait ends no later than the first of their time-outs.
    const nfds_t listenCount = count;
    int pendingCount = pendingLoginPollFds(fds + listenCount, maxPendingLogins);
    count += nfds_t(pendingCount);
    int wait = pendingLoginWaitMs(clockMs(), timeoutMs);
    // With every listen socket closed the poll still waits out the turn.
    int r = poll(fds, count, wait);
    if (r < 0) {
        if (errno != EINTR) consoleLine("listen thread socket error = " + std::to_string(lastSocketError()));
        return true;
    }
    // Logins first: the accepts below may change the table of waiting ones.
    if (pendingCount > 0) servePendingLogins(fds + listenCount, pendingCount, clockMs());
    if (r == 0) return false;

    auto revents = [&](const ListenPort& p) -> short {
        for (nfds_t i = 0; i < listenCount; ++i)
            if (polled[i] == &p) return fds[i].revents;
        return 0;
    };
    // A listen socket in an error state is closed and opened afresh next turn.
    const short broken = POLLERR | POLLNVAL;
    bool httpBroken = revents(httpPort) & broken;
    bool baseBroken = revents(basePort) & broken;
    bool roverBroken = revents(roverPort) & broken;
    if (httpBroken) closeListenPort(httpPort);
    if (baseBroken) closeListenPort(basePort);
    if (roverBroken) closeListenPort(roverPort);

    if (!baseBroken && (revents(basePort) & POLLIN)) checkBaseListenSocket();
    if (!roverBroken && (revents(roverPort) & POLLIN)) checkClientListenSocket();
    if (!httpBroken && (revents(httpPort) & POLLIN)) acceptWebConnection();
    return true;
}

void acceptWebConnection()
{
    int slot = -1;
    for (int i = 0; i < maxWebUsers && slot < 0; ++i) {
        if (!waitMutex(webUser[i].mutex, webSlotWaitMs)) continue;
        if (webUser[i].inUse)
            releaseMutex(webUser[i].mutex);
        else
            slot = i;
    }
    if (slot < 0) {
        // Every slot busy: the browser is turned away with the listen socket.
        closeListenPort(httpPort);
        return;
    }
    WebUser& w = webUser[slot];
    Socket s = accept(httpListenSocket, nullptr, nullptr);
    if (s < 0) {
        consoleLine("failed accepting web connection request");
        releaseMutex(w.mutex);
        closeListenPort(httpPort);
        return;
    }
    if (!setNonBlocking(s)) {
        consoleLine("failed setting web connection socket nonblocking");
        closeSocket(s);
        w.socket = invalidSocket;
        w.connectTime = 0;
        w.inUse = false;
        std::memset(w.rxBuffer, 0, sizeof w.rxBuffer);
        releaseMutex(w.mutex);
        closeListenPort(httpPort);
        return;
    }
    // Filled under the slot's mutex; the web status thread answers it.
    w.socket = s;
    w.connectTime = wallTime();
    w.inUse = true;
    releaseMutex(w.mutex);
    noteWebUserAccepted();
}

void listenThread()
{
    readCasterFile();
    buildSourceTable();
    openListenPort(roverPort);
    openListenPort(basePort);
    openListenPort(httpPort);

    while (listenThreadRun) {
        if (casterSettingsReload.exchange(false)) reloadCasterSettings();
        if (!sourceTableCurrent) buildSourceTable();
        reopenListenPort(httpPort);
        reopenListenPort(basePort);
        reopenListenPort(roverPort);
        // An idle turn still lasts idleWaitMs, but a connection ends the
        // wait at once: a sleep after an empty poll kept every login waiting
        // for up to the whole sleep.
        serveListenSockets(idleWaitMs);
    }

    closeListenPort(roverPort);
    closeListenPort(basePort);
    closeListenPort(httpPort);
    closePendingLogins();
}
