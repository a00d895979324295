#pragma once
// Rover, browser and outgoing-base slots, the account entries of the
// management lists, and the shared run flags and switches.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/net.h"
#include "platform/sync.h"

constexpr int maxClients = 100;
constexpr int maxWebUsers = 50;
constexpr int maxTcpBases = 10;
constexpr int maxUserEntries = 100;
constexpr int maxBaseLogins = 10;
constexpr int webRxBufferSize = 12288;
constexpr int clientResetWaitMs = 500;
// The unsent rest of one frame (the largest frame is 1029 bytes).
constexpr int clientPendingOutputBytes = 1029;
// One line of rover input (a GGA sentence) that arrives in pieces.
constexpr int clientLineBytes = 256;

// The phase shift an iMAC rover was sent for one satellite, per band, at
// its last two epochs (0: none yet).
struct ImacShiftTrack {
    uint32_t epochMs = 0, prevEpochMs = 0;
    float shift[2] = {}, prevShift[2] = {};
};
constexpr int imacTrackedSatellites = 32 + 24;   // GPS, then GLONASS

struct Client {
    Mutex mutex;
    Socket clientSocket = invalidSocket;
    std::string requestedStream;
    std::string credential;
    std::string userAgent;
    std::string connectTimeText;
    bool secondNearest = false;
    std::atomic<bool> active{false};
    time_t connectTime = 0;
    time_t lastDataTime = 0;
    double latitude = 0, longitude = 0;
    double nearestDistance = -1.0;
    int32_t fixQuality = 0;
    int32_t satellites = 0;
    float hdop = 0;
    float altitude = 0;
    float correctionAge = 0;
    int32_t refStationId = 0;
    int32_t streamCode = -1;
    int32_t erpIndex = -1;
    int32_t masterBase = -1;
    // The master's connectionSerial at the login of a single-base stream.
    uint32_t masterConnectionSerial = 0;
    int32_t auxBase[3] = {-1, -1, -1};
    float gpsIonoDiff[3][40] = {};
    float gpsGeoDiff[3][40] = {};
    float gloIonoDiff[3][24] = {};
    float gloGeoDiff[3][24] = {};
    bool netPending[4] = {};
    uint32_t netPendingClock[4] = {};
    // A frame built from the master's record was dropped because the base
    // data thread was writing it: the rover is served again shortly, since
    // the write that ends may wake nobody.
    bool recordRebuildDue = false;
    uint32_t lastSent1005 = 0, lastSent1006 = 0, lastSent1007 = 0, lastSent1008 = 0;
    uint32_t lastSent1003 = 0, lastSent1004 = 0, lastSent1011 = 0, lastSent1012 = 0;
    uint32_t lastSent1015 = 0, lastSent1017 = 0, lastSent1013 = 0, lastSent1032 = 0;
    uint32_t lastSent1033 = 0, lastSent1104 = 0, lastSent1034 = 0, lastSent1035 = 0;
    uint32_t lastSent1074 = 0, lastSent1084 = 0, lastSent1094 = 0, lastSent1114 = 0;
    uint32_t lastSent1124 = 0, lastSent1037 = 0, lastSent1039 = 0, lastSent1230 = 0;
    uint32_t lastSentCmr0 = 0, lastSentCmr1 = 0, lastSentCmr2 = 0, lastSentCmr3 = 0;
    uint32_t lastSentBinr69Gps = 0, lastSentBinr69Glo = 0, lastSentBinr6B = 0,
             lastSentBinr6A = 0;
    uint32_t lastSentErp1005 = 0, lastSentErp1008 = 0;
    uint32_t lastSentNct5B = 0, lastSentNct5C = 0, lastSentNct5D = 0, lastSentNct5E = 0,
             lastSentNct61 = 0;
    // BINR 6Ah is built from the master's 1005 (lastSentBinr6A) or 1006: each
    // source keeps its own stamp, or two frames would go out on every pass.
    uint32_t lastSentBinr6A1006 = 0;
    // Written by the iMAC builders on the rover streaming thread only.
    ImacShiftTrack imacShift[imacTrackedSatellites];

    // What the rover's socket did not take: the rest of one frame, sent
    // before anything else so that frames reach the rover whole. The frame's
    // last-sent stamp (pendingStampTarget, a field of this record) takes
    // pendingStamp only once the rest is out.
    uint8_t pendingOutput[clientPendingOutputBytes] = {};
    uint32_t pendingOutputOffset = 0;
    uint32_t pendingOutputLength = 0;
    uint32_t* pendingStampTarget = nullptr;
    uint32_t pendingStamp = 0;
    const char* pendingErrorText = nullptr;
    // The socket refused output and has not taken a byte since stalledSinceMs.
    bool outputStalled = false;
    uint32_t stalledSinceMs = 0;
    // Rover input up to the end of the current line (or of the NMEA sentence
    // whose checksum lineStar marks). After a line too long for the buffer,
    // lineOverflow drops input up to the next '$' or line end.
    char lineBuffer[clientLineBytes] = {};
    uint32_t lineLength = 0;
    int32_t lineStar = -1;
    bool lineOverflow = false;
    // The console echo of rover input: how much of an "Authorization:"
    // header the current line has begun with (0xFF once it cannot be one),
    // and whether the rest of the line is a credential, which is not shown.
    uint8_t echoHeaderMatch = 0;
    bool echoMasking = false;
    // Whether the rover takes what it is sent, sampled now and then: the
    // bytes it had acknowledged at the last sample, and when its queue last
    // moved or was empty.
    uint32_t takeSampleMs = 0;
    uint64_t lastAckedBytes = 0;
    uint32_t lastTakenMs = 0;
};

struct WebUser {
    Mutex mutex;
    Socket socket = invalidSocket;
    bool inUse = false;
    time_t connectTime = 0;
    char rxBuffer[webRxBufferSize] = {};
};

struct TcpBase {
    std::string ipAddress, port, mountpoint, location, networkName, country, gnss;
    int32_t lastConnectTime = 0;
    bool online = false;
    Mutex mutex;
};

struct UserEntry {
    std::string firstName, lastName, billingAddress, city, state, postalCode, userLogin,
        userPassword, subscriptionDay, subscriptionYear, emailAddress;
};

struct BaseLogin {
    std::string mountpoint;
    std::string basePassword;
};

extern Client client[maxClients];
extern WebUser webUser[maxWebUsers];
extern TcpBase tcpBase[maxTcpBases];

extern std::atomic<bool> listenThreadRun;
extern std::atomic<bool> dataThreadsRun;
extern std::atomic<bool> webThreadRun;
extern std::atomic<bool> tcpBaseThreadRun;
extern std::atomic<bool> sourceTableCurrent;
extern Mutex sourceTableMutex;
extern std::string logFileName;
extern bool logToFile;
extern bool debugPrint;
extern bool clientNoDelay;
extern std::string base64Alphabet;
extern int32_t tcpBaseCount;
extern std::atomic<bool> tcpBaseReload;
// Connecting to the TCP bases is allowed (cleared while the table is being
// edited), and an entry's connect attempt is under way.
extern std::atomic<bool> tcpBaseConnectEnabled;
extern std::atomic<bool> tcpBaseConnectBusy;
extern std::atomic<int32_t> webUserCount;
extern std::atomic<int32_t> erpCount;
extern int32_t userLoginCount, baseLoginCount;
// The mode argument of the NCT 5B and 5C encoders; never changed.
extern const uint32_t nctOutputMode;

// GLONASS frequency channel + 7 by slot (slot 24 at index 0).
extern const uint8_t glonassChannelBySlot[24];
// GLONASS L1 and L2 carriers in Hz by channel + 7 (channels -7..+13).
extern const float glonassL1Freq[21];
extern const float glonassL2Freq[21];

// Builds every record and global value, in the order the threads rely on.
void initGlobals();
// Frees a rover slot.
void closeClient(Client& c);
// Stores sourceTableCurrent under its mutex (100 ms wait, skipped on failure).
bool setSourceTableCurrent(bool current);
