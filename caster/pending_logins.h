#pragma once
// Connections accepted on the base and rover ports whose login request has
// not arrived yet. The listen thread watches them beside its listen
// sockets and runs each login as soon as its request is there, so a peer
// that connects and says nothing holds up no other login.

#include <cstdint>
#include <poll.h>

#include "platform/net.h"

enum class LoginKind : uint8_t { base, rover };

// Connections that may wait for their request at once. A new one beyond
// this closes the one that has waited longest.
constexpr int maxPendingLogins = 128;
// How long each connection may take to send its request, from its accept.
constexpr uint32_t baseLoginWaitMs = 5000;
constexpr uint32_t roverLoginWaitMs = 2000;

// Takes an accepted, non-blocking connection in; its wait starts at `now`.
void addPendingLogin(Socket s, LoginKind kind, uint32_t now);
// One poll entry per waiting connection, at most `room`; the count written.
int pendingLoginPollFds(pollfd* fds, int room);
// Milliseconds until the nearest time-out, at most `longest`.
int pendingLoginWaitMs(uint32_t now, int longest);
// After the poll of the entries pendingLoginPollFds gave: runs the login of
// every connection whose request (or hang-up) came and closes those whose
// time is up.
void servePendingLogins(const pollfd* fds, int count, uint32_t now);
int pendingLoginCount();
// Closes every waiting connection (shutdown).
void closePendingLogins();
