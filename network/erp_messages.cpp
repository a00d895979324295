#include "network/erp_messages.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "core/base_station.h"
#include "core/caster_settings.h"
#include "core/erp_record.h"
#include "core/records.h"
#include "formats/binr/binr_encode.h"
#include "formats/cmr/cmr_encode.h"
#include "formats/nct/nct_encode.h"
#include "formats/rtcm3/rtcm3_encode.h"
#include "formats/rtcm3/rtcm3_msm_encode.h"

namespace {

constexpr double gpsAmbiguityMetres = 299792.458;   // one light-millisecond
constexpr double gloAmbiguityMetres = 599584.916;   // two light-milliseconds

// Kinds whose reception at the master tells the encoders which signals and
// which later messages of an epoch the stream has; the systems the ERP does
// not carry are left out.
constexpr int masterKinds[] = {kind1004, kind1012, kind1011, kind1074, kind1084, kindNct5E};

void setLegacyParts(GpsSatObs& s, double unit)
{
    const double code1 = s.codeRange[0];
    const double ambiguity = std::floor(code1 / unit);
    s.ambiguityMs = uint8_t(ambiguity >= 0 && ambiguity <= 255 ? ambiguity : 0);
    s.l1CodeModulo = code1 - ambiguity * unit;
    s.l2MinusL1Code = s.codeRange[1] != 0 ? s.codeRange[1] - code1 : 0;
    s.l1PhaseMinusCode = s.phaseRange[0] != 0 ? s.phaseRange[0] - code1 : 0;
    s.l2PhaseMinusCode = s.phaseRange[1] != 0 ? s.phaseRange[1] - code1 : 0;
}

void setLegacyParts(GloSatObs& s, double unit)
{
    const double code1 = s.codeRange[0];
    const double ambiguity = std::floor(code1 / unit);
    s.ambiguityMs = uint8_t(ambiguity >= 0 && ambiguity <= 127 ? ambiguity : 0);
    s.l1CodeModulo = code1 - ambiguity * unit;
    s.l2MinusL1Code = s.codeRange[1] != 0 ? s.codeRange[1] - code1 : 0;
    s.l1PhaseMinusCode = s.phaseRange[0] != 0 ? s.phaseRange[0] - code1 : 0;
    s.l2PhaseMinusCode = s.phaseRange[1] != 0 ? s.phaseRange[1] - code1 : 0;
}

// One synthesised satellite over the master's entry of the same satellite:
// the master's signal and indicator fields stay, ranges, lock, slips and
// the ionosphere at the node replace its own.
template <typename Sat, int F>
void fillSatellite(Sat& out, const Sat& master, const ErpSatSlot& slot, uint32_t epochMs,
                   double ambiguityUnit)
{
    out = master;
    const double code[3] = {slot.codeL1, slot.codeL2, slot.codeL3};
    const double phase[3] = {slot.phaseL1, slot.phaseL2, slot.phaseL3};
    for (int f = 0; f < F; ++f) {
        out.codeRange[f] = code[f];
        out.phaseRange[f] = phase[f];
        out.lockTimeS[f] = slot.lockTimeS[f];
        out.codeDelay[f] = slot.codeResidual[f];
        out.phaseAdvance[f] = slot.phaseResidual[f];
        out.codeDelayF[f] = slot.codeResidualF[f];
        out.ionoRate[f] = slot.codeResidualRate[f];
    }
    out.slipCount = slot.slipCount;
    out.epochMs = epochMs;
    setLegacyParts(out, ambiguityUnit);
}

void publish(ErpRecord& r, int kind, const uint8_t* frame, int length, uint32_t nowMs)
{
    if (length > 0) storeErpMessage(r, kind, frame, uint32_t(length), nowMs);
}

// An MSM epoch that needs several messages goes out as their sequence, as
// far as it fits one kept frame.
template <typename Encode>
int buildMsm(Encode encode, uint8_t* out)
{
    int parts = 1, total = 0;
    uint8_t part[maxFrameBytes];
    for (int p = 0; p < parts; ++p) {
        int n = encode(syntheticBaseIndex, part, p, &parts);
        if (n <= 0 || total + n > maxFrameBytes) break;
        std::memcpy(out + total, part, size_t(n));
        total += n;
    }
    return total;
}

}   // namespace

void fillSyntheticBase(int erpIndex)
{
    if (erpIndex < 0 || erpIndex >= maxErpRecords) return;
    ErpRecord& r = erp[erpIndex];
    BaseStation& sb = syntheticBase;
    const int m = r.baseIndex[0];
    if (m < 0 || m >= maxBases) return;
    BaseStation& mb = baseStation[m];

    sb.stationId = mb.stationId;
    sb.itrfYear = mb.itrfYear;
    sb.antennaDescriptor = mb.antennaDescriptor;
    sb.antennaSerial = mb.antennaSerial;
    sb.antennaSetupId = mb.antennaSetupId;
    sb.receiverType = mb.receiverType;
    sb.firmwareVersion = mb.firmwareVersion;
    sb.receiverSerial = mb.receiverSerial;
    std::memcpy(sb.msmSignalId, mb.msmSignalId, sizeof sb.msmSignalId);
    sb.gpsSmoothing = mb.gpsSmoothing;
    sb.gloSmoothing = mb.gloSmoothing;
    sb.gpsSmoothingInterval = mb.gpsSmoothingInterval;
    sb.gloSmoothingInterval = mb.gloSmoothingInterval;
    sb.connectTime = mb.connectTime;
    sb.mjd = mb.mjd;
    sb.secondsOfDay = mb.secondsOfDay;
    sb.leapSeconds = mb.leapSeconds;
    for (int k = 0; k < msgKindCount; ++k) {
        sb.msg[k].msgRxTime = 0;
        sb.msg[k].msgNative = 0;
    }
    for (int k : masterKinds) {
        sb.msg[k].msgRxTime = mb.msg[k].msgRxTime;
        sb.msg[k].msgNative = mb.msg[k].msgNative;
    }

    sb.ecefX = r.ecefX;
    sb.ecefY = r.ecefY;
    sb.ecefZ = r.ecefZ;
    sb.latitude = r.latitude;
    sb.longitude = r.longitude;
    sb.ellipsoidHeight = r.height;
    sb.antennaHeight = 0;

    sb.gpsTowMs = r.gpsEpochMs;
    sb.gloEpochMs = r.gloEpochMs;
    sb.gpsSatCount = sb.gloSatCount = 0;
    for (int s = 0; s < 32; ++s) {
        const ErpSatSlot& slot = r.gpsSlot[s];
        if (slot.present && slot.epochMs == r.gpsEpochMs) {
            fillSatellite<GpsSatObs, 3>(sb.gpsSat[s], mb.gpsSat[s], slot, r.gpsEpochMs,
                                        gpsAmbiguityMetres);
            ++sb.gpsSatCount;
        } else {
            sb.gpsSat[s].epochMs = 0;
        }
    }
    for (int s = 32; s < gpsSatEntries; ++s) sb.gpsSat[s].epochMs = 0;
    for (int s = 0; s < gloSatEntries; ++s) {
        const ErpSatSlot& slot = r.glonassSlot[s];
        if (slot.present && slot.epochMs == r.gloEpochMs) {
            fillSatellite<GloSatObs, 2>(sb.gloSat[s], mb.gloSat[s], slot, r.gloEpochMs,
                                        gloAmbiguityMetres);
            ++sb.gloSatCount;
        } else {
            sb.gloSat[s].epochMs = 0;
        }
    }
}

void buildErpGpsMessages(int erpIndex, uint32_t nowMs)
{
    if (erpIndex < 0 || erpIndex >= maxErpRecords) return;
    ErpRecord& r = erp[erpIndex];
    fillSyntheticBase(erpIndex);
    uint8_t frame[maxFrameBytes];
    const int b = syntheticBaseIndex;
    publish(r, erpKind1004, frame, encodeRtcm1004(b, frame), nowMs);
    publish(r, erpKind1074, frame, buildMsm(encodeRtcm1074Base, frame), nowMs);
    publish(r, erpKindCmr0, frame, encodeCmr0(frame, b), nowMs);
    publish(r, erpKindNct5B, frame, encodeNct5B(frame, b, nctOutputMode), nowMs);
    // With GLONASS in NCT the 5E waits for the epoch's GLONASS, unless the
    // master has none.
    const int m = r.baseIndex[0];
    const bool masterGlonass = m >= 0 && m < maxBases && baseStation[m].gloSatCount > 0;
    if (!casterSettings.nctGlonass)
        publish(r, erpKindNct5E, frame, encodeNct5EGps(frame, b), nowMs);
    else if (!masterGlonass)
        publish(r, erpKindNct5E, frame, encodeNct5EGpsGlo(frame, b), nowMs);
    publish(r, erpKindBinr69Gps, frame, encodeBinr69(frame, b, 1), nowMs);
}

void buildErpGloMessages(int erpIndex, uint32_t nowMs)
{
    if (erpIndex < 0 || erpIndex >= maxErpRecords) return;
    ErpRecord& r = erp[erpIndex];
    fillSyntheticBase(erpIndex);
    uint8_t frame[maxFrameBytes];
    const int b = syntheticBaseIndex;
    publish(r, erpKind1012, frame, encodeRtcm1012(b, frame), nowMs);
    publish(r, erpKind1084, frame, buildMsm(encodeRtcm1084Base, frame), nowMs);
    publish(r, erpKindCmr3, frame, encodeCmr3(frame, b), nowMs);
    if (casterSettings.nctGlonass) publish(r, erpKindNct5E, frame, encodeNct5EGpsGlo(frame, b), nowMs);
    publish(r, erpKindBinr69Glo, frame, encodeBinr69(frame, b, 2), nowMs);
}

void buildErpStationMessages(int erpIndex, uint32_t nowMs)
{
    if (erpIndex < 0 || erpIndex >= maxErpRecords) return;
    ErpRecord& r = erp[erpIndex];
    fillSyntheticBase(erpIndex);
    uint8_t frame[maxFrameBytes];
    const int b = syntheticBaseIndex;
    publish(r, erpKind1005, frame, encodeRtcm1005(b, frame), nowMs);
    publish(r, erpKind1008, frame, encodeRtcm1008(b, frame), nowMs);
    publish(r, erpKind1033, frame, encodeRtcm1033(b, frame), nowMs);
    publish(r, erpKindCmr1, frame, encodeCmr1(frame, b), nowMs);
    publish(r, erpKindNct5C, frame, encodeNct5C(frame, b, nctOutputMode), nowMs);
    publish(r, erpKindBinr6A, frame, encodeBinr6A(frame, b), nowMs);
}
