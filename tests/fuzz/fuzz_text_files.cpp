// The caster's text files as an operator (or a careless editor) may leave
// them: users.txt, base.txt, caster.txt and tcpbase.txt are read at every
// login or start, and no line may crash a reader, overrun a table or put a
// control byte or a stray ';' into the sourcetable.
//
// Input: byte 0 picks the file (users, base, caster, tcpbase); the rest is
// its content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include "caster/base_login.h"
#include "caster/rover_login.h"
#include "caster/sourcetable.h"
#include "caster/tcp_base_file.h"
#include "core/base_station.h"
#include "core/records.h"
#include "core/startup_files.h"
#include "platform/console.h"
#include "text_file_checks.h"

namespace {

const FuzzDirectory directory("/tmp/fuzz-text-files-XXXXXX");

void prepare()
{
    initGlobals();
    std::ofstream("sourceTable.txt") << "SOURCETABLE 200 OK\r\nENDSOURCETABLE\r\n";
    baseStation[1].connected = 1;
    baseStation[1].trusted = 1;
    baseStation[1].mountpoint = "BASE";
}

void writeFile(const char* name, const uint8_t* data, size_t size)
{
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    InFuzzDirectory inDirectory(directory);
    static bool prepared = (prepare(), true);
    (void)prepared;
    if (size < 1 || size > 8192) return 0;
    const uint8_t* content = data + 1;
    const size_t length = size - 1;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    consoleCaptureStart();
    switch (data[0] % 4) {
    case 0: {
        writeFile("users.txt", content, length);
        // "u:p" logs in on BASE0.
        std::istringstream request("GET /BASE0 HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n");
        client[0].clientSocket = fds[0];
        checkClientRequest(0, request);
        client[0].clientSocket = invalidSocket;
        closeSocket(fds[0]);
        break;
    }
    case 1: {
        writeFile("base.txt", content, length);
        std::istringstream request("SOURCE p /MP\r\nSTR: MP;Town;RTCM 3\r\n\r\n");
        baseStation[0].socket = fds[0];
        if (checkBaseRequest(fds[0], request, 0)) {
            if (baseStation[0].mountpoint != "MP") std::abort();
            closeSocket(fds[0]);
        }
        baseStation[0].socket = invalidSocket;
        break;
    }
    case 2:
        writeFile("caster.txt", content, length);
        closeSocket(fds[0]);
        if (readCasterFile()) {
            if (!buildSourceTable()) std::abort();
            checkSourceTableText(readWholeFile("sourceTable.txt"));
        }
        break;
    default:
        writeFile("tcpbase.txt", content, length);
        closeSocket(fds[0]);
        readTcpBaseFile();
        break;
    }
    consoleCaptureStop();
    close(fds[1]);
    return 0;
}
