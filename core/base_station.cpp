#include "core/base_station.h"

#include <cstring>

#include "core/rover_wake.h"
#include "platform/console.h"

BaseStation baseStation[maxBases];
BaseStation syntheticBase;

uint32_t msgCapacity(int kind)
{
    switch (kind) {
    case kind1005: return 25;
    case kind1006: return 27;
    case kind1007:
    case kind1008: return 116;
    case kindCmr0:
    case kindCmr3: return 1000;
    case kindCmr1: return 32;
    case kindCmr2: return 90;
    default: return (kind >= 0 && kind < msgKindCount) ? maxFrameBytes : 0;
    }
}

int msgKindOfRtcm(int n)
{
    switch (n) {
    case 1003: return kind1003;
    case 1004: return kind1004;
    case 1005: return kind1005;
    case 1006: return kind1006;
    case 1007: return kind1007;
    case 1008: return kind1008;
    case 1011: return kind1011;
    case 1012: return kind1012;
    case 1013: return kind1013;
    case 1032: return kind1032;
    case 1033: return kind1033;
    case 1104: return kind1104;
    case 1074: return kind1074;
    case 1084: return kind1084;
    case 1094: return kind1094;
    case 1124: return kind1124;
    case 1114: return kind1114;
    case 1230: return kind1230;
    case 1034: return kind1034;
    case 1035: return kind1035;
    default: return -1;
    }
}

const char* msgKindName(int kind)
{
    static const char* const names[msgKindCount] = {
        "1003", "1004", "1005", "1006", "1007", "1008", "1011", "1012", "1013", "1032",
        "1033", "1104", "1074", "1084", "1094", "1124", "1114", "1230", "1034", "1035",
        "CMR0", "CMR1", "CMR2", "CMR3", "NCT5B", "NCT5C", "NCT5D", "NCT5E", "NCT61"};
    return (kind >= 0 && kind < msgKindCount) ? names[kind] : "?";
}

// The slot number of a record of the global array; -1 for any other record
// (a test's own).
static int baseIndexOf(const BaseStation& b)
{
    for (int i = 0; i < maxBases; ++i)
        if (&baseStation[i] == &b) return i;
    return -1;
}

void initSatelliteEntries(BaseStation& b)
{
    for (auto& s : b.gpsSat) s = GpsSatObs{};
    for (auto& s : b.bdsSat) s = BdsSatObs{};
    for (auto& s : b.gloSat) s = GloSatObs{};
    for (auto& s : b.galSat) s = GalSatObs{};
}

static void setDefaultDescriptors(BaseStation& b)
{
    b.antennaDescriptor = "GPPNULLANTENNA";
    b.antennaSerial = "0";
    b.receiverType = "UNKNOWN";
    b.receiverSerial = "0";
    b.firmwareVersion = "0";
    b.descriptorLength[0] = uint8_t(b.antennaDescriptor.size());
    b.descriptorLength[1] = uint8_t(b.antennaSerial.size());
    b.descriptorLength[2] = uint8_t(b.receiverType.size());
    b.descriptorLength[3] = uint8_t(b.receiverSerial.size());
    b.descriptorLength[4] = uint8_t(b.firmwareVersion.size());
}

void constructBaseStation(BaseStation& b)
{
    b.magFieldDate.clear();
    b.mountpoint.clear();
    b.identifier.clear();
    b.format.clear();
    b.formatDetails.clear();
    b.navSystem.clear();
    b.network.clear();
    b.country.clear();
    initSatelliteEntries(b);
    b.rxWriteIndex = 0;
    for (auto& m : b.msg) {
        resetEvent(m.msgEvent);
        std::lock_guard<std::mutex> g(m.frameLock);
        m.msgLength = 0;
        m.msgStamp = 0;
        m.msgRxTime = m.msgPrevRxTime = 0;
        m.msgPresent = m.msgNative = 0;
    }
    b.socket = invalidSocket;
    b.connected = 0;
    b.connectionSerial = 0;
    b.trusted = 0;
    b.nctInput = b.rtcmInput = 0;
    b.lastDataTime = b.connectTime = 0;
    b.magFieldNt = 0;
    b.carrier = 0;
    b.strLatitude = b.strLongitude = 0;
    b.ecefX = b.ecefY = b.ecefZ = 0;
    b.latitudeRad = b.longitudeRad = 0;
    b.antennaHeight = 0;
    b.stationId = 0;
    b.singleOscillator = 0;
    b.gloEpochMs = b.gpsTowMs = b.bdsTowMs = b.galTowMs = 1;
    b.gpsSatCount = b.gloSatCount = b.galSatCount = b.bdsSatCount = 0;
    b.gpsObsNew = b.gloObsNew = b.bdsObsNew = b.galObsNew = 0;
    b.gsvRxTime = 0;
    b.cmrPlusRxTime = 0;
    b.antennaSetupId = 0;
    std::memset(b.msmSignalId, 0, sizeof b.msmSignalId);
    b.netGradient = NetGradients{};
    setDefaultDescriptors(b);
}

// Waits for the slot's mutex in steps rather than giving up: a reset that
// ran over another thread's update of the slot would leave it half-filled.
// After `steps` failed waits the reset goes on regardless, so a stuck holder
// cannot keep a dead base's slot from being freed.
static bool waitMutexSteps(Mutex& m, int stepMs, int steps)
{
    for (int i = 0; i < steps; ++i)
        if (waitMutex(m, stepMs)) return true;
    return false;
}

void resetBaseStation(BaseStation& b)
{
    bool held = waitMutexSteps(b.mutex, baseResetWaitMs, 5);
    if (!held) consoleLine("DEBUG base reset without its mutex");

    closeSocket(b.socket);
    b.rxWriteIndex = 0;
    b.socket = invalidSocket;
    b.connected = 0;
    b.trusted = 0;
    b.nctInput = 0;
    b.rtcmInput = 0;
    b.lastDataTime = b.connectTime = 0;

    b.magFieldDate.clear();
    b.magFieldNt = 0;
    b.mountpoint.clear();
    b.identifier.clear();
    b.format.clear();
    b.formatDetails.clear();
    b.navSystem.clear();
    b.network.clear();
    b.country.clear();

    b.gpsSatCount = b.gloSatCount = b.galSatCount = b.bdsSatCount = 0;
    b.singleOscillator = 0;
    b.gloEpochMs = b.gpsTowMs = b.bdsTowMs = b.galTowMs = 1;
    b.stationId = 0;
    b.antennaHeight = 0;
    b.strLatitude = b.strLongitude = 0;
    b.latitudeRad = b.longitudeRad = 0;
    b.ecefX = b.ecefY = b.ecefZ = 0;

    for (auto& m : b.msg) {
        resetEvent(m.msgEvent);
        std::lock_guard<std::mutex> g(m.frameLock);
        m.msgLength = 0;
        m.msgStamp = 0;
        m.msgRxTime = 0;
        m.msgPresent = 0;
        m.msgNative = 0;
    }
    b.gsvRxTime = 0;
    b.cmrPlusRxTime = 0;

    setDefaultDescriptors(b);
    b.antennaSetupId = 0;
    b.gpsObsNew = 0;
    b.gloObsNew = 0;
    for (int band = 0; band < 3; ++band) {
        msmSignalIdGal(b, band) = 0;
        msmSignalIdBds(b, band) = 0;
    }
    // A new base in this slot must not inherit the previous base's smoothing,
    // slip and filter state.
    initSatelliteEntries(b);

    if (held) releaseMutex(b.mutex);
    // Rovers that named this base are closed by the rover thread's next pass.
    wakeRoversOfBase(baseIndexOf(b));
}

WakeSignal baseArrivalWake;
std::atomic<uint32_t> networkWorkNotes{0};

void openBaseArrivalWake()
{
    openWakeSignal(baseArrivalWake);
}

void wakeBaseDataThread()
{
    raiseWake(baseArrivalWake);
}

bool storeKeptMessage(BaseStation& b, int kind, const uint8_t* frame, uint32_t length,
                      uint32_t stamp, bool received)
{
    if (kind < 0 || kind >= msgKindCount) return false;
    if (length == 0 || length > msgCapacity(kind)) return false;
    KeptMessage& m = b.msg[kind];
    resetEvent(m.msgEvent);
    {
        std::lock_guard<std::mutex> g(m.frameLock);
        std::memcpy(m.msgBuffer, frame, length);
        m.msgLength = length;
        if (received) {
            m.msgPrevRxTime = m.msgRxTime;
            m.msgRxTime = stamp;
        }
        m.msgStamp = stamp;
        m.msgNative = received ? 1 : 0;
    }
    setEvent(m.msgEvent);
    wakeRoversOfKind(baseIndexOf(b), kind);
    return true;
}

// A reader that has the kept frame already finds so from the event and the
// stamp alone, and takes no lock.
static bool keptFrameIsNew(const KeptMessage& m, uint32_t lastStamp)
{
    return eventIsSet(m.msgEvent) && m.msgStamp.load(std::memory_order_acquire) != lastStamp;
}

bool copyKeptMessage(BaseStation& b, int kind, uint8_t* out, uint32_t& length,
                     uint32_t& stamp, uint32_t lastStamp)
{
    if (kind < 0 || kind >= msgKindCount) return false;
    KeptMessage& m = b.msg[kind];
    if (!keptFrameIsNew(m, lastStamp)) return false;
    std::lock_guard<std::mutex> g(m.frameLock);
    if (m.msgLength == 0 || m.msgStamp == lastStamp) return false;
    if (out) std::memcpy(out, m.msgBuffer, m.msgLength);
    length = m.msgLength;
    stamp = m.msgStamp;
    return true;
}

bool newKeptStamp(BaseStation& b, int kind, uint32_t& stamp, uint32_t lastStamp)
{
    uint32_t length = 0;
    return copyKeptMessage(b, kind, nullptr, length, stamp, lastStamp);
}
