#pragma once
// Plain POSIX sockets behind the small set of calls the caster uses. Errors
// are reported with the Winsock numbers the service logic distinguishes.

#include <cstddef>
#include <cstdint>
#include <string>

using Socket = int;
constexpr Socket invalidSocket = -1;

constexpr int errWouldBlock = 10035;   // EAGAIN, EWOULDBLOCK, EINPROGRESS
constexpr int errTimedOut = 10060;     // ETIMEDOUT
constexpr int errRefused = 10061;      // ECONNREFUSED
constexpr int errHostDown = 10064;     // EHOSTDOWN, EHOSTUNREACH

// Maps an errno value onto the code reported to callers (unmapped values
// are passed through unchanged).
int mapSocketError(int err);
// The mapped code of the last failed socket call of this thread.
int lastSocketError();

void closeSocket(Socket s);
bool setNonBlocking(Socket s);
bool setReuseAddress(Socket s);
bool setNoDelay(Socket s);
// send() that never raises SIGPIPE; result as send(), -1 with lastSocketError.
int socketSend(Socket s, const void* data, size_t length);
// The same for data that more will follow at once: a TCP socket takes it
// (or reports itself full) as socketSend does, but holds it back until
// pushSocketOutput, so that several small frames leave in one segment.
int socketSendMore(Socket s, const void* data, size_t length);
void pushSocketOutput(Socket s);
int socketRecv(Socket s, void* data, size_t length);

// Waits up to timeoutMs (0 = poll) for the socket; 1 ready, 0 time-out, -1 error.
int waitReadable(Socket s, int timeoutMs);
int waitWritable(Socket s, int timeoutMs);
// After a non-blocking connect became writable: 0 when connected, else the
// mapped error code.
int pendingSocketError(Socket s);
