#pragma once
// The login of a rover (NTRIP version 1 client): its stream request, the
// stream names and codes, and the account check against users.txt.

#include <istream>
#include <string>

#include "core/caster_settings.h"
#include "platform/net.h"

// The stream code of a network stream name, when the settings offer that
// name. False for a name that is not offered (it may still be a mountpoint).
bool lookupStreamName(const std::string& name, const CasterSettings& settings, int& code,
                      bool& secondNearest);

// Accepts a rover on the rover listen socket and leaves it waiting for its
// request among the pending logins. With every slot active the rover is not
// accepted and the listen socket is closed (opened again next turn). True
// when a connection was taken in.
bool checkClientListenSocket();

// The login of an accepted rover whose request (or hang-up) has arrived:
// one receive, a free slot claimed, the request checked. True with the slot
// index written when the rover was admitted, answered and marked active.
// Otherwise the connection is closed (after the sourcetable or a refusal
// where the request earned one).
bool completeClientLogin(Socket s, int& clientIndex);

// Parses the request, resolves the stream and checks the account. True with
// the slot filled and nothing sent yet; false after the sourcetable or a
// refusal page went out (the caller closes the socket).
bool checkClientRequest(int clientIndex, std::istream& request);
