#include "core/records.h"

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/erp_record.h"
#include "core/gnss_time.h"
#include "core/rover_wake.h"
#include "core/ephemeris.h"

Client client[maxClients];
WebUser webUser[maxWebUsers];
TcpBase tcpBase[maxTcpBases];

std::atomic<bool> listenThreadRun{true};
std::atomic<bool> dataThreadsRun{true};
std::atomic<bool> webThreadRun{true};
std::atomic<bool> tcpBaseThreadRun{true};
std::atomic<bool> sourceTableCurrent{false};
Mutex sourceTableMutex;
std::string logFileName;
bool logToFile = false;
bool debugPrint = false;
// Rover sockets send each frame at once. With Nagle's rule on, the second
// frame of an epoch waits for the rover's acknowledgement of the first, and
// a rover that also sends (a GGA) acknowledges late: every such epoch came
// 40 ms (Linux) to 200 ms (Windows) late.
bool clientNoDelay = true;
std::string base64Alphabet;
int32_t tcpBaseCount = 0;
std::atomic<bool> tcpBaseReload{false};
std::atomic<bool> tcpBaseConnectEnabled{false};
std::atomic<bool> tcpBaseConnectBusy{false};
std::atomic<int32_t> webUserCount{0};
std::atomic<int32_t> erpCount{0};
int32_t userLoginCount = 0, baseLoginCount = 0;
const uint32_t nctOutputMode = 1;

// Channels of today's constellation (R09 and R12 moved to -2 and -1 since
// older tables were drawn up), for input that names none.
const uint8_t glonassChannelBySlot[24] = {9, 8, 3, 12, 13, 8, 3,  12, 13, 5, 0, 7,
                                          6, 5, 0, 7,  6,  11, 4, 10, 9,  11, 4, 10};

// L1 = 1602 MHz + k x 562.5 kHz, L2 = 1246 MHz + k x 437.5 kHz, k = index - 7.
#define GLO_L1(k) (1602.0e6f + (k) * 562500.0f)
#define GLO_L2(k) (1246.0e6f + (k) * 437500.0f)
const float glonassL1Freq[21] = {
    GLO_L1(-7), GLO_L1(-6), GLO_L1(-5), GLO_L1(-4), GLO_L1(-3), GLO_L1(-2), GLO_L1(-1),
    GLO_L1(0),  GLO_L1(1),  GLO_L1(2),  GLO_L1(3),  GLO_L1(4),  GLO_L1(5),  GLO_L1(6),
    GLO_L1(7),  GLO_L1(8),  GLO_L1(9),  GLO_L1(10), GLO_L1(11), GLO_L1(12), GLO_L1(13)};
const float glonassL2Freq[21] = {
    GLO_L2(-7), GLO_L2(-6), GLO_L2(-5), GLO_L2(-4), GLO_L2(-3), GLO_L2(-2), GLO_L2(-1),
    GLO_L2(0),  GLO_L2(1),  GLO_L2(2),  GLO_L2(3),  GLO_L2(4),  GLO_L2(5),  GLO_L2(6),
    GLO_L2(7),  GLO_L2(8),  GLO_L2(9),  GLO_L2(10), GLO_L2(11), GLO_L2(12), GLO_L2(13)};
#undef GLO_L1
#undef GLO_L2

// The stamps of the kept kinds; `all` also clears those of the network,
// BINR and ERP messages, which a slot reset leaves as they were.
static void clearLastSent(Client& c, bool all)
{
    c.lastSent1005 = c.lastSent1006 = c.lastSent1007 = c.lastSent1008 = 0;
    c.lastSent1003 = c.lastSent1004 = c.lastSent1011 = c.lastSent1012 = 0;
    c.lastSent1013 = c.lastSent1032 = c.lastSent1033 = c.lastSent1104 = 0;
    c.lastSent1074 = c.lastSent1084 = c.lastSent1094 = c.lastSent1114 = 0;
    c.lastSent1124 = c.lastSent1230 = 0;
    c.lastSentCmr0 = c.lastSentCmr1 = c.lastSentCmr2 = c.lastSentCmr3 = 0;
    c.lastSentNct5B = c.lastSentNct5C = c.lastSentNct5D = c.lastSentNct5E =
        c.lastSentNct61 = 0;
    // The BINR frames are built on the master's 1004, 1012, 1005 and 1006
    // stamps: a value left by the slot's previous rover could match them and
    // hold back the new rover's first frames.
    c.lastSentBinr69Gps = c.lastSentBinr69Glo = c.lastSentBinr6A = c.lastSentBinr6A1006 = 0;
    if (!all) return;
    c.lastSent1015 = c.lastSent1017 = c.lastSent1034 = c.lastSent1035 = 0;
    c.lastSent1037 = c.lastSent1039 = 0;
    c.lastSentBinr6B = 0;
    c.lastSentErp1005 = c.lastSentErp1008 = 0;
}

// Output and input still held for the rover's connection.
static void clearClientBuffers(Client& c)
{
    for (auto& t : c.imacShift) t = ImacShiftTrack{};
    c.pendingOutputOffset = c.pendingOutputLength = 0;
    c.pendingStampTarget = nullptr;
    c.pendingStamp = 0;
    c.pendingErrorText = nullptr;
    c.outputStalled = false;
    c.stalledSinceMs = 0;
    c.lineLength = 0;
    c.lineStar = -1;
    c.lineOverflow = false;
    c.echoHeaderMatch = 0;
    c.echoMasking = false;
    c.takeSampleMs = 0;
    c.lastAckedBytes = 0;
    c.lastTakenMs = 0;
}

static void constructClient(Client& c)
{
    c.requestedStream.clear();
    c.credential.clear();
    c.userAgent.clear();
    c.connectTimeText.clear();
    c.clientSocket = invalidSocket;
    c.secondNearest = false;
    c.active = false;
    c.connectTime = c.lastDataTime = 0;
    c.latitude = c.longitude = 0;
    c.nearestDistance = -1.0;
    c.fixQuality = c.satellites = 0;
    c.hdop = c.altitude = c.correctionAge = 0;
    c.refStationId = 0;
    c.streamCode = -1;
    c.erpIndex = -1;
    c.masterBase = -1;
    c.masterConnectionSerial = 0;
    for (auto& a : c.auxBase) a = -1;
    for (int i = 0; i < 4; ++i) {
        c.netPending[i] = false;
        c.netPendingClock[i] = 0;
    }
    c.recordRebuildDue = false;
}

void initGlobals()
{
    logFileName = "logfile";
    initEpochValues();
    base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (auto& b : baseStation) constructBaseStation(b);
    for (auto& c : client) {
        constructClient(c);
        clearLastSent(c, true);
        clearClientBuffers(c);
        for (int a = 0; a < 3; ++a) {
            for (int i = 0; i < 40; ++i) c.gpsIonoDiff[a][i] = c.gpsGeoDiff[a][i] = 0;
            for (int i = 0; i < 24; ++i) c.gloIonoDiff[a][i] = c.gloGeoDiff[a][i] = 0;
        }
    }
    initCasterSettings();
    sourceTableCurrent = false;
    initEphemerisSlots();
    for (auto& t : tcpBase) {
        t.ipAddress.clear();
        t.port.clear();
        t.mountpoint.clear();
        t.location.clear();
        t.networkName.clear();
        t.country.clear();
        t.gnss.clear();
        t.lastConnectTime = 0;
        t.online = false;
    }
    tcpBaseCount = 0;
    tcpBaseReload = false;
    tcpBaseConnectEnabled = false;
    tcpBaseConnectBusy = false;
    for (auto& r : erp) initErpRecord(r);
    openRoverWake();
    openBaseArrivalWake();
    setServedKinds(nullptr, 0);
    for (int i = 0; i < maxClients; ++i) noteRoverSocketChanged(i);
    erpCount = 0;
    for (auto& w : webUser) {
        w.socket = invalidSocket;
        w.connectTime = 0;
        w.inUse = false;
    }
    webUserCount = 0;
    listenThreadRun = true;
    dataThreadsRun = true;
    webThreadRun = true;
    tcpBaseThreadRun = true;
    debugPrint = false;
    logToFile = false;
}

void closeClient(Client& c)
{
    // Wait in steps so the reset does not run over the listen thread filling
    // the slot; a holder that never lets go cannot keep the slot forever.
    bool held = false;
    for (int i = 0; i < 5 && !held; ++i) held = waitMutex(c.mutex, clientResetWaitMs);

    closeSocket(c.clientSocket);
    c.clientSocket = invalidSocket;
    c.active = false;
    for (auto& p : c.netPending) p = false;
    c.recordRebuildDue = false;
    c.latitude = c.longitude = 0;
    c.fixQuality = c.satellites = 0;
    c.hdop = c.altitude = c.correctionAge = 0;
    c.refStationId = 0;
    c.requestedStream.clear();
    c.credential.clear();
    c.userAgent.clear();
    c.nearestDistance = -1.0;
    c.masterBase = -1;
    c.masterConnectionSerial = 0;
    for (auto& a : c.auxBase) a = -1;
    c.erpIndex = -1;
    c.streamCode = -1;
    for (auto& p : c.netPendingClock) p = 0;
    clearLastSent(c, false);
    c.secondNearest = false;
    clearClientBuffers(c);

    if (held) releaseMutex(c.mutex);
    // The rover thread stops watching the closed socket.
    for (int i = 0; i < maxClients; ++i)
        if (&client[i] == &c) noteRoverSocketChanged(i);
}

bool setSourceTableCurrent(bool current)
{
    MutexWait lock(sourceTableMutex, 100);
    if (!lock.held()) return false;
    sourceTableCurrent = current;
    return true;
}
