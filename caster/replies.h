#pragma once
// The fixed texts the caster answers bases and rovers with at login, the
// sourcetable send, and the subscription-date check of a rover account.
// Nothing here closes a socket or touches a record: the caller does.

#include <string>
#include <string_view>

#include "platform/net.h"

// Product name on the Server lines and in the caster's own sourcetable record.
inline constexpr const char* casterProductName = "Quillmark Corvane-GNSS";

// "ICY 200 OK" with Server and Date lines. False when send failed.
bool sendCONNECT_OK(Socket s);
// The bare text, no line end (the base refusals). False when send failed.
bool sendERROR(Socket s, const char* text);
// The rover refusal pages; the realm is the stream the rover asked for.
void sendUnauthorized(Socket s, const char* heading, const std::string& realm);
void sendBadPassword(Socket s, const std::string& realm);
void sendLoginRequired(Socket s, const std::string& realm);
// sourceTable.txt as written by the builder, line by line. Always true.
bool sendSourceTable(Socket s);
// True while the account's subscription (day of year, year) has not run
// out; daysLeft is the days left when 30 or fewer, else 100.
bool checkSubscription(std::string day, std::string year, int& daysLeft);

// The text without control bytes (0x00-0x1F, 0x7F): peer text that goes into
// a header line or onto the console.
std::string stripControlChars(std::string_view text);
// atoi that cannot overflow: leading blanks, a sign and digits; anything
// else stops the number; the value is clamped to the int range.
int safeAtoi(const std::string& text);
