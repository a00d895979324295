#include "caster/transcoding.h"

#include <cstring>
#include <mutex>

#include "core/caster_settings.h"
#include "core/records.h"
#include "formats/cmr/cmr_decode.h"
#include "formats/cmr/cmr_encode.h"
#include "formats/frames.h"
#include "formats/nct/nct_decode.h"
#include "formats/nct/nct_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_ephemeris.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "formats/rtcm3/rtcm3_msm_decode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "platform/clock.h"
#include "platform/console.h"

namespace {

// The builders write here and the result is published in one store, so a
// reader never meets a half-built frame. Only the base data thread builds.
// Twice the largest frame: see buildMsmParts.
uint8_t buildArea[2 * maxFrameBytes];

// A slot's texts are written under its mutex (see decodeNctFrame).
constexpr int textLockWaitMs = 100;
constexpr const char* nctAntenna = "NAVSF2040G";

// The kept kind of a frame's message code; -1 for codes that are decoded
// only or not handled.
int kindOfCode(int32_t code)
{
    switch (code) {
    case codeCmr0: return kindCmr0;
    case codeCmr1: return kindCmr1;
    case codeCmr2: return kindCmr2;
    case codeCmr3: return kindCmr3;
    case codeNct5B: return kindNct5B;
    case codeNct5C: return kindNct5C;
    case codeNct5D: return kindNct5D;
    case codeNct5E: return kindNct5E;
    case codeNct61: return kindNct61;
    case 1034:
    case 1035: return -1;   // written by the network-correction thread alone
    default: return code >= 0 ? msgKindOfRtcm(code) : -1;
    }
}

// A kept frame must fit its kind. 1005 and 1006 have fixed lengths that the
// readers rely on, so a frame of another length is not one of them.
bool fitsKind(int kind, uint32_t length)
{
    if (kind == kind1005) return length == 25;
    if (kind == kind1006) return length == 27;
    return length > 0 && length <= msgCapacity(kind);
}

// Stores a received frame as the kind's kept message. A frame that does not
// fit is neither kept nor decoded.
bool keepReceived(BaseStation& b, int kind, const uint8_t* frame, uint32_t length, time_t now,
                  uint32_t clockMs)
{
    if (!fitsKind(kind, length)) {
        if (debugPrint)
            consolePrintf("DEBUG %s frame of %u bytes does not fit, dropped\n",
                          msgKindName(kind), length);
        return false;
    }
    if (!storeKeptMessage(b, kind, frame, length, clockMs, true)) return false;
    b.lastDataTime = now;
    return true;
}

// An epoch with more cells than one MSM message holds comes in several
// messages. The kind keeps as many of them back to back as its buffer
// holds (a rover is sent the kept bytes as one unit); the area has room for
// one more part than the kind so that a part is only counted once it fits.
using MsmBuilder = int (*)(int baseIndex, uint8_t* buffer, int part, int* partCount);

int buildMsmParts(MsmBuilder build, int baseIndex, uint8_t* out, uint32_t capacity)
{
    int parts = 1;
    int length = build(baseIndex, out, 0, &parts);
    for (int part = 1; length > 0 && part < parts; ++part) {
        int n = build(baseIndex, out + length, part, nullptr);
        if (n <= 0 || uint32_t(length + n) > capacity) break;
        length += n;
    }
    return length;
}

bool publishBuilt(BaseStation& b, int kind, int length, uint32_t clockMs)
{
    if (length <= 0 || length > int(sizeof buildArea)) return false;
    return storeKeptMessage(b, kind, buildArea, uint32_t(length), clockMs, false);
}

void buildIfNotReceived(int baseIndex, int kind, uint32_t gapMs, time_t now, uint32_t clockMs)
{
    if (notReceivedFor(baseStation[baseIndex], kind, gapMs, clockMs))
        buildKind(baseIndex, kind, now, clockMs);
}

bool receivedWithin(const BaseStation& b, int kind, uint32_t clockMs)
{
    return !notReceivedFor(b, kind, obsBuildGapMs, clockMs);
}

bool sendsGpsObservations(const BaseStation& b, uint32_t clockMs)
{
    return receivedWithin(b, kind1003, clockMs) || receivedWithin(b, kind1004, clockMs) ||
           receivedWithin(b, kind1074, clockMs);
}

bool sendsGlonassObservations(const BaseStation& b, uint32_t clockMs)
{
    return receivedWithin(b, kind1011, clockMs) || receivedWithin(b, kind1012, clockMs) ||
           receivedWithin(b, kind1084, clockMs);
}

// The NCT 5E with GLONASS carries both systems of one epoch under the GPS
// time. Bases send an epoch's GPS observations before its GLONASS ones, so
// built with the GPS message it would pair this epoch's GPS with the last
// epoch's GLONASS, a second old. While the base sends GLONASS it is built
// with the GLONASS message instead.
void buildNct5EAfterGps(int baseIndex, time_t now, uint32_t clockMs)
{
    const BaseStation& b = baseStation[baseIndex];
    if (casterSettings.nctGlonass && sendsGlonassObservations(b, clockMs)) return;
    buildIfNotReceived(baseIndex, kindNct5E, obsBuildGapMs, now, clockMs);
}

void buildNct5EAfterGlonass(int baseIndex, time_t now, uint32_t clockMs)
{
    const BaseStation& b = baseStation[baseIndex];
    if (!casterSettings.nctGlonass || !sendsGpsObservations(b, clockMs)) return;
    buildIfNotReceived(baseIndex, kindNct5E, obsBuildGapMs, now, clockMs);
}

// GPS outputs of a legacy GPS observation message.
void buildGpsOutputs(int baseIndex, time_t now, uint32_t clockMs)
{
    buildIfNotReceived(baseIndex, kind1074, obsBuildGapMs, now, clockMs);
    buildNct5EAfterGps(baseIndex, now, clockMs);
    buildIfNotReceived(baseIndex, kindNct5B, obsBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindCmr0, obsBuildGapMs, now, clockMs);
}

// GLONASS outputs of a legacy GLONASS observation message.
void buildGloOutputs(int baseIndex, time_t now, uint32_t clockMs)
{
    buildIfNotReceived(baseIndex, kind1084, obsBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindCmr3, obsBuildGapMs, now, clockMs);
    buildNct5EAfterGlonass(baseIndex, now, clockMs);
}

// Station outputs of a decoded 1005 or 1006.
void buildStationOutputs(int baseIndex, time_t now, uint32_t clockMs)
{
    buildIfNotReceived(baseIndex, kindNct5C, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindNct5D, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindCmr1, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindCmr2, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kind1032, stationBuildGapMs, now, clockMs);
}

// An epoch is complete unless a satellite of it lacks its observation.
template <typename Sat, size_t N>
uint8_t epochComplete(const Sat (&sats)[N], uint32_t epochMs)
{
    for (const Sat& s : sats)
        if (s.epochMs == epochMs && !s.valid) return 0;
    return 1;
}

// The GPS observation message of an NCT 5E epoch, kept in the 1004 kind: a
// 1004 for a complete epoch, otherwise a 1003, as the GLONASS side does with
// 1012 and 1011. The built frame is not decoded back into the record: the
// 5E decoder has already filled it, and a second pass would run the slip
// rule and the estimators on the same epoch again.
void buildGpsFromNct(int baseIndex, uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    b.gpsEpochComplete = epochComplete(b.gpsSat, b.gpsTowMs);
    int length = b.gpsEpochComplete ? encodeRtcm1004(baseIndex, buildArea)
                                    : encodeRtcm1003(baseIndex, buildArea);
    publishBuilt(b, kind1004, length, clockMs);
}

void buildGloFromNct(int baseIndex, uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    b.gloEpochComplete = epochComplete(b.gloSat, b.gloEpochMs);
    int length = b.gloEpochComplete ? encodeRtcm1012(baseIndex, buildArea)
                                    : encodeRtcm1011(baseIndex, buildArea);
    publishBuilt(b, kind1012, length, clockMs);
}

// A 1124 stands in for the 1104 the base does not send: the kind is marked
// built and the network thread told of new BeiDou observations; no 1104
// frame is made, so the kept frame and its stamp stay as they were.
void mark1104Built(BaseStation& b)
{
    KeptMessage& m = b.msg[kind1104];
    resetEvent(m.msgEvent);
    {
        std::lock_guard<std::mutex> g(m.frameLock);
        m.msgNative = 0;
    }
    b.bdsObsNew = 1;
    setEvent(m.msgEvent);
}

void handleEphemeris(int baseIndex, int32_t code, const uint8_t* frame, uint32_t length,
                     time_t now)
{
    baseStation[baseIndex].lastDataTime = now;
    if (code == 1019)
        decodeRtcm1019(frame, 0, length, baseIndex);
    else
        decodeRtcm1020(frame, 0, length, baseIndex);
}

// CMR+ frames are decoded only; a station page completes the station
// outputs. The CMR type 1 made from it stands for the base's own CMR.
void handleCmrPlus(int baseIndex, uint32_t start, uint32_t length, time_t now,
                   uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    b.nctInput = 0;
    b.lastDataTime = now;
    b.cmrPlusPrevRxTime = b.cmrPlusRxTime;
    b.cmrPlusRxTime = clockMs;
    bool store = notReceivedFor(b, kind1004, obsBuildGapMs, clockMs);
    if (!decodeCmrPlusStationPage(reinterpret_cast<const uint8_t*>(b.rxBuffer), start,
                                  start + length, store, baseIndex))
        return;
    if (notReceivedFor(b, kindCmr1, stationBuildGapMs, clockMs) &&
        buildKind(baseIndex, kindCmr1, now, clockMs)) {
        KeptMessage& m = b.msg[kindCmr1];
        std::lock_guard<std::mutex> g(m.frameLock);
        m.msgNative = 1;
    }
    buildIfNotReceived(baseIndex, kind1005, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindNct5C, stationBuildGapMs, now, clockMs);
    buildIfNotReceived(baseIndex, kindNct5D, stationBuildGapMs, now, clockMs);
}

void decodeRtcmFrame(int baseIndex, int32_t code, const uint8_t* rx, uint32_t start, time_t now,
                     uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    switch (code) {
    case 1003:
        b.gpsSatCount = decodeRtcm1003(rx, start, baseIndex);
        b.gpsObsNew = 1;
        buildGpsOutputs(baseIndex, now, clockMs);
        break;
    case 1004:
        b.gpsSatCount = decodeRtcm1004(rx, start, baseIndex);
        b.gpsObsNew = 1;
        buildGpsOutputs(baseIndex, now, clockMs);
        break;
    case 1011:
        b.gloSatCount = decodeRtcm1011(rx, start, baseIndex);
        b.gloObsNew = 1;
        buildGloOutputs(baseIndex, now, clockMs);
        break;
    case 1012:
        b.gloSatCount = decodeRtcm1012(rx, start, baseIndex);
        b.gloObsNew = 1;
        buildGloOutputs(baseIndex, now, clockMs);
        break;
    case 1074:
        b.gpsSatCount = decodeRtcm1074(rx, start, baseIndex);
        if (notReceivedFor(b, kind1004, obsBuildGapMs, clockMs)) {
            buildKind(baseIndex, kind1004, now, clockMs);
            b.gpsObsNew = 1;
            buildNct5EAfterGps(baseIndex, now, clockMs);
            buildIfNotReceived(baseIndex, kindNct5B, obsBuildGapMs, now, clockMs);
            buildIfNotReceived(baseIndex, kindCmr0, obsBuildGapMs, now, clockMs);
        }
        break;
    case 1084:
        b.gloSatCount = decodeRtcm1084(rx, start, baseIndex);
        buildIfNotReceived(baseIndex, kind1012, obsBuildGapMs, now, clockMs);
        b.gloObsNew = 1;
        buildIfNotReceived(baseIndex, kindCmr3, obsBuildGapMs, now, clockMs);
        // Only where the MSM is the base's GLONASS: a legacy GLONASS message
        // of the same epoch has built the 5E already.
        if (!receivedWithin(b, kind1011, clockMs) && !receivedWithin(b, kind1012, clockMs))
            buildNct5EAfterGlonass(baseIndex, now, clockMs);
        break;
    case 1094:
        b.galSatCount = decodeRtcm1094(rx, start, baseIndex);
        b.galObsNew = 1;
        break;
    case 1104:
        b.bdsSatCount = decodeRtcm1104(rx, start, baseIndex);
        b.bdsObsNew = 1;
        buildIfNotReceived(baseIndex, kind1124, stationBuildGapMs, now, clockMs);
        break;
    case 1124:
        b.bdsSatCount = decodeRtcm1124(rx, start, baseIndex);
        if (notReceivedFor(b, kind1104, obsBuildGapMs, clockMs)) mark1104Built(b);
        break;
    case 1005:
        if (decodeRtcm1005(rx, start, baseIndex)) buildStationOutputs(baseIndex, now, clockMs);
        break;
    case 1006:
        if (decodeRtcm1006(rx, start, baseIndex)) buildStationOutputs(baseIndex, now, clockMs);
        break;
    case 1007:
        decodeRtcm1007(rx, start, baseIndex);
        buildIfNotReceived(baseIndex, kind1033, stationBuildGapMs, now, clockMs);
        break;
    case 1008:
        decodeRtcm1008(rx, start, baseIndex);
        buildIfNotReceived(baseIndex, kind1033, stationBuildGapMs, now, clockMs);
        break;
    case 1033:
        decodeRtcm1033(rx, start, baseIndex);
        buildIfNotReceived(baseIndex, kind1008, stationBuildGapMs, now, clockMs);
        break;
    case 1013:
        decodeRtcm1013(rx, start, baseIndex);
        break;
    default:   // 1032, 1114, 1230: kept and passed on as they are
        break;
    }
    // After any new-observations mark above: the network thread looks.
    noteNetworkWork();
}

void decodeCmrFrame(int baseIndex, int32_t code, const uint8_t* frame, uint32_t length,
                    time_t now, uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    switch (code) {
    case codeCmr0: {
        bool store = notReceivedFor(b, kind1004, obsBuildGapMs, clockMs);
        if (!decodeCmr(frame, 0, length, store, baseIndex)) break;
        bool no1004 = store;
        if (no1004 && notReceivedFor(b, kind1003, obsBuildGapMs, clockMs))
            buildKind(baseIndex, kind1003, now, clockMs);
        if (no1004 && notReceivedFor(b, kindNct5B, obsBuildGapMs, clockMs))
            buildKind(baseIndex, kindNct5B, now, clockMs);
        if (no1004 && notReceivedFor(b, kindNct5E, obsBuildGapMs, clockMs))
            buildKind(baseIndex, kindNct5E, now, clockMs);
        break;
    }
    case codeCmr1: {
        bool store = notReceivedFor(b, kind1005, stationBuildGapMs, clockMs) &&
                     notReceivedFor(b, kind1006, stationBuildGapMs, clockMs);
        if (!decodeCmr(frame, 0, length, store, baseIndex)) break;
        buildIfNotReceived(baseIndex, kind1005, stationBuildGapMs, now, clockMs);
        buildIfNotReceived(baseIndex, kindNct5C, stationBuildGapMs, now, clockMs);
        buildIfNotReceived(baseIndex, kindNct5D, stationBuildGapMs, now, clockMs);
        break;
    }
    case codeCmr3:
        // From this type the decoder takes at most the station number.
        decodeCmr(frame, 0, length, notReceivedFor(b, kind1012, obsBuildGapMs, clockMs),
                  baseIndex);
        break;
    default:   // CMR type 2: kept and passed on
        break;
    }
}

void decodeNctFrame(int baseIndex, int32_t code, const uint8_t* frame, uint32_t length,
                    time_t now, uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    switch (code) {
    case codeNct5B:
        decodeNct5B(frame, 0, length, baseIndex,
                    notReceivedFor(b, kindNct5E, stationBuildGapMs, clockMs));
        break;
    case codeNct5C:
        if (!decodeNct5C(frame, 0, length, baseIndex)) break;
        buildIfNotReceived(baseIndex, kind1005, stationBuildGapMs, now, clockMs);
        buildIfNotReceived(baseIndex, kindCmr1, stationBuildGapMs, now, clockMs);
        buildIfNotReceived(baseIndex, kindCmr2, stationBuildGapMs, now, clockMs);
        buildIfNotReceived(baseIndex, kind1032, stationBuildGapMs, now, clockMs);
        // The receivers that send 5C have this antenna. The 1008 builder
        // writes descriptorLength characters, so the count follows the text.
        // The sourcetable build copies the text under the slot's mutex.
        {
            MutexWait lock(b.mutex, textLockWaitMs);
            if (lock.held() && b.antennaDescriptor != nctAntenna) {
                b.antennaDescriptor = nctAntenna;
                b.descriptorLength[0] = uint8_t(b.antennaDescriptor.size());
            }
        }
        buildIfNotReceived(baseIndex, kind1008, stationBuildGapMs, now, clockMs);
        break;
    case codeNct5D:
        checkNct5D(frame, 0, length);
        break;
    case codeNct5E:
        if (decodeNct5E(frame, 0, length, baseIndex) <= 0) break;
        if (b.gpsSatCount > 0) {
            if (notReceivedFor(b, kind1004, obsBuildGapMs, clockMs))
                buildGpsFromNct(baseIndex, clockMs);
            buildIfNotReceived(baseIndex, kindCmr0, obsBuildGapMs, now, clockMs);
            buildIfNotReceived(baseIndex, kind1074, obsBuildGapMs, now, clockMs);
        }
        if (b.gloSatCount > 0) {
            if (notReceivedFor(b, kind1012, obsBuildGapMs, clockMs))
                buildGloFromNct(baseIndex, clockMs);
            buildIfNotReceived(baseIndex, kindCmr3, obsBuildGapMs, now, clockMs);
            buildIfNotReceived(baseIndex, kind1084, obsBuildGapMs, now, clockMs);
        }
        break;
    case codeNct61:
        decodeNct61(frame, 0, length, baseIndex);
        break;
    default:
        break;
    }
}

}   // namespace

bool notReceivedFor(const BaseStation& b, int kind, uint32_t gapMs, uint32_t clockMs)
{
    return clockDiff(clockMs, b.msg[kind].msgRxTime) > gapMs;
}

bool isHandledCode(int32_t code)
{
    if (code == 1019 || code == 1020 || code == codeCmrPlus) return true;
    return kindOfCode(code) >= 0;
}

bool buildKind(int baseIndex, int kind, time_t now, uint32_t clockMs)
{
    int length = 0;
    uint8_t* out = buildArea;
    switch (kind) {
    case kind1003: length = encodeRtcm1003(baseIndex, out); break;
    case kind1004: length = encodeRtcm1004(baseIndex, out); break;
    case kind1005: length = encodeRtcm1005(baseIndex, out); break;
    case kind1008: length = encodeRtcm1008(baseIndex, out); break;
    case kind1012: length = encodeRtcm1012(baseIndex, out); break;
    case kind1013: length = encodeRtcm1013(baseIndex, out); break;
    case kind1032: length = encodeRtcm1032(baseIndex, out); break;
    case kind1033: length = encodeRtcm1033(baseIndex, out); break;
    case kind1074:
        length = buildMsmParts(encodeRtcm1074Base, baseIndex, out, msgCapacity(kind));
        break;
    case kind1084:
        length = buildMsmParts(encodeRtcm1084Base, baseIndex, out, msgCapacity(kind));
        break;
    case kind1124:
        length = buildMsmParts(encodeRtcm1124Base, baseIndex, out, msgCapacity(kind));
        break;
    case kindCmr0: length = encodeCmr0(out, baseIndex); break;
    case kindCmr1: length = encodeCmr1(out, baseIndex); break;
    case kindCmr2: length = encodeCmr2(out, baseIndex); break;
    case kindCmr3: length = encodeCmr3(out, baseIndex); break;
    case kindNct5B: length = encodeNct5B(out, baseIndex, nctOutputMode); break;
    case kindNct5C: length = encodeNct5C(out, baseIndex, nctOutputMode); break;
    case kindNct5D: length = encodeNct5D(out, baseIndex, now, 0.003, 0.001, 0.001); break;
    case kindNct5E:
        length = casterSettings.nctGlonass ? encodeNct5EGpsGlo(out, baseIndex)
                                           : encodeNct5EGps(out, baseIndex);
        break;
    default: return false;
    }
    return publishBuilt(baseStation[baseIndex], kind, length, clockMs);
}

namespace {

void handleFrame(int baseIndex, int32_t code, uint32_t start, uint32_t length, time_t now,
                 uint32_t clockMs)
{
    BaseStation& b = baseStation[baseIndex];
    const uint8_t* rx = reinterpret_cast<const uint8_t*>(b.rxBuffer);
    const uint8_t* frame = rx + start;

    if (code == 1019 || code == 1020) {
        handleEphemeris(baseIndex, code, frame, length, now);
        return;
    }
    if (code == codeCmrPlus) {
        handleCmrPlus(baseIndex, start, length, now, clockMs);
        return;
    }
    int kind = kindOfCode(code);
    if (kind < 0) return;

    if (code == 1004) consoleLine("found 1004");
    if (code == 1012) consoleLine("found 1012");
    if (code == 1007) consoleLine("found 1007");
    if (!keepReceived(b, kind, frame, length, now, clockMs)) return;

    if (kind >= kindCmr0 && kind <= kindCmr3) {
        b.nctInput = 0;
        decodeCmrFrame(baseIndex, code, frame, length, now, clockMs);
    } else if (kind >= kindNct5B && kind <= kindNct61) {
        b.nctInput = 1;
        decodeNctFrame(baseIndex, code, frame, length, now, clockMs);
    } else {
        if (code == 1003 || code == 1004 || code == 1011 || code == 1012) b.rtcmInput = 1;
        decodeRtcmFrame(baseIndex, code, rx, start, now, clockMs);
    }
}

}   // namespace

void handleBaseFrame(int baseIndex, int32_t code, uint32_t start, uint32_t length, time_t now,
                     uint32_t clockMs)
{
    if (baseIndex < 0 || baseIndex >= maxBases) return;
    BaseStation& b = baseStation[baseIndex];
    if (length == 0 || start >= rxBufferSize || length > rxBufferSize - start) return;
    // The kept frame goes out before it is decoded: a rover that builds
    // from the record on its new stamp must wait until the decode is done.
    beginRecordWrite(b);
    handleFrame(baseIndex, code, start, length, now, clockMs);
    endRecordWrite(b);
}
