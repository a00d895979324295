#pragma once
// One satellite's entry inside a base record, per constellation. The decoders
// store raw observations here, the GSV parser the geometry, and the
// ionosphere estimator its smoothing and filter state; the encoders and the
// network computations read them.

#include <cstdint>

// One Kalman filter block of the ionosphere estimator.
struct IonoFilter {
    double P = 1.0;        // variance
    double x = 0.0;        // state
    double estimate = 0.0;
    double K = 0.0;        // gain
    double innovation = 0.0;
    double Q = 0.0;        // process noise
    double R = 0.1;        // measurement noise
    double F = 1.0;        // transition factor
    double spare = 1.0;
};

// Carrier levelling of one satellite's ionosphere over its arc: the
// geometry-free phase, with slips bridged, is lifted to the level of the
// geometry-free code by the mean of their difference over the arc so far.
struct IonoLevelling {
    double sum = 0;           // sum over the arc of (code GF - bridged phase GF), m
    double sumSquares = 0;    // and of its squares, m^2: the spread of the code noise
    uint32_t count = 0;       // samples in the sum; 0 while there is no arc
    uint32_t lastEpochMs = 0; // epoch of the last sample
    double bridge = 0;        // added to the raw phase GF to undo the arc's slips, m
    double prevPhaseGf = 0;   // bridged phase GF of the last sample, m
    double rate = 0;          // its change per millisecond
    double tec = 0;           // levelled slant content of the last sample, el/m^2
    uint8_t pair = 0;         // second signal of the pair the arc is built on
    uint8_t rejected = 0;     // code samples rejected in a row as outliers
};

constexpr int gpsSatEntries = 40;
constexpr int bdsSatEntries = 64;
constexpr int gloSatEntries = 24;
constexpr int galSatEntries = 52;

// Entry index of a satellite number, or -1 when the array has no room for it
// (the highest number of each system folds onto entry 0).
int gpsSatIndex(int prn);
int bdsSatIndex(int prn);
int gloSatIndex(int slot);
int galSatIndex(int prn);
// The satellite number that an entry holds (the inverse fold).
int gpsSatNumber(int index);
int bdsSatNumber(int index);
int gloSatNumber(int index);
int galSatNumber(int index);

struct GpsSatObs {
    uint8_t valid = 0;
    uint8_t ambiguityMs = 0;
    double reservedValues[3] = {};
    int16_t elevation = 0;
    uint16_t azimuth = 0;
    uint8_t nctByte = 0;
    double magFieldNt = 0;
    uint16_t nctRefWord = 0;
    uint32_t epochMs = 0;
    int16_t deltaIonoScaled = 0;
    float codeDelayF[3] = {};
    float ionoRate[3] = {};
    float ionoRateFiltered[3] = {};
    uint8_t codeIndicator[2] = {};
    uint16_t lockTimeS[3] = {};
    uint8_t nctNibble[2] = {};
    uint8_t slipFlag = 0;
    uint8_t slipCount = 0;
    uint32_t lastSlipTime = 0;
    uint32_t lastUpdateTime = 0;
    uint32_t lastIonoTime = 0;
    uint8_t lockIndicator[2] = {};
    double cmrL1Code = 0, cmrL2Code = 0, cmrL1Phase = 0, cmrL2Phase = 0;
    uint32_t cmrEpochMs = 0;
    double cmrConvL1 = 0.000743709;
    double cmrConvL2 = 0.000953371;
    uint8_t cmrSlipCount[2] = {};
    double l1CodeModulo = 0;
    double l2MinusL1Code = 0;
    double l1PhaseMinusCode = 0;
    double l2PhaseMinusCode = 0;
    float cn0[3] = {};
    double phaseRange[3] = {};
    double codeRange[3] = {};
    double smoothedCode[3] = {};
    double smoothState[3] = {};
    double prevPhase[3] = {};
    float prevCodeDelay[3] = {};
    double deltaIono = 0;
    float codeDelayEma[3] = {};
    double tecCode = 0, vtecCode = 0, tecPhase = 0, vtecPhase = 0;
    double phaseAdvance[3] = {};   // stored as pairs with codeDelay, per signal
    double codeDelay[3] = {};
    double firstOrderIono[4] = {};
    double tropoDelay = 0;
    uint8_t smoothingFlag = 0;
    double filteredDelay[6] = {};
    IonoFilter ionoFilter[6];
    IonoLevelling levelling;
};

struct BdsSatObs {
    uint8_t valid = 0;
    double reservedValues[3] = {};
    int16_t elevation = 0;
    uint16_t azimuth = 0;
    double magFieldNt = 0;
    uint32_t epochMs = 0;
    int16_t deltaIonoScaled = 0;
    float codeDelayF[3] = {};
    float ionoRate[3] = {};
    float ionoRateFiltered[3] = {};
    uint8_t signalPresent[3] = {};
    uint16_t lockTimeS[3] = {};
    uint8_t slipFlag[3] = {};
    uint8_t slipCount = 0;
    uint32_t lastSlipTime = 0;
    uint32_t lastUpdateTime = 0;
    uint32_t lastIonoTime = 0;
    float cn0[3] = {};
    double phaseRange[3] = {};
    double codeRange[3] = {};
    double smoothedCode[3] = {};
    double smoothState[3] = {};
    double prevPhase[3] = {};
    float prevCodeDelay[3] = {};
    double deltaIono = 0;
    float codeDelayEma[3] = {};
    double tecCode = 0, vtecCode = 0, tecPhase = 0, vtecPhase = 0;
    double phaseAdvance[3] = {};
    double codeDelay[3] = {};
    double tropoDelay = 0;
    uint8_t smoothingFlag = 0;
    double filteredDelay[6] = {};
    IonoFilter ionoFilter[6];
    IonoLevelling levelling;
};

struct GloSatObs {
    uint8_t valid = 0;
    uint8_t lockIndicator[2] = {};
    uint8_t ambiguityMs = 0;
    uint8_t freqChannel = 0;   // channel number + 7
    double reservedValues[3] = {};
    int16_t elevation = 0;
    uint16_t azimuth = 0;
    uint8_t nctByte = 0;
    double magFieldNt = 0;
    uint16_t ephemerisTb = 0;
    uint32_t epochMs = 0;
    int16_t deltaIonoScaled = 0;
    float codeDelayF[2] = {};
    float ionoRate[2] = {};
    float ionoRateFiltered[2] = {};
    uint8_t codeIndicator[2] = {};
    uint16_t lockTimeS[2] = {};
    uint8_t slipFlag = 0;
    uint8_t slipCount = 0;
    uint32_t lastSlipTime = 0;
    uint32_t lastUpdateTime = 0;
    uint32_t lastIonoTime = 0;
    double l1CodeModulo = 0;
    double l2MinusL1Code = 0;
    double l1PhaseMinusCode = 0;
    double l2PhaseMinusCode = 0;
    float cn0[2] = {};
    double phaseRange[2] = {};
    double codeRange[2] = {};
    double smoothedCode[2] = {};
    double smoothState[2] = {};
    double prevPhase[2] = {};
    float prevCodeDelay[2] = {};
    double deltaIono = 0;
    float codeDelayEma[2] = {};
    double tecCode = 0, vtecCode = 0, tecPhase = 0, vtecPhase = 0;
    double phaseAdvance[2] = {};
    double codeDelay[2] = {};
    double tropoDelay = 0;
    uint8_t smoothingFlag = 0;
    double firstOrderIono[4] = {};
    double filteredDelay[4] = {};
    IonoFilter ionoFilter[4];
    IonoLevelling levelling;
};

struct GalSatObs {
    double carrierHz[3] = {1575.42e6, 1278.75e6, 1176.45e6};   // E1, E6, E5 (a by default)
    double reservedValues[3] = {};
    int16_t elevation = 0;
    uint16_t azimuth = 0;
    double magFieldNt = 0;
    uint32_t epochMs = 0;
    int16_t deltaIonoScaled = 0;
    float codeDelayF[3] = {};
    float ionoRate[3] = {};
    float ionoRateFiltered[3] = {};
    uint8_t signalPresent[3] = {};
    uint16_t lockTimeS[3] = {};
    uint8_t slipFlag = 0;
    uint8_t slipCount = 0;
    uint32_t lastSlipTime = 0;
    uint32_t lastUpdateTime = 0;
    uint32_t lastIonoTime = 0;
    float cn0[3] = {};
    double phaseRange[3] = {};
    double codeRange[3] = {};
    double smoothedCode[3] = {};
    double smoothState[3] = {};
    double prevPhase[3] = {};
    float prevCodeDelay[3] = {};
    double deltaIono = 0;
    float codeDelayEma[3] = {};
    double tecCode = 0, vtecCode = 0, tecPhase = 0, vtecPhase = 0;
    double phaseAdvance[3] = {};
    double codeDelay[3] = {};
    double tropoDelay = 0;
    uint8_t smoothingFlag = 0;
    double filteredDelay[6] = {};
    IonoFilter ionoFilter[6];
    IonoLevelling levelling;
};

// Slip rule applied by every observation decoder before the estimator runs:
// a lock time that went down is a slip; slips more than 60 s apart are
// counted 1..7 and round again. `nowS` is the wall clock in seconds.
template <typename Sat, int N>
void applySlipRule(Sat& sat, const uint16_t (&newLock)[N], uint32_t nowS);
void applySlipRuleBds(BdsSatObs& sat, const uint16_t (&newLock)[3], uint32_t nowS);

// Counts a slip into slipCount/lastSlipTime (shared by the rules above).
void countSlip(uint8_t& slipCount, uint32_t& lastSlipTime, uint32_t nowS);

template <typename Sat, int N>
void applySlipRule(Sat& sat, const uint16_t (&newLock)[N], uint32_t nowS)
{
    bool slip = false;
    for (int i = 0; i < N; ++i)
        if (newLock[i] < sat.lockTimeS[i]) slip = true;
    if (slip) {
        sat.slipFlag = 1;
        countSlip(sat.slipCount, sat.lastSlipTime, nowS);
    } else {
        sat.slipFlag = 0;
    }
    for (int i = 0; i < N; ++i) sat.lockTimeS[i] = newLock[i];
}
