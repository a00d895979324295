#pragma once
// Opening a listen socket, and the waits of the login and time-query
// dialogues.

#include <atomic>

#include "platform/net.h"

// Opens a TCP listen socket on every local IPv4 address at `port`.
// 0 when listening; 1 on failure (the console says why; a socket made by the
// call is closed again and `listenSocket` is left invalid).
int createListenSocket(Socket& listenSocket, const char* port);

// poll() on one socket. 1 when an event happened (revents holds them),
// 0 on time-out, -1 when poll itself failed.
int pollSocket(Socket s, short events, int timeoutMs, short& revents);

enum class LoginWait { readable, timeout, error };
// Waits up to timeoutMs for a login's first bytes (or its hang-up), in short
// steps that stop early once `keepWaiting` goes false, so that a silent peer
// cannot hold up a shutdown.
LoginWait waitForLogin(Socket s, int timeoutMs, const std::atomic<bool>& keepWaiting);

// One receive of a login request into buffer (size bytes); `who` is "base" or
// "client" for the console lines. False, after its console line, when
// nothing usable came: an error, a closed connection, or a request that fills
// the whole buffer (a login never does, and such a one is not parsed).
bool receiveLoginRequest(Socket s, char* buffer, size_t size, const char* who, int& length);
