#include "core/ionosphere.h"

#include <cmath>
#include <cstdint>

#include "core/gnss_time.h"
#include "core/records.h"

namespace {

constexpr double pi = 3.1415926535898;
constexpr double earthRadius = 6378137.0;
constexpr double shellRadius = 6728137.0;   // 350 km shell
constexpr double defaultFieldT = 4.086e-6;  // used when the base has no field value
constexpr double outlierLimitM = 150.0;

constexpr double gpsFreq[3] = {1575.42e6, 1227.6e6, 1176.45e6};
constexpr double bdsFreq[3] = {1561.098e6, 1207.14e6, 1268.52e6};

double finiteOr0(double x) { return std::isfinite(x) ? x : 0.0; }

// Carrier levelling. A satellite unseen (or without both phases) for longer
// than this is a new arc: the phase no longer connects to the old one.
constexpr int64_t arcLossMs = 60000;
// A bridged phase GF that misses its prediction by more than this (plus the
// allowance per second of gap) holds a slip the lock times did not show.
constexpr double gfJumpM = 0.1, gfJumpPerSecondM = 0.005;
// A code GF this far from the arc's level is a code outlier, not ionosphere;
// this many of them in a row mean the level itself is wrong.
constexpr double codeOutlierM = 20.0;
constexpr uint8_t maxRejected = 10;

// How far epoch `now` lies after `then` (ms), across a rollover of the day
// (GLONASS) or of the week (GPS, BeiDou, Galileo).
int64_t epochGapMs(uint32_t now, uint32_t then)
{
    const int64_t d = int64_t(now) - int64_t(then);
    int64_t best = d;
    for (int64_t period : {int64_t(86400000), int64_t(604800000)})
        if (std::llabs(d + period) < std::llabs(best)) best = d + period;
    return best;
}

// One epoch of the carrier levelling on signals 0 and `tp`. Gives the
// levelled slant content (el/m^2, signed: positive when the ionosphere
// delays the code) of this epoch, or the arc's last one when this epoch has
// no usable pair; false while there is no arc at all.
bool levelIonosphere(IonoLevelling& v, double c0, double ctp, double p0, double ptp, double f0,
                     double ftp, int tp, uint32_t epochMs, bool slip, double& tec)
{
    // Metres of geometry-free combination per el/m^2.
    const double perTec = ionoFirstOrderCoeff * (1 / (ftp * ftp) - 1 / (f0 * f0));
    if (!std::isfinite(perTec) || perTec == 0) return false;
    const int64_t gap = epochGapMs(epochMs, v.lastEpochMs);
    if (v.count > 0 && (gap > arcLossMs || gap < -arcLossMs || v.pair != tp)) v = IonoLevelling{};
    if (c0 == 0 || ctp == 0 || p0 == 0 || ptp == 0) {
        // A pair missing for a moment keeps the arc's last content (for
        // longer, the arc was ended above).
        tec = v.tec;
        return v.count > 0;
    }

    double phaseGf = p0 - ptp + v.bridge;
    const double codeGf = ctp - c0;
    if (v.count == 0) {
        v.bridge = 0;
        v.rate = 0;
        phaseGf = p0 - ptp;
    } else {
        const double predicted = v.prevPhaseGf + v.rate * double(gap);
        const double allowed = gfJumpM + gfJumpPerSecondM * std::fabs(double(gap)) / 1000.0;
        if (slip || std::fabs(phaseGf - predicted) > allowed) {
            // Bridge the slip: the phase goes on where it was heading.
            v.bridge += predicted - phaseGf;
            phaseGf = predicted;
        } else if (gap > 0) {
            v.rate = (phaseGf - v.prevPhaseGf) / double(gap);
        }
    }
    v.prevPhaseGf = phaseGf;
    v.lastEpochMs = epochMs;
    v.pair = uint8_t(tp);

    const double offset = codeGf - phaseGf;
    if (v.count > 0 && std::fabs(offset - v.sum / v.count) > codeOutlierM) {
        if (++v.rejected >= maxRejected) {
            // The arc's level came from bad code: start it again here.
            v = IonoLevelling{};
            v.prevPhaseGf = phaseGf = p0 - ptp;
            v.lastEpochMs = epochMs;
            v.pair = uint8_t(tp);
            v.sum = codeGf - phaseGf;
            v.sumSquares = v.sum * v.sum;
            v.count = 1;
        }
    } else {
        v.rejected = 0;
        v.sum += offset;
        v.sumSquares += offset * offset;
        ++v.count;
    }
    const double levelled = (phaseGf + v.sum / v.count) / perTec;
    if (std::isfinite(levelled)) v.tec = levelled;
    tec = v.tec;
    return true;
}

}   // namespace

double levelStandardError(const IonoLevelling& v)
{
    if (v.count < 2) return -1;
    const double mean = v.sum / v.count;
    const double variance = (v.sumSquares - v.count * mean * mean) / (v.count - 1);
    return variance > 0 ? std::sqrt(variance / v.count) : 0.0;
}

namespace {

struct Plan {
    bool slip;
    int deltaPair;  // second signal of the deltaIono pair (first is signal 0), -1 none
    int tecPair;    // second signal of the TEC pair
    double* firstOrder;  // four check values, null when the entry has none
};

// The one estimator behind all four systems.
template <typename Sat, int N>
void runEstimator(Sat& s, const double (&f)[N], const Plan& plan)
{
    // A range we cannot use counts as absent, so nothing non-finite spreads
    // from an entry into the estimate.
    double code[N], phase[N];
    for (int i = 0; i < N; ++i) {
        code[i] = finiteOr0(s.codeRange[i]);
        phase[i] = finiteOr0(s.phaseRange[i]);
    }

    // The levelling follows every epoch, the slip's too: its phase jump is
    // bridged there.
    const int tp = plan.tecPair;
    double levelledTec = 0;
    const bool levelled = levelIonosphere(s.levelling, code[0], code[tp], phase[0], phase[tp], f[0],
                                          f[tp], tp, s.epochMs, plan.slip, levelledTec);

    if (plan.slip) {
        // Start the smoothing again from the code. The phase and time of this
        // run become the reference, or the next run would read the slip's
        // phase jump as ionosphere change and carry it into the smoothing.
        for (int i = 0; i < N; ++i) {
            s.smoothedCode[i] = 0;
            s.smoothState[i] = code[i];
            s.prevPhase[i] = phase[i];
        }
        s.lastIonoTime = s.lastUpdateTime;
        return;
    }

    const double elev = pi * s.elevation / 180.0;
    const double mag = finiteOr0(s.magFieldNt);
    const double b = mag == 0.0 ? defaultFieldT : mag * 1e-9;
    const int64_t dt = int64_t(s.lastUpdateTime) - int64_t(s.lastIonoTime);

    // A phase of 0 means the signal was absent now or at the previous run;
    // a difference against it would be a whole range, not a delay change.
    const int dp = plan.deltaPair;
    if (dt > 0 && dp > 0 && phase[0] != 0 && phase[dp] != 0 && s.prevPhase[0] != 0 &&
        s.prevPhase[dp] != 0)
        s.deltaIono = deltaIonoFromPhase(phase[0], s.prevPhase[0], phase[dp], s.prevPhase[dp],
                                         f[0], f[dp], double(dt));
    s.deltaIonoScaled = int16_t(truncClamp(s.deltaIono * -0.2 * 100, INT16_MIN, INT16_MAX));

    // Carrier smoothing of the pseudoranges.
    for (int i = 0; i < N; ++i) {
        if (s.smoothingFlag) {
            // The base already sends divergence-free smoothed code.
            s.smoothedCode[i] = code[i];
        } else if (code[i] == 0 || phase[i] == 0) {
            s.smoothedCode[i] = 0;
            s.smoothState[i] = code[i];
        } else if (s.prevPhase[i] == 0 || s.smoothState[i] == 0) {
            // No running state to carry on from (first run, or the signal
            // was missing last time): start again from the code.
            s.smoothState[i] = code[i];
            s.smoothedCode[i] = code[i];
        } else {
            s.smoothState[i] =
                0.1 * code[i] + 0.9 * (s.smoothState[i] + phase[i] - s.prevPhase[i] + s.deltaIono);
            s.smoothedCode[i] = s.smoothState[i];
        }
    }

    // Electron content; without both signals of the pair the last value stays.
    if (s.smoothedCode[0] != 0 && s.smoothedCode[tp] != 0)
        s.tecCode = tecFromPair(f[0], f[tp], s.smoothedCode[0], s.smoothedCode[tp]);
    if (phase[0] != 0 && phase[tp] != 0) s.tecPhase = tecFromPair(f[0], f[tp], phase[0], phase[tp]);

    // The content of the code pair and of the raw phase pair, kept for
    // what reads them; the phase pair still holds the arcs' ambiguities.
    double codePairDelay[N];
    for (int k = 0; k < N; ++k)
        ionoHigherOrderDelay(f[k], s.tecCode, &s.vtecCode, elev, b, nullptr, &codePairDelay[k]);
    ionoHigherOrderDelay(f[0], s.tecPhase, &s.vtecPhase, elev, b, nullptr, nullptr);

    if (plan.firstOrder) {
        double* fo = plan.firstOrder;
        const double a = f[0] * f[0], g = f[1] * f[1], d = a - g;
        if (d != 0 && s.smoothedCode[0] != 0 && s.smoothedCode[1] != 0) {
            const double ifCode = (a * s.smoothedCode[0] - g * s.smoothedCode[1]) / d;
            fo[0] = s.smoothedCode[0] - ifCode;
            fo[1] = s.smoothedCode[1] - ifCode;
        }
        if (d != 0 && phase[0] != 0 && phase[1] != 0) {
            const double ifPhase = (a * phase[0] - g * phase[1]) / d;
            fo[2] = phase[0] - ifPhase;
            fo[3] = phase[1] - ifPhase;
        }
    }

    // The delays come from the carrier-levelled content: centimetre-precise
    // and free of the ambiguities. Before a satellite's first pair of phases
    // only the smoothed code pair can tell, with its sign from the pair's
    // order. Code is delayed (positive), phase advanced (negative).
    double tec = levelledTec;
    if (!levelled) {
        // Nothing of this epoch's pair: no estimate, rather than a content
        // left over from another arc.
        tec = 0;
        if (s.smoothedCode[0] != 0 && s.smoothedCode[tp] != 0) {
            tec = s.tecCode;
            if ((s.smoothedCode[0] > s.smoothedCode[tp]) == (f[0] > f[tp])) tec = -tec;
        }
    }
    for (int k = 0; k < N; ++k) {
        double advance = 0, delay = 0;
        ionoHigherOrderDelay(f[k], std::fabs(tec), nullptr, elev, b, &advance, &delay);
        s.codeDelay[k] = tec < 0 ? -delay : delay;
        s.phaseAdvance[k] = tec < 0 ? advance : -advance;
    }

    // One scalar filter per delay: code delays first, then phase advances.
    for (int j = 0; j < 2 * N; ++j) {
        const double z = j < N ? s.codeDelay[j] : s.phaseAdvance[j - N];
        IonoFilter& kf = s.ionoFilter[j];
        kf.R = 0.001;
        kf.K = kf.P + kf.R > 0 ? kf.P / (kf.P + kf.R) : 0.0;
        kf.innovation = z - kf.x;
        kf.estimate = z + kf.K * kf.innovation;
        kf.x = kf.F * kf.estimate;
        kf.P = (1 - kf.K) * kf.P * kf.F + kf.Q;
        s.filteredDelay[j] = kf.x;
    }

    for (int i = 0; i < N; ++i) {
        // A smoothed code pair far beyond any ionosphere restarts that
        // signal's smoothing; levelled delays that large are no ionosphere
        // either and go.
        if (std::fabs(codePairDelay[i]) > outlierLimitM) {
            s.smoothedCode[i] = 0;
            s.smoothState[i] = code[i];
        }
        if (std::fabs(s.codeDelay[i]) > outlierLimitM || std::fabs(s.phaseAdvance[i]) > outlierLimitM) {
            s.smoothedCode[i] = 0;
            s.smoothState[i] = code[i];
            s.phaseAdvance[i] = 0;
            s.codeDelay[i] = 0;
        }
        s.codeDelayF[i] = float(s.codeDelay[i]);
        s.ionoRate[i] = dt > 0 ? float((double(s.codeDelayF[i]) - s.prevCodeDelay[i]) / double(dt)) : 0.0f;
        s.codeDelayEma[i] = float(0.1 * s.codeDelayF[i] + 0.9 * s.codeDelayEma[i]);
        s.ionoRateFiltered[i] =
            s.codeDelayEma[i] < 0 ? float(0.9 * s.ionoRateFiltered[i] - 0.1 * s.codeDelayEma[i]) : 0.0f;
    }

    s.lastIonoTime = s.lastUpdateTime;
    for (int i = 0; i < N; ++i) {
        s.prevPhase[i] = phase[i];
        s.prevCodeDelay[i] = s.codeDelayF[i];
    }
}

}  // namespace

double deltaIonoFromPhase(double phi1, double prevPhi1, double phi2, double prevPhi2, double f1,
                          double f2, double dt)
{
    if (!(dt > 0) || !(f1 > 0) || !(f2 > 0)) return 0.0;
    const double ratio = f1 / f2;
    const double den = 1 - ratio * ratio;
    if (den == 0) return 0.0;
    const double v = ((phi2 - prevPhi2) / dt - (phi1 - prevPhi1) / dt) / den;
    return std::isfinite(v) ? v : 0.0;
}

double tecFromPair(double f1, double f2, double x1, double x2)
{
    if (!(f1 > 0) || !(f2 > 0)) return 0.0;
    const double den = std::fabs(ionoFirstOrderCoeff / (f1 * f1) - ionoFirstOrderCoeff / (f2 * f2));
    if (den == 0) return 0.0;
    const double v = std::fabs(x1 - x2) / den;
    return std::isfinite(v) ? v : 0.0;
}

void ionoHigherOrderDelay(double f, double tec, double* vertical, double elevationRad, double b,
                          double* phaseAdvance, double* codeDelay)
{
    double vert = 0, phase = 0, code = 0;
    if (f > 0 && std::isfinite(f) && std::isfinite(tec) && std::isfinite(elevationRad) &&
        std::isfinite(b)) {
        const double c = std::cos(elevationRad);
        const double f2 = f * f, f3 = f2 * f, f4 = f2 * f2;
        const double s2 = tec * 7089627892719.199 * b * c / (f3 * 6.2831853071796);
        const double z = std::asin(c * earthRadius / shellRadius);
        vert = tec * std::cos(z);
        const double s3a = (vert / 100000) * 26.60394 * tec / f4;
        const double s3b = b * b * tec * (c * c + 1) / f4;
        const double s1 = ionoFirstOrderCoeff * tec / f2;
        phase = s1 + s2 + s3a + s3b;
        code = s1 + 2 * s2 + 3 * s3a + 3 * s3b;
        if (!std::isfinite(vert) || !std::isfinite(phase) || !std::isfinite(code))
            vert = phase = code = 0;
    }
    if (vertical) *vertical = vert;
    if (phaseAdvance) *phaseAdvance = phase;
    if (codeDelay) *codeDelay = code;
}

void estimateIonoGps(GpsSatObs& sat)
{
    Plan plan{sat.slipFlag != 0, 1, 1, sat.firstOrderIono};
    runEstimator(sat, gpsFreq, plan);
}

void estimateIonoBds(BdsSatObs& sat)
{
    const double b2 = finiteOr0(sat.codeRange[1]), b3 = finiteOr0(sat.codeRange[2]);
    Plan plan{sat.slipFlag[0] != 0 || sat.slipFlag[1] != 0, b3 != 0 ? 2 : (b2 != 0 ? 1 : -1),
              b3 != 0 ? 2 : 1, nullptr};
    runEstimator(sat, bdsFreq, plan);
}

void estimateIonoGlo(GloSatObs& sat, int slot)
{
    // The channel indexes the frequency tables; a value the tables do not
    // cover falls back on the slot's known channel.
    int channel = sat.freqChannel;
    if (channel > 20) {
        const int idx = gloSatIndex(slot);
        if (idx < 0) return;
        channel = glonassChannelBySlot[idx];
    }
    const double f[2] = {double(glonassL1Freq[channel]), double(glonassL2Freq[channel])};
    Plan plan{sat.slipFlag != 0, 1, 1, sat.firstOrderIono};
    runEstimator(sat, f, plan);
}

void estimateIonoGal(GalSatObs& sat)
{
    const double third = finiteOr0(sat.codeRange[2]);
    Plan plan{sat.slipFlag != 0, 2, third != 0 ? 2 : 1, nullptr};
    runEstimator(sat, sat.carrierHz, plan);
}
