#pragma once
// The login of a base that connects as an NTRIP version 1 server
// ("SOURCE password /mountpoint" and an "STR:" description).

#include <istream>

#include "platform/net.h"

// Claims a free BaseStation slot, accepts the pending base into it and runs
// its login. True with the slot index written when the base was admitted;
// the slot is then already marked connected.
bool checkBaseListenSocket(int& baseIndex);

// Checks the login text against base.txt and the connected bases, answers
// the base and, on success, stores the "STR:" fields in the slot. On a
// refusal the connection is answered, closed and the slot's socket cleared.
// The caller holds the slot's mutex.
bool checkBaseRequest(Socket s, std::istream& request, int baseIndex);
