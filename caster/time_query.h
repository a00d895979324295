#pragma once
// One SNTP request to a time server, answered as Unix seconds.

#include <cstdint>

#include "platform/net.h"

// Asks the server at address:port (UDP). True with unixTime written when it
// answered.
bool queryTimeServer(const char* server, const char* port, uint32_t& unixTime);
// The exchange on a connected UDP socket.
bool getNtpTime(Socket s, uint32_t& unixTime);
