#include "caster/rover_login.h"

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/socket.h>

#include "caster/listen_socket.h"
#include "caster/listen_thread.h"
#include "caster/pending_logins.h"
#include "caster/replies.h"
#include "core/base64.h"
#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "core/rover_wake.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {
constexpr int clientSlotWaitMs = 100;
constexpr int otherSlotWaitMs = 100;
constexpr int renewalNoticeDays = 30;
// Single-base format digits: RTCM 3.1, BINR, RTCM 3.2, NCT, CMR.
constexpr int maxSingleBaseFormat = 4;

struct StreamName {
    const char* name;
    int code;
    bool secondNearest;
    bool (*offered)(const CasterSettings&);
};

// Stream names, their codes (10 x kind + format) and the settings that must
// all be on for the name to be accepted.
const StreamName streamNames[] = {
    {"RTCM31_NEAR", 10, false, [](const CasterSettings& s) { return s.streamNearest; }},
    {"BINR_NEAR", 11, false,
     [](const CasterSettings& s) { return s.streamNearest && s.outputBinr; }},
    {"RTCM32_NEAR", 12, false,
     [](const CasterSettings& s) { return s.streamNearest && s.outputRtcm32; }},
    {"JD_NEAR", 13, false, [](const CasterSettings& s) { return s.streamNearest && s.outputNct; }},
    {"CMR_NEAR", 14, false,
     [](const CasterSettings& s) { return s.streamNearest && s.outputCmr; }},
    // The second-nearest NCT stream stands in for JD_NEAR while NCT output is off.
    {"JD_2NEAR", 13, true,
     [](const CasterSettings& s) { return s.streamNearest && !s.outputNct; }},
    {"RTCM31_MAC", 20, false, [](const CasterSettings& s) { return s.streamMac; }},
    {"RTCM31_iMAC", 30, false, [](const CasterSettings& s) { return s.streamImac; }},
    {"BINR_iMAC", 31, false, [](const CasterSettings& s) { return s.streamImac && s.outputBinr; }},
    {"RTCM32_iMAC", 32, false,
     [](const CasterSettings& s) { return s.streamImac && s.outputRtcm32; }},
    {"JD_iMAC", 33, false, [](const CasterSettings& s) { return s.streamImac && s.outputNct; }},
    {"CMR_iMAC", 34, false, [](const CasterSettings& s) { return s.streamImac && s.outputCmr; }},
    {"RTCM31_FKP", 40, false, [](const CasterSettings& s) { return s.streamFkp; }},
    {"RTCM32_FKP", 42, false, [](const CasterSettings& s) { return s.streamFkp; }},
    {"RTCM31_ERP", 50, false, [](const CasterSettings& s) { return s.streamVrs; }},
    {"BINR_ERP", 51, false, [](const CasterSettings& s) { return s.streamVrs; }},
    {"RTCM32_ERP", 52, false, [](const CasterSettings& s) { return s.streamVrs; }},
    {"JD_ERP", 53, false, [](const CasterSettings& s) { return s.streamVrs; }},
    {"CMR_ERP", 54, false, [](const CasterSettings& s) { return s.streamVrs; }},
};

// The last connected base with exactly this mountpoint, or -1, with the
// slot's connection serial. Each mountpoint is read under its slot's mutex,
// so a reset cannot empty it while it is compared.
int findConnectedBase(const std::string& name, uint32_t& serial)
{
    int found = -1;
    for (int j = 0; j < maxBases; ++j) {
        if (!baseStation[j].connected) continue;
        MutexWait lock(baseStation[j].mutex, otherSlotWaitMs);
        if (!lock.held()) continue;
        if (baseStation[j].connected && baseStation[j].mountpoint == name) {
            found = j;
            serial = baseStation[j].connectionSerial;
        }
    }
    return found;
}

// True when another active rover logged in with this credential.
bool credentialInUse(const std::string& credential, int clientIndex)
{
    for (int j = 0; j < maxClients; ++j) {
        if (j == clientIndex || !client[j].active) continue;
        MutexWait lock(client[j].mutex, otherSlotWaitMs);
        if (!lock.held()) continue;
        if (client[j].active && client[j].credential == credential) return true;
    }
    return false;
}

// The second and third words of the users.txt line whose first word is the
// credential; words are cut at single blanks. False when no line has it.
bool findAccount(const std::string& credential, std::string& day, std::string& year)
{
    // An empty credential would match a blank line of the file.
    if (credential.empty()) return false;
    std::ifstream users("users.txt", std::ios::binary);
    std::string line;
    while (users && std::getline(users, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string words[3];
        size_t start = 0;
        for (int w = 0; w < 3 && start <= line.size(); ++w) {
            size_t blank = line.find(' ', start);
            if (blank == std::string::npos) {
                words[w] = line.substr(start);
                start = line.size() + 1;
            } else {
                words[w] = line.substr(start, blank - start);
                start = blank + 1;
            }
        }
        if (words[0] == credential) {
            day = words[1];
            year = words[2];
            return true;
        }
    }
    return false;
}

void dropRover(Client& c)
{
    closeSocket(c.clientSocket);
    c.clientSocket = invalidSocket;
}
}   // namespace

bool lookupStreamName(const std::string& name, const CasterSettings& settings, int& code,
                      bool& secondNearest)
{
    for (const StreamName& s : streamNames) {
        if (name == s.name && s.offered(settings)) {
            code = s.code;
            secondNearest = s.secondNearest;
            return true;
        }
    }
    return false;
}

bool checkClientRequest(int clientIndex, std::istream& request)
{
    Client& c = client[clientIndex];
    Socket s = c.clientSocket;

    std::string word;
    bool haveGet = false;
    while (request >> word) {
        if (word == "GET") {
            haveGet = true;
            break;
        }
    }
    if (!haveGet) {
        sendUnauthorized(s, "HTTP/1.1 401 Unauthorized", "");
        return false;
    }

    // "/NAME" with an optional trailing format digit.
    std::string name;
    int code = -1;
    if (!(request >> word)) word.clear();
    if (!word.empty() && word[0] == '/') {
        name = word.substr(1);
        if (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back()))) {
            code = name.back() - '0';
            name.pop_back();
        }
    } else {
        name = word;
    }
    if (name.empty() || name == "Refresh") {
        sendSourceTable(s);
        return false;
    }

    int masterBase = -1;
    uint32_t masterSerial = 0;
    bool secondNearest = false;
    int tableCode = -1;
    if (lookupStreamName(name, casterSettings, tableCode, secondNearest)) {
        code = tableCode;
    } else {
        masterBase = findConnectedBase(name, masterSerial);
        // A base is served in one of its five formats; a rover that names
        // none (no digit, or 5 to 9) would hold a slot and never be sent a
        // byte, so it is shown the sourcetable like any unknown stream.
        if (masterBase < 0 || code < 0 || code > maxSingleBaseFormat) {
            sendSourceTable(s);
            return false;
        }
    }

    std::string agent;
    bool haveAuthorization = false;
    while (request >> word) {
        if (word == "Authorization:") {
            haveAuthorization = true;
            break;
        }
        if (word == "User-Agent:") {
            consoleLine("found user agent");
            // The agent is read from its own header line: an empty value is
            // an empty agent, not the next header's first word.
            std::string line;
            for (int ch = request.peek(); ch != EOF && ch != '\r' && ch != '\n';
                 ch = request.peek())
                line += char(request.get());
            std::istringstream value(line);
            if (!(value >> agent)) agent.clear();
            if (agent == "NTRIP" && !(value >> agent)) agent.clear();
            consoleLine(stripControlChars(agent));
        }
    }
    if (!haveAuthorization) {
        sendSourceTable(s);
        return false;
    }
    if (!(request >> word) || word != "Basic") {
        sendLoginRequired(s, name);
        return false;
    }
    std::string encoded;
    if (!(request >> encoded)) encoded.clear();
    std::string credential = base64Decode(encoded);

    std::string day, year;
    if (!findAccount(credential, day, year)) {
        sendBadPassword(s, name);
        return false;
    }
    int daysLeft = 100;
    if (!checkSubscription(day, year, daysLeft)) {
        sendBadPassword(s, name);
        return false;
    }
    if (daysLeft < renewalNoticeDays) consoleLine("customer subscription renewal time");

    if (credentialInUse(credential, clientIndex)) {
        sendUnauthorized(s, "ERROR-Mount Point Taken", name);
        return false;
    }

    c.masterBase = masterBase;
    c.masterConnectionSerial = masterSerial;
    c.requestedStream = name;
    c.credential = credential;
    c.streamCode = code;
    c.userAgent = agent;
    c.secondNearest = secondNearest;
    return true;
}

bool checkClientListenSocket()
{
    // Only a count: the slot is claimed when the login's request is there,
    // so that rovers still silent hold none.
    bool anyFree = false;
    for (int i = 0; i < maxClients && !anyFree; ++i) anyFree = !client[i].active;
    if (!anyFree) {
        consoleLine("client limit reached");
        closeSocket(clientListenSocket);
        clientListenSocket = invalidSocket;
        clientListening = false;
        return false;
    }

    Socket s = accept(clientListenSocket, nullptr, nullptr);
    if (s < 0) {
        consoleLine("client request INVALID SOCKET error");
        closeSocket(clientListenSocket);
        clientListenSocket = invalidSocket;
        clientListening = false;
        return false;
    }
    if (!setNonBlocking(s)) {
        consolePrintf("Error setting clientSocket to nonblocking mode. %d.\n", lastSocketError());
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
    if (clientNoDelay) setNoDelay(s);
    addPendingLogin(s, LoginKind::rover, clockMs());
    return true;
}

bool completeClientLogin(Socket s, int& clientIndex)
{
    consoleLine("client request set to read");
    char buffer[rxBufferSize];
    int n = 0;
    if (!receiveLoginRequest(s, buffer, sizeof buffer, "client", n)) {
        closeSocket(s);
        return false;
    }

    // The slot's mutex is held for the rest of the login, so a reset of the
    // slot still finishing on another thread cannot run over its filling.
    int slot = -1;
    for (int i = 0; i < maxClients && slot < 0; ++i) {
        if (client[i].active) continue;
        if (!waitMutex(client[i].mutex, clientSlotWaitMs)) continue;
        if (client[i].active)
            releaseMutex(client[i].mutex);
        else
            slot = i;
    }
    if (slot < 0) {
        // The slots filled while this rover was still sending its request.
        consoleLine("client limit reached");
        closeSocket(s);
        return false;
    }
    Client& c = client[slot];
    c.clientSocket = s;

    std::istringstream request(std::string(buffer, size_t(n)));
    if (!checkClientRequest(slot, request)) {
        dropRover(c);
        releaseMutex(c.mutex);
        return false;
    }

    clientIndex = slot;
    sendCONNECT_OK(s);
    // The caster's own 1013 (current MJD): a base that has not sent its
    // system parameters yet would give the rover a day number of 0.
    uint8_t frame[maxFrameBytes];
    int length = encodeRtcm1013(-1, frame);
    if (length > 0 && length <= int(sizeof frame)) socketSend(s, frame, size_t(length));
    // It is the rover's first keep-alive: the next one is due a full
    // interval later, not at once in a stream of another format.
    c.lastSent1013 = clockMs();

    // Marked active only after the greeting went out, so the streaming
    // thread's first message cannot overtake it.
    time_t now = wallTime();
    c.connectTime = now;
    c.lastDataTime = now;
    c.connectTimeText = getHttpDateString();
    c.active = true;
    releaseMutex(c.mutex);
    // The rover thread watches the new socket and serves it from its next pass.
    noteRoverSocketChanged(slot);
    wakeRoverThread();
    return true;
}
