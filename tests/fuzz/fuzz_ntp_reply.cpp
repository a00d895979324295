// A time server's reply, or whatever answers on its port: only a full,
// synchronised server reply gives a time, and that time is the transmit
// stamp's seconds moved to the Unix epoch.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "caster/time_query.h"
#include "platform/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 2048) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, fds) != 0) std::abort();
    // The reply is waiting before the request goes out.
    if (send(fds[1], data, size, 0) != ssize_t(size)) std::abort();
    uint32_t unixTime = 0;
    consoleCaptureStart();
    bool ok = getNtpTime(fds[0], unixTime);
    consoleCaptureStop();
    if (ok) {
        if (size < 48) std::abort();
        const int leap = data[0] >> 6, mode = data[0] & 7, stratum = data[1];
        const uint32_t seconds = uint32_t(data[40]) << 24 | uint32_t(data[41]) << 16 |
                                 uint32_t(data[42]) << 8 | data[43];
        if ((mode != 4 && mode != 5) || stratum < 1 || stratum > 15 || leap == 3 || seconds == 0)
            std::abort();
        // 2,208,988,800 s from 1900 to 1970, modulo 2^32.
        if (unixTime != uint32_t(seconds - 2208988800u)) std::abort();
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}
