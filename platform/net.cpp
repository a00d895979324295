#include "platform/net.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int mapSocketError(int err)
{
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
        return errWouldBlock;
    case ETIMEDOUT:
        return errTimedOut;
    case ECONNREFUSED:
        return errRefused;
    case EHOSTDOWN:
    case EHOSTUNREACH:
        return errHostDown;
    default:
        return err;
    }
}

int lastSocketError()
{
    return mapSocketError(errno);
}

void closeSocket(Socket s)
{
    if (s >= 0) close(s);
}

bool setNonBlocking(Socket s)
{
    int flags = fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    return fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool setReuseAddress(Socket s)
{
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool setNoDelay(Socket s)
{
    int on = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

int socketSend(Socket s, const void* data, size_t length)
{
    ssize_t n;
    do {
        n = send(s, data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int socketSendMore(Socket s, const void* data, size_t length)
{
    ssize_t n;
    do {
        n = send(s, data, length, MSG_NOSIGNAL | MSG_MORE);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

void pushSocketOutput(Socket s)
{
    // Clearing the cork sends what is held, whether by the cork or by
    // MSG_MORE, and leaves the socket's other settings as they were.
    int off = 0;
    setsockopt(s, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

int socketRecv(Socket s, void* data, size_t length)
{
    ssize_t n;
    do {
        n = recv(s, data, length, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

static int waitFor(Socket s, short events, int timeoutMs)
{
    struct pollfd p {};
    p.fd = s;
    p.events = events;
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    return 1;
}

int waitReadable(Socket s, int timeoutMs)
{
    return waitFor(s, POLLIN, timeoutMs);
}

int waitWritable(Socket s, int timeoutMs)
{
    return waitFor(s, POLLOUT, timeoutMs);
}

int pendingSocketError(Socket s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return lastSocketError();
    return err == 0 ? 0 : mapSocketError(err);
}
