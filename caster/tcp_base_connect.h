#pragma once
// Outgoing connections to the bases of tcpbase.txt: the caster connects to
// each listed base that is not on line, into a free base slot, which the
// base data thread then serves like a logged-in base.

#include <ctime>
#include <string>

#include "platform/net.h"

constexpr int tcpBaseTurnSleepMs = 1000;
constexpr time_t tcpBaseOnlineCheckGapS = 19;   // more than this between on-line checks
constexpr time_t tcpBaseRetryGapS = 4;          // more than this between attempts per entry
constexpr int tcpBaseSlotWaitMs = 1000;
constexpr int tcpBaseConnectWaitMs = 1000;

// Opens a non-blocking TCP connection to host:port into `s` (an open socket
// in it is closed first). True only when the connection stands; on failure
// `s` is left invalid and the console says why.
bool connectToServer(Socket& s, const std::string& host, const std::string& port);

// Thread body, started once by the program entry; ends when
// tcpBaseThreadRun is cleared, the table cleared.
void tcpBaseConnectThread();

// One turn at calendar time `now` without the turn's sleep: the reload
// asked for, the on-line check when due (lastOnlineCheck is the thread's
// own state), and the connect attempts.
void tcpBaseConnectTurn(time_t now, time_t& lastOnlineCheck);
