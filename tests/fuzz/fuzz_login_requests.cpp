// A base's "SOURCE" login and a rover's "GET" request are the first bytes a
// stranger sends: neither parser may crash, read outside its text or store a
// non-finite position, whatever the bytes. The first byte picks the parser.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "caster/base_login.h"
#include "caster/rover_login.h"
#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/records.h"
#include "platform/console.h"

namespace {
void prepare()
{
    initGlobals();
    char dir[] = "/tmp/fuzz-login-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) abort();
    std::ofstream("base.txt") << "pw /MP\r\nother /BASE\r\n";
    std::ofstream("users.txt") << "user:pw 001 2099 a b c\r\nold:pw 001 2000\r\n";
    std::ofstream("sourceTable.txt") << "SOURCETABLE 200 OK\r\nENDSOURCETABLE\r\n";
    baseStation[1].connected = 1;
    baseStation[1].mountpoint = "BASE";
    casterSettings.streamNearest = casterSettings.streamVrs = true;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool prepared = (prepare(), true);
    (void)prepared;
    if (size == 0) return 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    std::istringstream request(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    consoleCaptureStart();
    if (data[0] & 1) {
        baseStation[0].socket = fds[0];
        if (checkBaseRequest(fds[0], request, 0)) {
            if (!std::isfinite(baseStation[0].strLatitude) ||
                !std::isfinite(baseStation[0].strLongitude))
                abort();
            closeSocket(fds[0]);
        }
        baseStation[0].socket = invalidSocket;
    } else {
        client[0].clientSocket = fds[0];
        checkClientRequest(0, request);
        client[0].clientSocket = invalidSocket;
        closeSocket(fds[0]);
    }
    consoleCaptureStop();
    close(fds[1]);
    return 0;
}
