#include "caster/listen_socket.h"

#include <cerrno>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/console.h"

int createListenSocket(Socket& listenSocket, const char* port)
{
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo* list = nullptr;
    int rc = getaddrinfo(nullptr, port, &hints, &list);
    if (rc != 0) {
        consolePrintf(" getaddrinfo failed. %d\n", rc);
        return 1;
    }

    Socket s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s < 0) {
        consolePrintf("Socket failed %d %d.\n", s, lastSocketError());
        freeaddrinfo(list);
        listenSocket = invalidSocket;
        return 1;
    }
    // Connections of the previous run may linger in TIME_WAIT; without this
    // a restarted caster could not bind its ports for a minute or more.
    setReuseAddress(s);

    bool failed = false;
    if (bind(s, list->ai_addr, list->ai_addrlen) != 0) {
        consolePrintf("Server bind failed on listensocket %d %d. \n", s, lastSocketError());
        failed = true;
    } else if (listen(s, SOMAXCONN) != 0) {
        consolePrintf("Error on listen socket %d.\n", lastSocketError());
        failed = true;
    }
    freeaddrinfo(list);
    if (failed) {
        closeSocket(s);
        listenSocket = invalidSocket;
        return 1;
    }
    // Accept runs only after poll found the socket readable, but a peer that
    // gives up in between must not leave the listen thread blocked in accept.
    setNonBlocking(s);
    listenSocket = s;
    return 0;
}

int pollSocket(Socket s, short events, int timeoutMs, short& revents)
{
    struct pollfd p {};
    p.fd = s;
    p.events = events;
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    revents = r > 0 ? p.revents : 0;
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
}

LoginWait waitForLogin(Socket s, int timeoutMs, const std::atomic<bool>& keepWaiting)
{
    constexpr int stepMs = 100;
    int waited = 0;
    while (true) {
        int step = timeoutMs - waited < stepMs ? timeoutMs - waited : stepMs;
        short revents = 0;
        int r = pollSocket(s, POLLIN | POLLPRI, step, revents);
        if (r < 0) return LoginWait::error;
        if (r > 0) {
            // Data, or the peer's hang-up which the receive then reports.
            if (revents & (POLLIN | POLLHUP)) return LoginWait::readable;
            return LoginWait::error;
        }
        waited += step;
        if (waited >= timeoutMs || !keepWaiting) return LoginWait::timeout;
    }
}

bool receiveLoginRequest(Socket s, char* buffer, size_t size, const char* who, int& length)
{
    const std::string name = who;
    length = socketRecv(s, buffer, size);
    if (length < 0) {
        int err = lastSocketError();
        if (err == errWouldBlock)
            consoleLine("error recieving " + name + " login data Would Block.  " + std::to_string(err));
        else
            consoleLine("error recieving " + name + " login data.  " + std::to_string(err));
        return false;
    }
    if (length == 0) {
        consoleLine("ERROR no data for " + name + " login, closing connection.");
        return false;
    }
    if (size_t(length) >= size) {
        consoleLine(name + " login request too long, closing connection.");
        return false;
    }
    return true;
}
