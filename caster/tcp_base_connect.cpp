#include "caster/tcp_base_connect.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include "caster/base_login.h"
#include "caster/listen_socket.h"
#include "caster/tcp_base_file.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

time_t absDiff(time_t a, time_t b) { return a > b ? a - b : b - a; }

// The console line of a connect that failed with `err`.
void reportConnectError(int err, const std::string& host)
{
    if (err == errRefused)
        consoleLine("no server program at requested address " + host);
    else if (err == errHostDown || err == errTimedOut)
        consoleLine("no server present at requested address " + host);
    else
        consoleLine("connect call WSA error code " + std::to_string(err));
}

// Connects the socket to the resolved address, waiting at most a second.
bool connectResolved(Socket s, const struct addrinfo* address, const std::string& host)
{
    if (connect(s, address->ai_addr, address->ai_addrlen) == 0) {
        consoleLine("socket opened to server instantly");
        return true;
    }
    int err = lastSocketError();
    if (err != errWouldBlock) {
        reportConnectError(err, host);
        return false;
    }
    short revents = 0;
    int r = pollSocket(s, POLLOUT, tcpBaseConnectWaitMs, revents);
    if (r == 0) {
        consoleLine("connect call to server, select call timeout elapsed\r");
        return false;
    }
    if (r < 0) {
        consoleLine("connect call to server, select call error state\r");
        return false;
    }
    // A refused connect shows writable too: only SO_ERROR tells a standing
    // connection from a failed one.
    err = pendingSocketError(s);
    if (err != 0) {
        reportConnectError(err, host);
        return false;
    }
    if (revents & POLLOUT) {
        consoleLine("socket opened to server, after wait");
        return true;
    }
    consoleLine("connect call to server, select call error state\r");
    return false;
}

bool mountpointOnline(const std::string& mountpoint, bool& online)
{
    bool known = true;
    online = false;
    for (BaseStation& b : baseStation) {
        if (!b.connected) continue;
        // The mountpoint text is written under the slot's mutex; one held
        // by a login leaves this entry's mark as it was.
        MutexWait lock(b.mutex, 100);
        if (!lock.held()) {
            known = false;
            continue;
        }
        if (b.connected && b.mountpoint == mountpoint) {
            online = true;
            return true;
        }
    }
    return known;
}

void refreshOnlineMarks()
{
    for (int i = 0; i < tcpBaseCount && i < maxTcpBases; ++i) {
        bool online = false;
        if (mountpointOnline(tcpBase[i].mountpoint, online)) tcpBase[i].online = online;
    }
}

// One entry's attempt: a free slot, its mutex, the connection, the slot's
// fields.
void connectEntry(TcpBase& t, time_t now)
{
    int slot = -1;
    for (int i = 0; i < maxBases && slot < 0; ++i)
        if (!baseStation[i].connected) slot = i;
    if (slot < 0) return;
    BaseStation& b = baseStation[slot];
    MutexWait lock(b.mutex, tcpBaseSlotWaitMs);
    if (!lock.held() || b.connected) return;

    if (!connectToServer(b.socket, t.ipAddress, t.port)) {
        consoleLine("TCPbase thread FAILED to connect to outside IP address " + t.ipAddress +
                    "   port " + t.port);
        return;
    }
    // A base may have logged in under this mountpoint while we connected.
    MutexWait admission(baseAdmissionMutex, baseAdmissionWaitMs);
    bool online = false;
    if (!admission.held() || !mountpointOnline(t.mountpoint, online) || online) {
        consoleLine("TCPbase thread mountpoint " + t.mountpoint + " already connected, closing");
        closeSocket(b.socket);
        b.socket = invalidSocket;
        return;
    }
    t.online = true;
    b.mountpoint = t.mountpoint;
    b.identifier = t.location;
    b.network = t.networkName;
    b.country = t.country;
    b.navSystem = t.gnss;
    b.connectTime = now;
    b.lastDataTime = now;
    b.carrier = 2;
    // A new base in the slot: rovers admitted for the one before it are not
    // served by this one.
    b.connectionSerial.fetch_add(1);
    b.connected = 1;
    wakeBaseDataThread();
    consoleLine("TCPbase thread SUCCESS connecting to outside IP address");
}

}   // namespace

bool connectToServer(Socket& s, const std::string& host, const std::string& port)
{
    if (s != invalidSocket) {
        consoleLine("debug socket was not invalid, closing now");
        closeSocket(s);
        s = invalidSocket;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        consolePrintf("Winsock getaddrinfo failed for outbound struct. %d\n", rc);
        return false;
    }
    bool ok = false;
    s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s < 0) {
        consolePrintf("Socket failed initializing %d %d.\n", s, lastSocketError());
    } else if (!setNonBlocking(s)) {
        consolePrintf("client socket could not set nonblocking, with error: %d\n",
                      lastSocketError());
    } else {
        // SO_DONTLINGER has no Linux form: a close already returns at once.
        if (!setReuseAddress(s))
            consoleLine("client socket could not set option REUSEADDR  " +
                        std::to_string(lastSocketError()));
        ok = connectResolved(s, list, host);
    }
    freeaddrinfo(list);
    if (!ok) {
        closeSocket(s);
        s = invalidSocket;
    }
    return ok;
}

void tcpBaseConnectTurn(time_t now, time_t& lastOnlineCheck)
{
    if (tcpBaseReload) {
        // A table held elsewhere is read on a later turn.
        if (loadTcpBaseFile() != TcpBaseFileRead::tableBusy) {
            lastOnlineCheck = now - (tcpBaseOnlineCheckGapS + 1);
            tcpBaseReload = false;
        }
    }
    if (absDiff(now, lastOnlineCheck) > tcpBaseOnlineCheckGapS) {
        refreshOnlineMarks();
        lastOnlineCheck = now;
    }
    if (!tcpBaseConnectEnabled || !casterSettings.useTcpBases || tcpBaseCount < 1) return;
    for (int i = 0; i < tcpBaseCount && i < maxTcpBases && tcpBaseThreadRun; ++i) {
        TcpBase& t = tcpBase[i];
        if (t.ipAddress.size() <= 1 || t.port.size() <= 1 || t.online ||
            absDiff(now, t.lastConnectTime) <= tcpBaseRetryGapS)
            continue;
        tcpBaseConnectBusy = true;
        connectEntry(t, now);
        t.lastConnectTime = int32_t(now);
        tcpBaseConnectBusy = false;
    }
}

void tcpBaseConnectThread()
{
    consoleLine("starting TCPbase connect thread");
    tcpBaseConnectEnabled = true;
    readTcpBaseFile();
    time_t lastOnlineCheck = 0;
    while (tcpBaseThreadRun) {
        time_t now = wallTime();
        sleepMs(tcpBaseTurnSleepMs);
        if (!tcpBaseThreadRun) break;
        tcpBaseConnectTurn(now, lastOnlineCheck);
    }
    // Cleared as the reader clears it; a table held elsewhere is left.
    clearTcpBaseTable();
}
