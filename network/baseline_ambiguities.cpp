#include "network/baseline_ambiguities.h"

#include <cmath>

#include "core/gnss_time.h"

namespace {

constexpr double speedOfLight = 299792458.0;
// A satellite unseen for longer than this has lost its arcs.
constexpr uint32_t maxGapMs = 60000;
// A fixed satellite missing from the pair's epochs this long no longer
// gives its ambiguity.
constexpr uint32_t maxFollowGapMs = 30000;

// The wide lane is fixed once its mean is this well known and this near
// whole cycles (of what the fixed satellites share); a fixed one that drifts
// this far from its integer is let go.
constexpr uint32_t minWideSamples = 60;
constexpr double maxWideError = 0.06, maxWideFraction = 0.2, wideDrift = 0.35;
// The first satellite's own cycles come from the code: they only need to be
// near enough that the channels' different wavelengths do not turn their
// error into a difference between satellites.
constexpr uint32_t minCodeSamples = 30;
// Below this elevation the troposphere difference between the stations is
// too uncertain for the narrow lane (10.7 cm).
constexpr double minNarrowElevationDeg = 10.0;
constexpr uint32_t minNarrowSamples = 30;
constexpr double maxNarrowError = 0.03, maxNarrowFraction = 0.15;
// A fixed satellite this far from its integer this many epochs in a row no
// longer agrees with the others.
constexpr double narrowMisfit = 0.25;
constexpr uint8_t maxMisfits = 10;

double meanOf(double sum, uint32_t n) { return n > 0 ? sum / n : 0.0; }

double standardError(double sum, double squares, uint32_t n)
{
    if (n < 2) return INFINITY;
    const double mean = sum / n;
    const double variance = (squares - n * mean * mean) / (n - 1);
    return variance > 0 ? std::sqrt(variance / n) : 0.0;
}

// Whether anything at either station says the carrier may have slipped
// since the satellite was last seen.
bool arcBroken(const BaselineSat& s, const BaselineObs& o, uint32_t epochMs, uint32_t periodMs)
{
    if (!s.seen || s.f1 != o.f1 || s.f2 != o.f2) return true;
    if (msSinceEpoch(epochMs, s.lastEpochMs, periodMs) > maxGapMs) return true;
    for (int k = 0; k < 2; ++k)
        if (o.lockS[k] < s.lockS[k] || o.slips[k] != s.slips[k] ||
            o.levelCount[k] < s.levelCount[k] || o.bridge[k] != s.bridge[k])
            return true;
    return false;
}

void forgetNarrow(BaselineSat& s)
{
    s.narrowFixed = false;
    s.narrowSum = s.narrowSquares = 0;
    s.narrowCount = 0;
    s.misfits = 0;
}

// The ionosphere-free carrier's ambiguity in metres is
// lambdaNarrow x N1 + c f2 / (f1^2 - f2^2) x wide lane.
double wideTermM(const BaselineSat& s)
{
    return speedOfLight * s.f2 / (s.f1 * s.f1 - s.f2 * s.f2) * double(s.wide);
}

}   // namespace

void updateBaseline(Baseline& b, const BaselineObs* obs, int slots, uint32_t epochMs,
                    uint32_t periodMs)
{
    if (slots > baselineSatSlots) slots = baselineSatSlots;
    if (b.epochMs == epochMs) return;
    b.intervalMs = b.epochMs != 0 ? msSinceEpoch(epochMs, b.epochMs, periodMs) : UINT32_MAX;
    b.epochMs = epochMs;

    // Per satellite this epoch: the ionosphere-free carrier less the
    // modelled geometry and the wide lane (the receiver clocks and the
    // first carrier's cycles remain), in metres.
    double reduced[baselineSatSlots] = {};
    bool have[baselineSatSlots] = {};
    double wideBias = 0;
    int wideFixed = 0;
    for (int i = 0; i < slots; ++i) {
        const BaselineObs& o = obs[i];
        BaselineSat& s = b.sat[i];
        if (!o.usable || !(o.f1 > o.f2) || !(o.f2 > 0)) continue;
        if (arcBroken(s, o, epochMs, periodMs)) {
            s = BaselineSat{};
            s.seen = true;
            s.f1 = o.f1, s.f2 = o.f2;
        }
        s.lastEpochMs = epochMs;
        for (int k = 0; k < 2; ++k) {
            s.lockS[k] = o.lockS[k];
            s.slips[k] = o.slips[k];
            s.levelCount[k] = o.levelCount[k];
            s.bridge[k] = o.bridge[k];
        }
        const double f1 = o.f1, f2 = o.f2;
        auto between = [&](const double (&x)[2][2], double a1, double a2) {
            return (a1 * x[1][0] + a2 * x[1][1]) - (a1 * x[0][0] + a2 * x[0][1]);
        };
        const double lambdaWide = speedOfLight / (f1 - f2);
        const double mw = (between(o.phase, f1 / (f1 - f2), -f2 / (f1 - f2)) -
                           between(o.code, f1 / (f1 + f2), f2 / (f1 + f2))) /
                          lambdaWide;
        const double d = f1 * f1 - f2 * f2;
        const double ifPhase = between(o.phase, f1 * f1 / d, -f2 * f2 / d);
        const double ifCode = between(o.code, f1 * f1 / d, -f2 * f2 / d);
        if (!std::isfinite(mw) || !std::isfinite(ifPhase) || !std::isfinite(ifCode)) continue;
        s.wideSum += mw, s.wideSquares += mw * mw, ++s.wideCount;
        if (s.wideFixed) {
            wideBias += meanOf(s.wideSum, s.wideCount) - double(s.wide);
            ++wideFixed;
        }
        if (!s.wideFixed) continue;
        const double lambdaNarrow = speedOfLight / (f1 + f2);
        s.codeN1Sum += (ifPhase - ifCode - wideTermM(s)) / lambdaNarrow;
        ++s.codeN1Count;
        if (o.elevationDeg < minNarrowElevationDeg) continue;
        reduced[i] = ifPhase - o.geometry - wideTermM(s);
        have[i] = std::isfinite(reduced[i]);
    }

    // Wide lanes. What the fixed ones share is the receivers' bias; the
    // first is fixed as it stands and carries it.
    if (wideFixed > 0) wideBias /= wideFixed;
    for (int i = 0; i < slots; ++i) {
        BaselineSat& s = b.sat[i];
        if (s.lastEpochMs != epochMs || s.wideCount < minWideSamples) continue;
        const double mean = meanOf(s.wideSum, s.wideCount) - wideBias;
        if (s.wideFixed) {
            if (std::fabs(mean - double(s.wide)) > wideDrift) {
                s.wideFixed = false;
                s.wideSum = s.wideSquares = 0;
                s.wideCount = 0;
                s.codeN1Sum = 0;
                s.codeN1Count = 0;
                forgetNarrow(s);
            }
            continue;
        }
        if (standardError(s.wideSum, s.wideSquares, s.wideCount) > maxWideError) continue;
        const double whole = std::round(mean);
        if (wideFixed > 0 && std::fabs(mean - whole) > maxWideFraction) continue;
        s.wide = int64_t(whole);
        s.wideFixed = true;
        if (wideFixed == 0) {
            wideBias = mean - whole;
            wideFixed = 1;
        }
    }

    // Narrow lanes against the satellites already fixed: their reduced
    // carriers less their cycles give the clocks' common term.
    auto commonTerm = [&](double& c) {
        double sum = 0;
        int n = 0;
        for (int i = 0; i < slots; ++i) {
            const BaselineSat& s = b.sat[i];
            if (!have[i] || !s.narrowFixed) continue;
            sum += reduced[i] - speedOfLight / (s.f1 + s.f2) * double(s.narrow);
            ++n;
        }
        if (n > 0) c = sum / n;
        return n;
    };
    double common = 0;
    int fixedNow = commonTerm(common);
    if (fixedNow == 0) {
        // Fixed satellites missing from this epoch only (a base's frames
        // not all in) still hold the common term: the narrow lanes wait.
        for (int i = 0; i < slots; ++i)
            if (b.sat[i].narrowFixed && epochMs - b.sat[i].lastEpochMs <= maxFollowGapMs &&
                b.sat[i].lastEpochMs != epochMs)
                return;
        // No fixed satellite is left to carry it: the highest one with a
        // wide lane starts it with its cycles from the code, and whatever
        // was measured against the old start goes.
        int start = -1;
        for (int i = 0; i < slots; ++i) {
            if (!have[i] || b.sat[i].codeN1Count < minCodeSamples) continue;
            if (start < 0 || obs[i].elevationDeg > obs[start].elevationDeg) start = i;
        }
        for (int i = 0; i < slots; ++i) forgetNarrow(b.sat[i]);
        if (start < 0) return;
        BaselineSat& s = b.sat[start];
        s.narrow = int64_t(std::llround(meanOf(s.codeN1Sum, s.codeN1Count)));
        s.narrowFixed = true;
        fixedNow = commonTerm(common);
    }
    for (int i = 0; i < slots; ++i) {
        BaselineSat& s = b.sat[i];
        if (!have[i]) continue;
        const double cycles = (reduced[i] - common) / (speedOfLight / (s.f1 + s.f2));
        if (s.narrowFixed) {
            if (fixedNow > 1 && std::fabs(cycles - double(s.narrow)) > narrowMisfit) {
                if (++s.misfits >= maxMisfits) forgetNarrow(s);
            } else {
                s.misfits = 0;
            }
            continue;
        }
        s.narrowSum += cycles, s.narrowSquares += cycles * cycles, ++s.narrowCount;
        if (s.narrowCount < minNarrowSamples ||
            standardError(s.narrowSum, s.narrowSquares, s.narrowCount) > maxNarrowError)
            continue;
        const double mean = meanOf(s.narrowSum, s.narrowCount);
        const double whole = std::round(mean);
        if (std::fabs(mean - whole) > maxNarrowFraction) continue;
        s.narrow = int64_t(whole);
        s.narrowFixed = true;
    }
}

bool baselineGeometryFreeAmbiguity(const Baseline& b, int slot, const double (&bridge)[2],
                                   const uint32_t (&levelCount)[2], double& metres)
{
    if (slot < 0 || slot >= baselineSatSlots) return false;
    const BaselineSat& s = b.sat[slot];
    // An epoch the pair could not take (a base's frames of it not yet in)
    // leaves the ambiguities as they were, as long as neither station's
    // carrier moved on meanwhile.
    if (!s.wideFixed || !s.narrowFixed || b.epochMs - s.lastEpochMs > maxFollowGapMs) return false;
    for (int k = 0; k < 2; ++k)
        if (bridge[k] != s.bridge[k] || levelCount[k] < s.levelCount[k]) return false;
    // lambda1 N1 - lambda2 N2 with N2 = N1 - wide lane.
    const double l1 = speedOfLight / s.f1, l2 = speedOfLight / s.f2;
    metres = (l1 - l2) * double(s.narrow) + l2 * double(s.wide);
    return std::isfinite(metres);
}
