#pragma once
// The login of a rover (NTRIP version 1 client): its stream request, the
// stream names and codes, and the account check against users.txt.

#include <istream>
#include <string>

#include "core/caster_settings.h"

// The stream code of a network stream name, when the settings offer that
// name. False for a name that is not offered (it may still be a mountpoint).
bool lookupStreamName(const std::string& name, const CasterSettings& settings, int& code,
                      bool& secondNearest);

// Takes a free Client slot, accepts the pending rover into it and runs its
// login. True with the slot index written when the rover was admitted,
// answered and marked active.
bool checkClientListenSocket(int& clientIndex);

// Parses the request, resolves the stream and checks the account. True with
// the slot filled and nothing sent yet; false after the sourcetable or a
// refusal page went out (the caller closes the socket).
bool checkClientRequest(int clientIndex, std::istream& request);
