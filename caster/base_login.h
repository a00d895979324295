#pragma once
// The login of a base that connects as an NTRIP version 1 server
// ("SOURCE password /mountpoint" and an "STR:" description).

#include <istream>

#include "platform/net.h"
#include "platform/sync.h"

// Held while a base is checked against the connected ones and marked
// connected, by the base login and by the outgoing TCP bases alike, so that
// two bases can never both be admitted under one mountpoint.
extern Mutex baseAdmissionMutex;
constexpr int baseAdmissionWaitMs = 500;

// Accepts a base on the base listen socket and leaves it waiting for its
// request among the pending logins. With every slot connected the base is
// not accepted and the listen socket is closed (opened again next turn).
// True when a connection was taken in.
bool checkBaseListenSocket();

// The login of an accepted base whose request (or hang-up) has arrived:
// one receive, a free slot claimed, the request checked. True with the slot
// index written when the base was admitted; the slot is then already marked
// connected. Otherwise the connection is closed.
bool completeBaseLogin(Socket s, int& baseIndex);

// Checks the login text against base.txt and the connected bases, answers
// the base and, on success, stores the "STR:" fields in the slot. On a
// refusal the connection is answered, closed and the slot's socket cleared.
// The caller holds the slot's mutex.
bool checkBaseRequest(Socket s, std::istream& request, int baseIndex);
