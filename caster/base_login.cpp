#include "caster/base_login.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>

#include "caster/listen_socket.h"
#include "caster/listen_thread.h"
#include "caster/pending_logins.h"
#include "caster/replies.h"
#include "core/base_station.h"
#include "core/records.h"
#include "platform/clock.h"
#include "platform/console.h"

Mutex baseAdmissionMutex;

namespace {
constexpr int baseSlotWaitMs = 100;
constexpr int otherSlotWaitMs = 100;

void closeBaseConnection(Socket s, int baseIndex)
{
    closeSocket(s);
    baseStation[baseIndex].socket = invalidSocket;
}

// A position text of the description; a text that is no finite number
// gives 0 rather than a NaN or infinity in the record.
double coordinate(const std::string& text)
{
    double v = std::strtod(text.c_str(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

bool mountpointTaken(const std::string& mountpoint, int baseIndex)
{
    for (int j = 0; j < maxBases; ++j) {
        if (j == baseIndex || !baseStation[j].connected) continue;
        // The mountpoint is read under the slot's mutex: a reset running at
        // the same moment empties it.
        MutexWait lock(baseStation[j].mutex, otherSlotWaitMs);
        if (!lock.held()) continue;
        if (baseStation[j].connected && baseStation[j].mountpoint == mountpoint) return true;
    }
    return false;
}
}   // namespace

bool checkBaseRequest(Socket s, std::istream& request, int baseIndex)
{
    consoleLine("begin checkBaseRequest function");

    std::string word;
    bool haveSource = false;
    while (request >> word) {
        if (word == "SOURCE") {
            haveSource = true;
            break;
        }
    }
    if (!haveSource) {
        sendERROR(s, "INVALID ACTION");
        closeBaseConnection(s, baseIndex);
        consoleLine("base request not valid");
        return false;
    }
    consoleLine("debug read SOURCE");

    // "SOURCE password /mountpoint": the password is the whole word after
    // "SOURCE", so it may hold '/' itself. Only when no word beginning with
    // '/' follows, nor any other word on the request line, are the two
    // taken as run together ("password/mountpoint"), split at the password
    // word's last '/'. Passwords never reach the console, nor does a
    // mountpoint that may be the tail of one.
    std::string password, mountpoint;
    if (!(request >> password)) password.clear();
    std::streampos afterPassword = request.tellg();
    // Several servers (RTKLIB's str2str among them) write the mountpoint
    // without its '/'; base.txt names it with one.
    while (request.peek() == ' ' || request.peek() == '\t') request.get();
    int next = request.peek();
    bool wordOnRequestLine = next != std::char_traits<char>::eof() && next != '\r' && next != '\n';
    if (request >> word && !word.empty() && (word[0] == '/' || wordOnRequestLine)) {
        mountpoint = word[0] == '/' ? word : "/" + word;
        consoleLine("from request mountpoint =   " + stripControlChars(word));
    } else {
        // The word read belongs to the headers: "STR:" is looked for there.
        request.clear();
        request.seekg(afterPassword);
        size_t slash = password.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            mountpoint = password.substr(slash);
            password.erase(slash);
            consoleLine("found / ");
        }
    }
    // base.txt in pairs of words; the last pair read decides a refusal.
    enum { badPassword, badMountpoint, accepted } verdict = badPassword;
    std::ifstream file("base.txt");
    std::string filePassword, fileMountpoint;
    while (file && file >> filePassword >> fileMountpoint) {
        // A line without its mountpoint shifts the pairs: the next line's
        // password would stand where a mountpoint is shown.
        if (!fileMountpoint.empty() && fileMountpoint[0] == '/')
            consoleLine("from file mountpoint =   " + stripControlChars(fileMountpoint));
        if (!password.empty() && password == filePassword) {
            consoleLine("DEBUG    base password matches checking mountpoint");
            if (mountpoint == fileMountpoint) {
                verdict = accepted;
                break;
            }
            verdict = badMountpoint;
        } else {
            verdict = badPassword;
        }
    }
    if (verdict == badPassword) {
        consoleLine("DEBUG    password invalid");
        sendERROR(s, "ERROR-Bad Password");
        closeBaseConnection(s, baseIndex);
        return false;
    }
    if (verdict == badMountpoint) {
        consoleLine("DEBUG    mountpoint invalid");
        sendERROR(s, "ERROR-Mount Point Invalid");
        closeBaseConnection(s, baseIndex);
        return false;
    }

    if (!mountpoint.empty() && mountpoint[0] == '/') mountpoint.erase(0, 1);
    if (mountpointTaken(mountpoint, baseIndex)) {
        consoleLine("DEBUG    mountpoint already taken");
        sendERROR(s, "ERROR-Mount Point Taken");
        closeBaseConnection(s, baseIndex);
        return false;
    }

    std::string description;
    while (request >> word) {
        if (word == "STR:") {
            consoleLine("DEBUG     read STR: beginning of source info line");
            if (!(request >> description)) description.clear();
            break;
        }
    }
    // Field k lies between the k-th and the (k+1)-th ';'; the mountpoint
    // before the first ';' and whatever follows the tenth are not used.
    std::string field[10];
    size_t pos = description.find(';');
    for (int k = 1; k <= 9 && pos != std::string::npos; ++k) {
        size_t next = description.find(';', pos + 1);
        if (next == std::string::npos) break;
        field[k] = description.substr(pos + 1, next - pos - 1);
        pos = next;
    }
    int32_t carrier = 0;
    if (!field[4].empty() && field[4][0] == '2') carrier = 2;
    if (!field[4].empty() && field[4][0] == '1') carrier = 1;

    if (!sendCONNECT_OK(s)) {
        consoleLine("send error");
        closeBaseConnection(s, baseIndex);
        return false;
    }
    consoleLine("OK message sent base is connected");

    BaseStation& b = baseStation[baseIndex];
    b.mountpoint = mountpoint;
    b.identifier = field[1];
    b.format = field[2];
    b.formatDetails = field[3];
    b.navSystem = field[5];
    b.network = field[6];
    b.country = field[7];
    b.strLatitude = coordinate(field[8]);
    b.strLongitude = coordinate(field[9]);
    b.carrier = carrier;
    return true;
}

bool checkBaseListenSocket()
{
    // Only a count: the slot is claimed when the login's request is there,
    // so that bases still silent hold none.
    bool anyFree = false;
    for (int i = 0; i < maxBases && !anyFree; ++i) anyFree = !baseStation[i].connected;
    if (!anyFree) {
        consoleLine("base limit reached.");
        closeSocket(baseListenSocket);
        baseListenSocket = invalidSocket;
        baseListening = false;
        return false;
    }

    Socket s = accept(baseListenSocket, nullptr, nullptr);
    if (s < 0) {
        closeSocket(baseListenSocket);
        baseListenSocket = invalidSocket;
        baseListening = false;
        consoleLine("checkBaseListenListenSocket base connection INVALID SOCKET error");
        return false;
    }
    if (!setNonBlocking(s)) {
        consolePrintf("Error setting baseSocket to nonblocking mode. %d.\n", lastSocketError());
        closeSocket(s);
        return false;
    }
    // SO_DONTLINGER has no Linux form: a close already returns at once.
    if (!setReuseAddress(s)) {
        consoleLine("client socket could not set option REUSEADDR  " +
                    std::to_string(lastSocketError()));
        closeSocket(s);
        return false;
    }
    addPendingLogin(s, LoginKind::base, clockMs());
    return true;
}

bool completeBaseLogin(Socket s, int& baseIndex)
{
    char buffer[rxBufferSize];
    int n = 0;
    if (!receiveLoginRequest(s, buffer, sizeof buffer, "base", n)) {
        closeSocket(s);
        return false;
    }

    int slot = -1;
    for (int i = 0; i < maxBases && slot < 0; ++i) {
        if (baseStation[i].connected) continue;
        if (!waitMutex(baseStation[i].mutex, baseSlotWaitMs)) continue;
        // An outgoing TCP base may have taken it while we waited.
        if (baseStation[i].connected)
            releaseMutex(baseStation[i].mutex);
        else
            slot = i;
    }
    if (slot < 0) {
        // The slots filled while this base was still sending its request.
        consoleLine("base limit reached.");
        closeSocket(s);
        return false;
    }
    BaseStation& b = baseStation[slot];
    b.socket = s;

    MutexWait admission(baseAdmissionMutex, baseAdmissionWaitMs);
    if (!admission.held()) {
        consoleLine("base login busy, closing connection");
        closeBaseConnection(s, slot);
        releaseMutex(b.mutex);
        return false;
    }
    std::istringstream request(std::string(buffer, size_t(n)));
    if (!checkBaseRequest(s, request, slot)) {
        releaseMutex(b.mutex);
        return false;
    }
    // Marked while the login still holds the slot, so that the TCP-base
    // thread cannot take the same free slot in between.
    baseIndex = slot;
    time_t now = wallTime();
    b.connectTime = now;
    b.lastDataTime = now;
    b.connectionSerial.fetch_add(1);
    b.connected = 1;
    wakeBaseDataThread();
    releaseMutex(b.mutex);
    return true;
}
