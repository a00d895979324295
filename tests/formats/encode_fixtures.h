#pragma once
// Hand-made epochs in a base record, shared by the builder tests. The epoch
// is 2024-03-13 12:00:00 GPS time (week 2305, 302400 s), GLONASS time of day
// 14:59:42 (GPS minus 18 s plus 3 h).

#include "core/base_station.h"
#include "platform/clock.h"

namespace fixtures {

constexpr uint32_t gpsTow = 302400000;
constexpr uint32_t gloTod = 53982000;

struct Signal {
    double code, phase;
    float cn0;
    uint16_t lockS;
};

inline void setGps(BaseStation& b, int prn, Signal l1, Signal l2, uint8_t ci1 = 0, uint8_t ci2 = 0)
{
    GpsSatObs& s = b.gpsSat[prn % 32];
    s.epochMs = b.gpsTowMs;
    s.valid = 1;
    s.codeRange[0] = l1.code;
    s.phaseRange[0] = l1.phase;
    s.cn0[0] = l1.cn0;
    s.lockTimeS[0] = l1.lockS;
    s.codeRange[1] = l2.code;
    s.phaseRange[1] = l2.phase;
    s.cn0[1] = l2.cn0;
    s.lockTimeS[1] = l2.lockS;
    s.codeIndicator[0] = ci1;
    s.codeIndicator[1] = ci2;
}

inline void setGlo(BaseStation& b, int slot, uint8_t channelPlus7, Signal l1, Signal l2,
                   uint8_t ci1 = 0, uint8_t ci2 = 0)
{
    GloSatObs& s = b.gloSat[slot % 24];
    s.epochMs = b.gloEpochMs;
    s.valid = 1;
    s.freqChannel = channelPlus7;
    s.codeRange[0] = l1.code;
    s.phaseRange[0] = l1.phase;
    s.cn0[0] = l1.cn0;
    s.lockTimeS[0] = l1.lockS;
    s.codeRange[1] = l2.code;
    s.phaseRange[1] = l2.phase;
    s.cn0[1] = l2.cn0;
    s.lockTimeS[1] = l2.lockS;
    s.codeIndicator[0] = ci1;
    s.codeIndicator[1] = ci2;
}

// GPS: PRN 32 and 5 on L1 and L2; PRN 12 without L2; PRN 17 without an L1
// code (not sendable); PRN 20 whose phase runs 700 m from its code (needs
// the 1500-cycle rollover); PRN 25 from an older epoch.
inline void fillGpsEpoch(BaseStation& b)
{
    b.stationId = 1234;
    b.gpsTowMs = gpsTow;
    b.gpsSatCount = 7;   // the decoder's count, deliberately not what is written
    // As after a 1004 from the base: the decoder records ids 2 and 10.
    msmSignalIdGps(b, 0) = 2;
    msmSignalIdGps(b, 1) = 10;
    const uint8_t frame[6] = {0xD3, 0, 0, 0, 0, 0};
    storeKeptMessage(b, kind1004, frame, sizeof frame, clockMs(), true);
    setGps(b, 32, {23456789.98, 23456790.7185, 47.25f, 600}, {23456792.32, 23456788.7455, 40.0f, 400});
    setGps(b, 5, {21000000.12, 21000012.4656, 45.5f, 100}, {21000003.58, 21000010.6200, 38.75f, 100}, 0, 1);
    setGps(b, 12, {22500000.50, 22499997.2900, 39.0f, 50}, {0, 0, 0, 0});
    setGps(b, 17, {0, 0, 0, 0}, {24000000.00, 24000001.0000, 30.0f, 20});
    setGps(b, 20, {20500000.26, 20500700.2600, 42.0f, 900}, {20500001.26, 20500700.7600, 36.0f, 900});
    setGps(b, 25, {22000000.00, 22000000.5000, 40.0f, 10}, {22000001.00, 22000000.7000, 35.0f, 10});
    b.gpsSat[25].epochMs = gpsTow - 1000;
}

// GLONASS: slot 1 (channel +1) on L1/L2 C/A, slot 24 (channel +2) on P code,
// slot 10 (channel -7) without L2.
inline void fillGloEpoch(BaseStation& b)
{
    b.gloEpochMs = gloTod;
    b.gloSatCount = 3;
    setGlo(b, 1, 8, {19876543.22, 19876548.7200, 44.0f, 300}, {19876547.62, 19876546.5200, 42.0f, 300});
    setGlo(b, 24, 9, {21111111.10, 21111108.6000, 41.0f, 120}, {21111115.10, 21111110.1000, 39.0f, 120}, 1, 1);
    setGlo(b, 10, 0, {22222222.20, 22222230.7000, 38.0f, 30}, {0, 0, 0, 0});
}

inline void fillStation(BaseStation& b)
{
    b.stationId = 1234;
    b.itrfYear = 14;
    // A point near Hanover (52.38 N, 9.72 E).
    b.ecefX = 3842152.8053;
    b.ecefY = 658297.5241;
    b.ecefZ = 5028542.0357;
    b.antennaDescriptor = "TRM59800.00     SCIS";
    b.antennaSerial = "5000118475";
    b.antennaSetupId = 3;
    b.receiverType = "TRIMBLE NETR9";
    b.firmwareVersion = "5.45";
    b.receiverSerial = "5429K00000";
}

}  // namespace fixtures

namespace fixtures {

constexpr uint32_t bdsTow = gpsTow - 14000;   // BeiDou time runs 14 s behind

// BeiDou satellites 1..n on B1, B2 and B3.
inline void fillBdsEpoch(BaseStation& b, int n)
{
    b.stationId = 1234;
    b.bdsTowMs = bdsTow;
    msmSignalIdBds(b, 0) = 2;
    msmSignalIdBds(b, 1) = 14;
    msmSignalIdBds(b, 2) = 8;
    for (int prn = 1; prn <= n; ++prn) {
        BdsSatObs& s = b.bdsSat[prn % 64];
        double code = 21500000.0 + prn * 100003.37;
        s.epochMs = b.bdsTowMs;
        s.codeRange[0] = code;
        s.codeRange[1] = code + 2.5;
        s.codeRange[2] = code + 1.7;
        s.phaseRange[0] = code + prn * 0.1;
        s.phaseRange[1] = code + prn * 0.1 - 0.8;
        s.phaseRange[2] = code + prn * 0.1 - 0.5;
        for (int k = 0; k < 3; ++k) {
            s.cn0[k] = float(40 + k);
            s.lockTimeS[k] = 100;
            s.signalPresent[k] = 1;
        }
    }
}

}  // namespace fixtures
