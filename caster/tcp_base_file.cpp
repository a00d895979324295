#include "caster/tcp_base_file.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "core/records.h"
#include "platform/console.h"

bool readTcpBaseFile()
{
    consoleLine("reading TCPbasefile.txt");
    for (TcpBase& t : tcpBase) {
        // The entries are cleared whether or not their mutex is free: the
        // file's new content replaces them in any case.
        bool held = waitMutex(t.mutex, 0);
        t.online = false;
        t.ipAddress.clear();
        t.port.clear();
        t.mountpoint.clear();
        t.lastConnectTime = 0;
        if (held) releaseMutex(t.mutex);
    }
    tcpBaseCount = 0;

    std::ifstream file("tcpbase.txt", std::ios::binary);
    if (!file) {
        consoleLine("failed opening user file");
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    file.close();

    std::istringstream lines(text);
    std::string line;
    while (tcpBaseCount < maxTcpBases && std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        TcpBase& t = tcpBase[tcpBaseCount];
        std::istringstream words(line);
        std::string* fields[7] = {&t.mountpoint, &t.ipAddress, &t.port,   &t.location,
                                  &t.networkName, &t.country,  &t.gnss};
        std::string word;
        for (std::string* f : fields) {
            if (!(words >> word)) break;
            *f = word;
        }
        ++tcpBaseCount;
    }
    return true;
}
