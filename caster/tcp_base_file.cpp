#include "caster/tcp_base_file.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "core/records.h"
#include "platform/console.h"

namespace {

// Every entry's mutex, or none: the table is replaced whole or not at all.
bool lockAllEntries()
{
    for (int i = 0; i < maxTcpBases; ++i) {
        if (waitMutex(tcpBase[i].mutex, tcpBaseEntryWaitMs)) continue;
        while (i-- > 0) releaseMutex(tcpBase[i].mutex);
        consoleLine("TCP base table busy, not read this time");
        return false;
    }
    return true;
}

void unlockAllEntries()
{
    for (TcpBase& t : tcpBase) releaseMutex(t.mutex);
}

void clearEntries()
{
    for (TcpBase& t : tcpBase) {
        t.online = false;
        t.ipAddress.clear();
        t.port.clear();
        t.mountpoint.clear();
        t.lastConnectTime = 0;
    }
    tcpBaseCount = 0;
}

}   // namespace

bool clearTcpBaseTable()
{
    if (!lockAllEntries()) return false;
    clearEntries();
    unlockAllEntries();
    return true;
}

TcpBaseFileRead loadTcpBaseFile()
{
    consoleLine("reading TCPbasefile.txt");
    // An entry another thread holds is not cleared under its feet: the
    // reader waits a little for each one and otherwise leaves the table.
    if (!lockAllEntries()) return TcpBaseFileRead::tableBusy;
    clearEntries();

    std::ifstream file("tcpbase.txt", std::ios::binary);
    if (!file) {
        unlockAllEntries();
        consoleLine("failed opening user file");
        return TcpBaseFileRead::noFile;
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
    unlockAllEntries();
    return TcpBaseFileRead::done;
}

bool readTcpBaseFile()
{
    return loadTcpBaseFile() == TcpBaseFileRead::done;
}
