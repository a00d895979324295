#pragma once
// The caster's acceptor: the three listen sockets (rovers, bases, web
// browsers), the logins it runs itself, the parking of browser connections
// for the web status thread, and the sourcetable rebuilds.

#include <atomic>
#include <string>

#include "platform/net.h"

// Touched only by the listen thread and the accept routines it calls.
extern Socket clientListenSocket;
extern Socket baseListenSocket;
extern Socket httpListenSocket;
extern bool clientListening;
extern bool baseListening;
extern bool httpListening;

// The listen ports: the fixed "10000", "3000" and "80" unless the command
// line says otherwise (set before the thread starts).
extern std::string clientListenPort;
extern std::string baseListenPort;
extern std::string httpListenPort;

// Set by whoever wants caster.txt read again (the hang-up signal); the
// listen thread reads the file and marks the sourcetable stale, so the
// settings' texts change only on the thread that builds from them.
extern std::atomic<bool> casterSettingsReload;

// Thread body; returns when listenThreadRun is cleared, listen sockets closed.
void listenThread();
// One turn's socket work: waits at most timeoutMs (less when a waiting
// login's time runs out sooner) for a listen socket or a login's request,
// and serves what is ready (a new connection, a login whose request came,
// a browser connection, a broken socket closed to be opened again, a login
// whose time is up). False when nothing was ready.
bool serveListenSockets(int timeoutMs);
// One browser connection into the first free WebUser slot.
void acceptWebConnection();
