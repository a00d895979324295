#pragma once
// The HTML status page a web browser gets on the HTTP port: the operator's
// name as a link to the operator's web address, and the sourcetable line by
// line.

#include <string>
#include <string_view>

#include "platform/net.h"

// How long a page may take to go out to a browser that reads slowly; after
// that the rest is given up.
constexpr int statusPageSendLimitMs = 5000;

// The whole reply (headers and page) as sent.
std::string buildStatusPage();
// Builds the page and sends all of it. Always true: a failed send is
// reported on the console and the caller closes the connection anyway.
bool sendStatusPage(Socket s);

// Text for an HTML element or a quoted attribute: & < > " ' as entities.
std::string htmlEscape(std::string_view text);

// Sends all of `length` bytes on a non-blocking socket, waiting for room
// while the peer takes them, for at most limitMs in all. False when the
// peer is gone or the time ran out (lastSocketError tells which error).
bool sendAll(Socket s, const char* data, size_t length, int limitMs);
