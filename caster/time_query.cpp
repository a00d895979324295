#include "caster/time_query.h"

#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include "caster/listen_socket.h"
#include "core/bits.h"
#include "platform/console.h"

namespace {
constexpr int ntpPacketBytes = 48;
constexpr int ntpReplyCapacity = 2048;
// Seconds from 1900-01-01 to 1970-01-01, subtracted modulo 2^32.
constexpr uint32_t ntpToUnixOffset = 2085978496u;
}

bool getNtpTime(Socket s, uint32_t& unixTime)
{
    uint8_t request[ntpPacketBytes] = {};
    request[0] = 0x1B;   // leap indicator 0, version 3, mode 3 (client)

    short revents = 0;
    int r = pollSocket(s, POLLOUT, 1000, revents);
    if (r == 0) {
        consoleLine("send to NTP server, select call timeout elapsed\r");
        return false;
    }
    if (r < 0 || !(revents & POLLOUT)) {
        consoleLine("send to NTP server, select call error state\r");
        return false;
    }
    if (socketSend(s, request, sizeof request) < 0) {
        consoleLine("send socket error check NTP time " + std::to_string(lastSocketError()));
        return false;
    }

    r = pollSocket(s, POLLIN, 5000, revents);
    if (r == 0) {
        consoleLine("listen to NTP server socket, select timeout elapsed\r");
        return false;
    }
    if (r < 0 || !(revents & POLLIN)) {
        consoleLine("listen to NTP server socket, select error state\r");
        return false;
    }
    consoleLine("waiting on time reply");
    uint8_t reply[ntpReplyCapacity];
    int n = socketRecv(s, reply, sizeof reply);
    if (n < 0) {
        consoleLine("recv socket error check NTP time " + std::to_string(lastSocketError()));
        return false;
    }
    // Only a synchronised server's answer is a time: a full packet in server
    // or broadcast mode, a stratum of 1 to 15, a leap indicator other than
    // "alarm" and a transmit time-stamp that was filled in.
    if (n < ntpPacketBytes) {
        consoleLine("short reply from time server, " + std::to_string(n) + " bytes");
        return false;
    }
    int leap = reply[0] >> 6;
    int mode = reply[0] & 0x07;
    int stratum = reply[1];
    BitCursor c = bitCursor(40, uint32_t(n));
    uint32_t seconds = 0;
    readBitsU32(seconds, 32, c, reply);
    if ((mode != 4 && mode != 5) || stratum < 1 || stratum > 15 || leap == 3 ||
        seconds == 0) {
        consolePrintf("time server reply refused, mode %d stratum %d leap %d\n", mode, stratum,
                      leap);
        return false;
    }
    unixTime = seconds + ntpToUnixOffset;
    return true;
}

bool queryTimeServer(const char* server, const char* port, uint32_t& unixTime)
{
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    struct addrinfo* list = nullptr;
    int rc = getaddrinfo(server, port, &hints, &list);
    if (rc != 0) {
        consolePrintf("Winsock getaddrinfo failed for outbound struct. NTP function %d\n", rc);
        return false;
    }
    Socket s = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (s < 0) {
        consolePrintf("Socket failed initializing NTP function %d %d.\n", s, lastSocketError());
        freeaddrinfo(list);
        return false;
    }
    if (!setNonBlocking(s)) {
        consolePrintf("client socket could not set nonblocking, with error: %d\n",
                      lastSocketError());
        closeSocket(s);
        freeaddrinfo(list);
        return false;
    }
    if (!setReuseAddress(s))
        consoleLine("client socket could not set option REUSEADDR  " +
                    std::to_string(lastSocketError()));

    bool ok = false;
    if (connect(s, list->ai_addr, list->ai_addrlen) == 0) {
        ok = getNtpTime(s, unixTime);
    } else {
        int err = lastSocketError();
        if (err == errWouldBlock) {
            short revents = 0;
            int r = pollSocket(s, POLLOUT, 1000, revents);
            if (r == 0)
                consoleLine("connect call to time server, select call timeout elapsed\r");
            else if (r > 0 && (revents & POLLOUT) && pendingSocketError(s) == 0)
                ok = getNtpTime(s, unixTime);
            else
                consoleLine("connect call to time server, select call error state\r");
        } else if (err == errRefused) {
            consoleLine(std::string("no time server program at requested address ") + server);
        } else if (err == errHostDown || err == errTimedOut) {
            consoleLine(std::string("no time server present at requested address ") + server);
        } else {
            consoleLine("connect call NTP function WSA error code " + std::to_string(err));
        }
    }
    closeSocket(s);
    freeaddrinfo(list);
    return ok;
}
