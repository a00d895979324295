#pragma once
// A synthetic reference station near a rover: its point, the surrounding
// bases, per-satellite synthesised observations, and the messages built for
// it with their events and stamps.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/sync.h"

constexpr int maxErpRecords = 10;

enum ErpMsgKind : int {
    erpKind1004, erpKind1012, erpKind1005, erpKind1008, erpKind1074, erpKind1084,
    erpKindCmr0, erpKindCmr1, erpKindCmr3, erpKindNct5B, erpKindNct5C, erpKindNct5E,
    erpKindBinr69Gps, erpKindBinr69Glo, erpKind1033, erpKindBinr6A,
    erpMsgKindCount
};

struct ErpSatSlot {
    uint32_t epochMs = 0;
    uint32_t prevEpochMs = 0;
    uint8_t present = 0;
    double codeResidual[3] = {};
    double phaseResidual[3] = {};
    float codeResidualF[3] = {};
    float codeResidualRate[3] = {};
    double geometricRange = 0;
    double phaseL1 = 0, phaseL2 = 0, phaseL3 = 0;
    double codeL1 = 0, codeL2 = 0, codeL3 = 0;
    // Which bases (one bit per base slot) the ionosphere of this epoch was
    // fitted to, and how many.
    uint32_t contributors = 0;
    uint8_t ionoBases = 0;
    // The bases (one bit per slot) whose level was tied to the master's
    // through fixed carrier ambiguities: a change moves the ionospheric
    // difference by up to the levels' errors, which the phase must not show
    // under an unbroken lock.
    uint32_t tiedBases = 0;
    // The same fitted ionosphere at the master base's own point.
    double codeAtMaster[3] = {};
    double phaseAtMaster[3] = {};
    // Standard error (m) of the first signal's ionospheric phase difference
    // node minus master, from the levels' standard errors; infinite when
    // the fit could not give the difference.
    double phaseError = 0;
    // Continuity of the synthesised phases: the lock time sent per
    // frequency, the master's lock time at the last synthesis, the epoch
    // from which this station's own lock runs, the ionospheric shift applied
    // to the master's phases (m), and whether the carrier was held out.
    uint16_t lockTimeS[3] = {};
    uint16_t masterLockS[3] = {};
    uint32_t lockStartMs = 0;
    bool locked = false;
    // Counts the new arcs (the slip count the CMR and NCT builders send).
    uint8_t slipCount = 0;
    double phaseShift[3] = {};
    uint32_t signature = 0;
};

struct ErpRecord {
    std::atomic<uint8_t> inUse{0};
    time_t lastUsedTime = 0;
    double latitude = 0, longitude = 0, height = 0;
    double ecefX = 0, ecefY = 0, ecefZ = 0;
    int32_t baseIndex[4] = {-1, -1, -1, -1};
    double baseDistance[4] = {};
    double line[10][3] = {};
    uint32_t gpsEpochMs = 1, gloEpochMs = 1, bdsEpochMs = 1, galEpochMs = 1;
    // The master's epochs last seen; a change raises the pending mark.
    uint32_t gpsMasterEpochMs = 1, gloMasterEpochMs = 1;
    bool gpsPending = false, gloPending = false;
    uint32_t gpsPendingClock = 0, gloPendingClock = 0;
    // The master base (and its connection) the last synthesis was anchored
    // on: a new one restarts every lock time.
    int32_t anchorBase = -1;
    uint32_t anchorSerial = 0;
    ErpSatSlot gpsSlot[32];
    ErpSatSlot glonassSlot[24];
    uint8_t msgBuffer[erpMsgKindCount][1029] = {};
    uint32_t msgLength[erpMsgKindCount] = {};
    Event msgEvent[erpMsgKindCount];
    uint32_t msgStamp[erpMsgKindCount] = {};
    std::mutex frameLock[erpMsgKindCount];
};

extern ErpRecord erp[maxErpRecords];

void initErpRecord(ErpRecord& r);

// Frees a record: everything back to its initial state, the in-use byte
// cleared last, so that a rover thread that takes the record at once finds
// it whole.
void releaseErpRecord(ErpRecord& r);

// Keeps one message built for the station: the same exchange as a base's
// kept messages (event reset, frame, length and stamp under the kind's
// lock, event set), then wakes the rover thread that serves it. False when
// the kind or the length is out of range.
bool storeErpMessage(ErpRecord& r, int kind, const uint8_t* frame, uint32_t length,
                     uint32_t stamp);
// A reader copies out a complete frame whose stamp differs from the one it
// took last.
bool copyErpMessage(ErpRecord& r, int kind, uint8_t* out, uint32_t& length, uint32_t& stamp,
                    uint32_t lastStamp);
