#pragma once
// A reference-station slot: connection, identity, position, decoded header
// values, one kept message per message kind, descriptors, satellite entries
// and network gradients. Ten slots, addressed by base number.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "core/sat_obs.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/wake.h"

constexpr int maxBases = 10;
constexpr int rxBufferSize = 3090;
constexpr int maxFrameBytes = 1029;

// The 29 kept message kinds, in the order their events are created.
enum MsgKind : int {
    kind1003, kind1004, kind1005, kind1006, kind1007, kind1008, kind1011, kind1012,
    kind1013, kind1032, kind1033, kind1104,
    kind1074, kind1084, kind1094, kind1124, kind1114, kind1230,
    kind1034, kind1035,
    kindCmr0, kindCmr1, kindCmr2, kindCmr3,
    kindNct5B, kindNct5C, kindNct5D, kindNct5E, kindNct61,
    msgKindCount
};

// Capacity of a kind's kept frame (1005 and 1006 are always exactly 25 and 27).
uint32_t msgCapacity(int kind);
// The kept kind of an RTCM 3 message number, or -1 when it is not kept.
int msgKindOfRtcm(int messageNumber);
// Short name for console lines ("1004", "CMR0", "NCT5B").
const char* msgKindName(int kind);

// One kept message. The event tells a reader that the frame is complete;
// the short lock keeps a reader from copying a frame that a writer is
// rewriting at that moment. The stamp can be compared without the lock, so
// that a reader which has the frame already takes no lock at all.
struct KeptMessage {
    uint8_t msgBuffer[maxFrameBytes] = {};
    uint32_t msgLength = 0;
    Event msgEvent;
    std::atomic<uint32_t> msgStamp{0};
    uint32_t msgRxTime = 0;
    uint32_t msgPrevRxTime = 0;
    uint8_t msgPresent = 0;
    uint8_t msgNative = 0;
    std::mutex frameLock;
};

// Index of the CMR+ reception times (CMR+ frames are decoded, never kept).
constexpr int netSystemGps = 0, netSystemGlo = 1, netSystemBds = 2, netSystemGal = 3;

// Network correction gradients of a master base, one block per system, each
// sized by the system's satellite entries and indexed like them, so that no
// reader of one system runs into another system's values. Arrays 0/1 hold the
// phase ionosphere term, 2/3 the troposphere term, 4/5 the code ionosphere
// term, the even array of each pair times the latitude difference and the odd
// one times the longitude difference; 6 and 7 are spare.
struct NetGradients {
    double gps[8][gpsSatEntries];
    double glo[8][gloSatEntries];
    double bds[8][bdsSatEntries];
    double gal[8][galSatEntries];
};

struct BaseStation {
    Mutex mutex;
    Socket socket = invalidSocket;
    char rxBuffer[rxBufferSize] = {};
    char rxBufferCopy[rxBufferSize] = {};
    uint32_t rxWriteIndex = 0;
    uint8_t msmIods = 0;
    std::atomic<uint8_t> connected{0};
    // Counts the logins into this slot. A rover that named this base keeps
    // the count it was admitted under, so that it is never served by
    // another base that takes the slot over later.
    std::atomic<uint32_t> connectionSerial{0};
    std::atomic<uint8_t> trusted{0};
    uint8_t nctInput = 0;
    uint8_t rtcmInput = 0;
    time_t lastDataTime = 0;
    time_t connectTime = 0;
    double magFieldNt = 0;
    std::string magFieldDate;
    std::string mountpoint;
    std::string identifier;
    std::string format;
    std::string formatDetails;
    int32_t carrier = 0;
    std::string navSystem;
    std::string network;
    std::string country;
    double strLatitude = 0, strLongitude = 0;
    double ecefX = 0, ecefY = 0, ecefZ = 0;
    double latitudeRad = 0, longitudeRad = 0;
    double latitude = 0, longitude = 0;
    double antennaHeight = 0;
    double ellipsoidHeight = 0;
    uint16_t stationId = 0;
    uint8_t itrfYear = 0;
    uint8_t singleOscillator = 0;
    uint8_t gpsIndicator = 0, gloIndicator = 0, galIndicator = 0;
    uint8_t gpsSmoothing = 0, gloSmoothing = 0, galSmoothing = 0, bdsSmoothing = 0;
    uint16_t gpsSmoothingInterval = 0, gloSmoothingInterval = 0, galSmoothingInterval = 0,
             bdsSmoothingInterval = 0;
    uint32_t gloEpochMs = 1;
    uint32_t gpsTowMs = 1;
    uint32_t bdsTowMs = 1;
    uint32_t galTowMs = 1;
    uint32_t gpsSatCount = 0, gloSatCount = 0, galSatCount = 0, bdsSatCount = 0;
    uint16_t mjd = 0;
    uint16_t gpsWeek = 0;
    uint32_t secondsOfDay = 0;
    uint8_t leapSeconds = 0;
    uint8_t gpsEpochComplete = 0, gloEpochComplete = 0;
    uint8_t cmrPlusPageByte = 0;
    uint32_t cmrPlusRxTime = 0, cmrPlusPrevRxTime = 0;
    std::atomic<uint8_t> gpsObsNew{0}, gloObsNew{0}, bdsObsNew{0}, galObsNew{0};
    uint32_t gsvRxTime = 0, gsvPrevRxTime = 0;
    KeptMessage msg[msgKindCount];
    std::string antennaDescriptor;
    std::string antennaSerial;
    std::string receiverType;
    std::string firmwareVersion;
    std::string receiverSerial;
    uint8_t antennaSetupId = 0;
    // Counts of antennaDescriptor, antennaSerial, receiverType,
    // receiverSerial, firmwareVersion, in this order.
    uint8_t descriptorLength[5] = {};
    // MSM signal id last seen per band: Galileo 3 bands, BeiDou 3, GPS 3,
    // GLONASS 2. Use the accessors below rather than raw positions.
    uint8_t msmSignalId[11] = {};
    GpsSatObs gpsSat[gpsSatEntries];
    BdsSatObs bdsSat[bdsSatEntries];
    GloSatObs gloSat[gloSatEntries];
    GalSatObs galSat[galSatEntries];
    // Network correction gradients, one block per system (see NetGradients).
    NetGradients netGradient = {};
    // Odd while the base data thread writes the record for one frame. A
    // reader that builds a frame from the record itself (the BINR sender)
    // reads it before and after and drops a frame built while it changed.
    std::atomic<uint32_t> recordWrites{0};
    // Odd while the base data thread works through one receive. A base
    // sends an epoch's systems together, and what the rover is sent of them
    // in one pass must be all of it: the flag that closes the epoch is set
    // for the order of that pass (see the relay of kept frames).
    std::atomic<uint32_t> receiveScans{0};
};

// A count that is odd while its one writer is at work, and its readers'
// view: the count before they read (odd: a write is under way, try later),
// and whether nothing was written since.
inline void beginCountedWrite(std::atomic<uint32_t>& count)
{
    count.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}
inline void endCountedWrite(std::atomic<uint32_t>& count)
{
    count.fetch_add(1, std::memory_order_release);
}
inline bool countUnchangedSince(const std::atomic<uint32_t>& count, uint32_t before)
{
    std::atomic_thread_fence(std::memory_order_acquire);
    return (before & 1u) == 0 && count.load(std::memory_order_relaxed) == before;
}

// Brackets the base data thread's writes for one frame.
inline void beginRecordWrite(BaseStation& b)
{
    beginCountedWrite(b.recordWrites);
}
inline void endRecordWrite(BaseStation& b)
{
    endCountedWrite(b.recordWrites);
}
inline uint32_t recordWritesBefore(const BaseStation& b)
{
    return b.recordWrites.load(std::memory_order_acquire);
}
inline bool recordUnchangedSince(const BaseStation& b, uint32_t before)
{
    return countUnchangedSince(b.recordWrites, before);
}

extern BaseStation baseStation[maxBases];

// A record that belongs to no base: the network-correction thread fills it
// with a synthetic station's epoch, so that the per-base encoders build that
// station's messages as they build a base's. The encoders take it under the
// index syntheticBaseIndex, far from any base or rover slot number.
constexpr int syntheticBaseIndex = 1000;
extern BaseStation syntheticBase;

// The record an encoder builds from: a base slot 0..9, the synthetic
// record, or null for any other index.
inline BaseStation* encoderBase(int index)
{
    if (index >= 0 && index < maxBases) return &baseStation[index];
    return index == syntheticBaseIndex ? &syntheticBase : nullptr;
}

// Position of a band's byte in msmSignalId.
inline uint8_t& msmSignalIdGal(BaseStation& b, int band) { return b.msmSignalId[band]; }
inline uint8_t& msmSignalIdBds(BaseStation& b, int band) { return b.msmSignalId[3 + band]; }
inline uint8_t& msmSignalIdGps(BaseStation& b, int band) { return b.msmSignalId[6 + band]; }
inline uint8_t& msmSignalIdGlo(BaseStation& b, int band) { return b.msmSignalId[9 + band]; }

constexpr int baseResetWaitMs = 1000;

// Builds one record's defaults (construction).
void constructBaseStation(BaseStation& b);
// Returns the slot to its free state after its base went away.
void resetBaseStation(BaseStation& b);

// The network-correction thread's work comes from two places: a base's
// observations marked new (gpsObsNew ...) and a synthetic station taken for
// a rover. Whoever makes either notes it here, after the mark, so that a
// thread that found nothing to do can rest until the count moves.
extern std::atomic<uint32_t> networkWorkNotes;
inline void noteNetworkWork() { networkWorkNotes.fetch_add(1, std::memory_order_acq_rel); }

// While no base is connected the base data thread has nothing to read and
// sleeps its longer turn; a base admitted into a slot ends that sleep.
extern WakeSignal baseArrivalWake;
// Creates the handle (initGlobals calls it; later calls keep it).
void openBaseArrivalWake();
// Called once a slot has been marked connected.
void wakeBaseDataThread();
// Resets every satellite entry to its constructed state.
void initSatelliteEntries(BaseStation& b);

// Kept-message exchange. The writer resets the event, copies the frame in,
// stores length and stamps, sets the event, and wakes the rover thread when
// a rover served from the base reads the kind. A frame longer than the kind's capacity
// is refused (false) and the kept frame is left as it was.
// `received` marks a frame from the base (moves the reception times).
bool storeKeptMessage(BaseStation& b, int kind, const uint8_t* frame, uint32_t length,
                      uint32_t stamp, bool received);
// Copies out a complete kept frame whose stamp differs from `lastStamp`.
// False when the event is not set, the stamp is unchanged or nothing is kept.
// With `out` null only the length and stamp are given.
bool copyKeptMessage(BaseStation& b, int kind, uint8_t* out, uint32_t& length,
                     uint32_t& stamp, uint32_t lastStamp);
// The same test without the copy: the stamp of a complete kept frame that
// differs from `lastStamp`.
bool newKeptStamp(BaseStation& b, int kind, uint32_t& stamp, uint32_t lastStamp);
