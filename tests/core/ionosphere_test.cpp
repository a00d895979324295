#include "core/ionosphere.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/records.h"

namespace {

constexpr double TECU = 1e16;
constexpr double fL1 = 1575.42e6, fL2 = 1227.6e6, fL5 = 1176.45e6;

double firstOrder(double tec, double f) { return 40.309 * tec / (f * f); }

// Every value the estimator writes must stay finite.
template <typename Sat, int N>
void expectFinite(const Sat& s, const char* what)
{
    auto ok = [](double v) { return std::isfinite(v); };
    bool good = ok(s.deltaIono) && ok(s.tecCode) && ok(s.vtecCode) && ok(s.tecPhase) && ok(s.vtecPhase);
    for (int i = 0; i < N; ++i)
        good = good && ok(s.smoothedCode[i]) && ok(s.smoothState[i]) && ok(s.prevPhase[i]) &&
               ok(s.prevCodeDelay[i]) && ok(s.codeDelayEma[i]) && ok(s.codeDelayF[i]) &&
               ok(s.ionoRate[i]) && ok(s.ionoRateFiltered[i]) && ok(s.phaseAdvance[i]) &&
               ok(s.codeDelay[i]);
    for (int j = 0; j < 2 * N; ++j) {
        const IonoFilter& f = s.ionoFilter[j];
        good = good && ok(s.filteredDelay[j]) && ok(f.P) && ok(f.x) && ok(f.estimate) && ok(f.K) &&
               ok(f.innovation);
    }
    EXPECT_TRUE(good) << what;
}

// Deterministic noise in [-a, a].
struct Lcg {
    uint32_t v = 12345;
    double next(double a)
    {
        v = v * 1664525u + 1013904223u;
        return (double(v >> 8) / double(1u << 24) * 2 - 1) * a;
    }
};

// Observations of a satellite over a constant ionosphere `tec`: code delayed
// and phase advanced by the first-order term, geometry moving 500 m/s.
template <typename Sat, int N>
void observe(Sat& s, const double (&f)[N], double tec, uint32_t t, double noise = 0, Lcg* rng = nullptr)
{
    const double rho = 2.2e7 + 500.0 * t;
    for (int k = 0; k < N; ++k) {
        const double i = firstOrder(tec, f[k]);
        s.codeRange[k] = rho + i + (rng ? rng->next(noise) : 0);
        s.phaseRange[k] = rho - i;
    }
    s.lastUpdateTime = t;
}

}  // namespace

TEST(Ionosphere, DelayOfOneTecuAndHigherOrderTerms)
{
    // At zenith the second-order term vanishes and the third is ~1e-9 m, so
    // 1 TECU gives the first-order delay 40.309 x TEC / f^2.
    double vert = -1, phase = -1, code = -1;
    ionoHigherOrderDelay(fL1, TECU, &vert, 3.1415926535898 / 2, 4.086e-6, &phase, &code);
    EXPECT_NEAR(code, 0.16241, 5e-6);
    EXPECT_NEAR(phase, 0.16241, 5e-6);
    EXPECT_NEAR(vert, TECU, 1.0);
    ionoHigherOrderDelay(fL2, TECU, nullptr, 3.1415926535898 / 2, 4.086e-6, &phase, &code);
    EXPECT_NEAR(code, 0.26748, 5e-6);
    EXPECT_NEAR(phase, 0.26748, 5e-6);

    // Second order against the textbook form 7527 c B cos(theta) TEC / (2 f^3)
    // (Hernandez-Pajares et al. 2007); code takes it twice, phase once.
    // At 10 TECU the third-order terms stay below 1e-6 m.
    const double tec = 10 * TECU, b = 5e-5, e = 30 * 3.1415926535898 / 180;
    ionoHigherOrderDelay(fL1, tec, &vert, e, b, &phase, &code);
    const double s2 = 7527.0 * 299792458.0 * b * std::cos(e) * tec / (2 * std::pow(fL1, 3));
    EXPECT_NEAR(phase - firstOrder(tec, fL1), s2, 1e-3 * s2);
    EXPECT_NEAR(code - firstOrder(tec, fL1), 2 * s2, 1e-3 * s2);
    // Thin shell at 350 km: vertical = slant x cos(zenith angle at the shell).
    EXPECT_NEAR(vert, tec * std::cos(std::asin(std::cos(e) * 6378137.0 / 6728137.0)), 1.0);

    // The pair and rate helpers.
    EXPECT_NEAR(tecFromPair(fL1, fL2, 100.0, 100.0 + firstOrder(TECU, fL2) - firstOrder(TECU, fL1)),
                TECU, 1e6);
    EXPECT_EQ(tecFromPair(fL1, fL1, 1.0, 2.0), 0.0);
    EXPECT_EQ(tecFromPair(0.0, fL2, 1.0, 2.0), 0.0);
    EXPECT_EQ(deltaIonoFromPhase(1, 0, 2, 0, fL1, fL2, 0.0), 0.0);
    EXPECT_EQ(deltaIonoFromPhase(1, 0, 2, 0, fL1, fL1, 1.0), 0.0);
    ionoHigherOrderDelay(0.0, TECU, &vert, 0.5, b, &phase, &code);
    EXPECT_EQ(vert + phase + code, 0.0);
}

TEST(Ionosphere, GpsConvergesOnConstantIonosphere)
{
    const double f[3] = {fL1, fL2, fL5};
    const double tec = 20 * TECU;
    GpsSatObs s;
    s.elevation = 45;
    s.magFieldNt = 48000;
    Lcg rng;
    double sumSq = 0, rawSumSq = 0;
    for (uint32_t t = 1000; t < 1300; ++t) {
        observe(s, f, tec, t, 0.2, &rng);
        estimateIonoGps(s);
        if (t >= 1200) {
            const double err = s.codeDelay[0] - firstOrder(tec, fL1);
            sumSq += err * err;
            // What the unsmoothed code pair would give.
            const double raw = firstOrder(tecFromPair(fL1, fL2, s.codeRange[0], s.codeRange[1]), fL1);
            rawSumSq += (raw - firstOrder(tec, fL1)) * (raw - firstOrder(tec, fL1));
        }
    }
    const double rms = std::sqrt(sumSq / 100), rawRms = std::sqrt(rawSumSq / 100);
    // Carrier-levelled over the arc. Seen: rms 0.011 m against 0.254 m from
    // the raw code pair (code smoothed over ten epochs gave 0.062 m).
    EXPECT_LT(rms, 0.03);
    EXPECT_LT(rms, rawRms / 8);
    EXPECT_GT(s.codeDelay[0], 0);
    EXPECT_NEAR(s.filteredDelay[0], s.codeDelay[0], 0.2);
    // The phases carry no noise: exact phase pair content. The advances come
    // from the same levelled content as the delays, negative (with the
    // second-order term of a 48000 nT field at 45 degrees).
    EXPECT_NEAR(s.tecPhase / TECU, 20.0, 1e-6);
    for (int k = 0; k < 3; ++k) {
        double adv = 0;
        ionoHigherOrderDelay(f[k], tec, nullptr, 45 * 3.1415926535898 / 180, 48e-6, &adv, nullptr);
        EXPECT_NEAR(s.phaseAdvance[k], -adv, 0.03 * (fL1 / f[k]) * (fL1 / f[k])) << k;
        EXPECT_NEAR(adv, firstOrder(tec, f[k]), 0.005) << k;
    }
    EXPECT_NEAR(s.filteredDelay[3], s.phaseAdvance[0], 1e-4);
    EXPECT_NEAR(s.deltaIono, 0.0, 1e-9);
    EXPECT_EQ(s.deltaIonoScaled, 0);
    EXPECT_EQ(s.lastIonoTime, 1299u);
    EXPECT_EQ(s.codeDelayF[0], float(s.codeDelay[0]));
    EXPECT_NEAR(s.codeDelayEma[0], firstOrder(tec, fL1), 0.1);
    expectFinite<GpsSatObs, 3>(s, "gps");
}

TEST(Ionosphere, OtherSystemsRecoverTheirPairs)
{
    const double tec = 30 * TECU;
    // BeiDou tracking B1 and B3 only: the pair is B1/B3 and the delays are
    // positive (an absent B2 must not turn the sign).
    const double fb[3] = {1561.098e6, 1207.14e6, 1268.52e6};
    BdsSatObs b;
    b.elevation = 90;
    for (uint32_t t = 10; t < 20; ++t) {
        observe(b, fb, tec, t);
        b.codeRange[1] = b.phaseRange[1] = 0;
        estimateIonoBds(b);
    }
    EXPECT_NEAR(b.tecCode / TECU, 30.0, 1e-6);
    EXPECT_NEAR(b.codeDelay[0], firstOrder(tec, fb[0]), 1e-3);
    EXPECT_NEAR(b.codeDelay[2], firstOrder(tec, fb[2]), 1e-3);
    EXPECT_LT(b.phaseAdvance[0], 0);
    expectFinite<BdsSatObs, 3>(b, "bds");

    // Galileo with E1 and E5a.
    GalSatObs g;
    g.elevation = 90;
    for (uint32_t t = 10; t < 20; ++t) {
        observe(g, g.carrierHz, tec, t);
        g.codeRange[1] = g.phaseRange[1] = 0;
        estimateIonoGal(g);
    }
    EXPECT_NEAR(g.tecCode / TECU, 30.0, 1e-6);
    EXPECT_NEAR(g.codeDelay[0], firstOrder(tec, 1575.42e6), 1e-3);
    EXPECT_NEAR(g.deltaIono, 0.0, 1e-9);
    expectFinite<GalSatObs, 3>(g, "gal");

    // GLONASS channel 7 is k = 0: 1602 and 1246 MHz.
    GloSatObs r;
    r.freqChannel = 7;
    r.elevation = 90;
    const double fr[2] = {1602e6, 1246e6};
    for (uint32_t t = 10; t < 15; ++t) {
        observe(r, fr, tec, t);
        estimateIonoGlo(r, 5);
    }
    EXPECT_NEAR(r.tecCode / TECU, 30.0, 1e-6);
    EXPECT_NEAR(r.codeDelay[1], firstOrder(tec, 1246e6), 1e-3);
    EXPECT_LT(r.phaseAdvance[1], 0);
}

TEST(Ionosphere, GlonassChannelOutsideTheTables)
{
    // Channel value 25 cannot index the 21-entry tables. Slot 3 is channel
    // +5 (table value 12): L1 1604.8125 MHz, L2 1248.1875 MHz.
    ASSERT_EQ(glonassChannelBySlot[3], 12);
    const double f[2] = {1604.8125e6, 1248.1875e6};
    const double tec = 25 * TECU;
    GloSatObs r;
    r.freqChannel = 25;
    for (uint32_t t = 100; t < 105; ++t) {
        observe(r, f, tec, t);
        estimateIonoGlo(r, 3);
    }
    // The content scales with f^2: channel 0's carriers would read 0.35% low.
    EXPECT_NEAR(r.tecCode / TECU, 25.0, 1e-4);
    EXPECT_NEAR(r.codeDelay[0], firstOrder(tec, f[0]), 1e-3);
    EXPECT_EQ(r.lastIonoTime, 104u);

    // Without a slot to fall back on the satellite is left alone.
    GloSatObs u;
    u.freqChannel = 200;
    observe(u, f, tec, 100);
    estimateIonoGlo(u);
    estimateIonoGlo(u, 0);
    estimateIonoGlo(u, 25);
    EXPECT_EQ(u.lastIonoTime, 0u);
    EXPECT_EQ(u.smoothedCode[0], 0.0);
    EXPECT_EQ(u.tecCode, 0.0);
    EXPECT_EQ(u.ionoFilter[0].R, 0.1);
}

TEST(Ionosphere, SlipRestartTakesTheNewPhaseAsReference)
{
    const double f[3] = {fL1, fL2, fL5};
    const double tec = 20 * TECU;
    GpsSatObs s;
    s.elevation = 60;
    for (uint32_t t = 500; t < 520; ++t) {
        observe(s, f, tec, t);
        estimateIonoGps(s);
    }
    const GpsSatObs before = s;

    // Ten L1 cycles lost at t = 520.
    const double jump = 10 * 299792458.0 / fL1;
    observe(s, f, tec, 520);
    s.phaseRange[0] += jump;
    s.slipFlag = 1;
    estimateIonoGps(s);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s.smoothedCode[i], 0.0);
        EXPECT_EQ(s.smoothState[i], s.codeRange[i]);
        EXPECT_EQ(s.prevPhase[i], s.phaseRange[i]);
        EXPECT_EQ(s.codeDelay[i], before.codeDelay[i]);
        EXPECT_EQ(s.filteredDelay[i], before.filteredDelay[i]);
    }
    EXPECT_EQ(s.lastIonoTime, 520u);
    EXPECT_EQ(s.deltaIono, before.deltaIono);
    EXPECT_EQ(s.tecCode, before.tecCode);

    // The next epochs keep the jump in the phase; none of it may show up as
    // ionosphere change or in the smoothed code.
    for (uint32_t t = 521; t < 524; ++t) {
        observe(s, f, tec, t);
        s.phaseRange[0] += jump;
        s.slipFlag = 0;
        estimateIonoGps(s);
        EXPECT_NEAR(s.deltaIono, 0.0, 1e-6);
        EXPECT_NEAR(s.smoothedCode[0], s.codeRange[0], 1e-6);
        EXPECT_NEAR(s.codeDelay[0], firstOrder(tec, fL1), 1e-3);
    }
}

TEST(Ionosphere, DeltaIonoScaledAndSameSecondRuns)
{
    const double f[3] = {fL1, fL2, fL5};
    GpsSatObs s;
    observe(s, f, 10 * TECU, 100);
    estimateIonoGps(s);
    // L2 phase 0.123 x (1 - (f1/f2)^2) m further after one second: 0.123 m/s.
    observe(s, f, 10 * TECU, 101);
    s.phaseRange[1] += 0.123 * (1 - (fL1 / fL2) * (fL1 / fL2));
    estimateIonoGps(s);
    EXPECT_NEAR(s.deltaIono, 0.123, 1e-7);
    EXPECT_EQ(s.deltaIonoScaled, -2);

    // A second run in the same second keeps deltaIono and has no rate.
    const double kept = s.deltaIono;
    s.phaseRange[1] += 5.0;
    estimateIonoGps(s);
    EXPECT_EQ(s.deltaIono, kept);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(s.ionoRate[i], 0.0f);
    expectFinite<GpsSatObs, 3>(s, "dt 0");

    // Values beyond 16 bits clamp instead of wrapping.
    observe(s, f, 10 * TECU, 102);
    s.phaseRange[1] += 1e5;
    estimateIonoGps(s);
    EXPECT_EQ(s.deltaIonoScaled, 32767);
    observe(s, f, 10 * TECU, 103);
    s.phaseRange[1] -= 2e5;
    estimateIonoGps(s);
    EXPECT_EQ(s.deltaIonoScaled, -32768);
}

TEST(Ionosphere, ZeroAndMissingObservationsStayFinite)
{
    GpsSatObs gps;
    BdsSatObs bds;
    GloSatObs glo;
    GalSatObs gal;
    gal.carrierHz[0] = gal.carrierHz[1] = gal.carrierHz[2] = 0;  // nothing sane to work with
    for (uint32_t t : {0u, 0u, 7u, 7u, 8u}) {
        gps.lastUpdateTime = bds.lastUpdateTime = glo.lastUpdateTime = gal.lastUpdateTime = t;
        estimateIonoGps(gps);
        estimateIonoBds(bds);
        estimateIonoGlo(glo);
        estimateIonoGal(gal);
    }
    expectFinite<GpsSatObs, 3>(gps, "gps zero");
    expectFinite<BdsSatObs, 3>(bds, "bds zero");
    expectFinite<GloSatObs, 2>(glo, "glo zero");
    expectFinite<GalSatObs, 3>(gal, "gal zero");
    EXPECT_EQ(gps.codeDelay[0], 0.0);
    gal.carrierHz[0] = NAN;
    gal.codeRange[0] = gal.phaseRange[0] = 2e7;
    gal.codeRange[2] = gal.phaseRange[2] = 2e7 + 3;
    gal.lastUpdateTime = 9;
    estimateIonoGal(gal);
    expectFinite<GalSatObs, 3>(gal, "gal bad carrier");

    // L2 drops out after a steady run: the content and the delays hold, no
    // huge value reaches the filters, and the smoothing picks up again
    // without a jump when L2 returns.
    const double f[3] = {fL1, fL2, fL5};
    const double tec = 15 * TECU;
    GpsSatObs s;
    for (uint32_t t = 50; t < 60; ++t) {
        observe(s, f, tec, t);
        estimateIonoGps(s);
    }
    for (uint32_t t = 60; t < 63; ++t) {
        observe(s, f, tec, t);
        s.codeRange[1] = (t == 61) ? 2.2e7 : 0;  // code back before the phase
        s.phaseRange[1] = 0;
        estimateIonoGps(s);
        EXPECT_NEAR(s.codeDelay[0], firstOrder(tec, fL1), 1e-3) << t;
        for (int j = 0; j < 6; ++j) EXPECT_LT(std::fabs(s.filteredDelay[j]), 150.0) << t;
    }
    observe(s, f, tec, 63);
    estimateIonoGps(s);
    EXPECT_NEAR(s.smoothedCode[1], s.codeRange[1], 1e-6);
    EXPECT_NEAR(s.codeDelay[1], firstOrder(tec, fL2), 1e-3);
    expectFinite<GpsSatObs, 3>(s, "gps gap");

    // A code pair 1 km apart is no ionosphere: that signal's smoothing
    // restarts, while the levelled delays pass it by (they used to be zeroed
    // after the filter had taken the huge value).
    observe(s, f, tec, 64);
    s.codeRange[1] += 1000;
    estimateIonoGps(s);
    EXPECT_NEAR(s.codeDelay[0], firstOrder(tec, fL1), 1e-3);
    EXPECT_EQ(s.smoothedCode[0], 0.0);
    EXPECT_EQ(s.smoothState[0], s.codeRange[0]);
    EXPECT_LT(s.filteredDelay[0], 150.0);
    expectFinite<GpsSatObs, 3>(s, "gps outlier");
}

TEST(Ionosphere, MissingFieldValueUsesDefaultField)
{
    const double f[3] = {fL1, fL2, fL5};
    GpsSatObs a, b;
    a.elevation = b.elevation = 20;
    a.magFieldNt = 0;
    b.magFieldNt = 4086;
    observe(a, f, 200 * TECU, 10);
    observe(b, f, 200 * TECU, 10);
    estimateIonoGps(a);
    estimateIonoGps(b);
    EXPECT_DOUBLE_EQ(a.codeDelay[0], b.codeDelay[0]);
    EXPECT_DOUBLE_EQ(a.phaseAdvance[1], b.phaseAdvance[1]);
}

// The delays are the carrier-levelled ionosphere: the geometry-free phase,
// whatever its ambiguities, lifted to the code's level by the mean over the
// arc; a slip is bridged, flagged or not, and only losing the satellite
// starts the levelling again.
TEST(Ionosphere, CarrierLevellingBridgesSlipsAndRestartsOnlyOnLoss)
{
    const double f[3] = {fL1, fL2, fL5};
    const double lambda1 = 299792458.0 / fL1, lambda2 = 299792458.0 / fL2;
    // Content rising 1 TECU per 100 s, code noise 0.3/0.4 m as a real
    // receiver's, the phases with ambiguities of hundreds of metres.
    auto content = [](uint32_t t) { return (20 + 0.01 * (t - 1000)) * TECU; };
    double amb[3] = {2345 * lambda1, -1789 * lambda2, 0};
    GpsSatObs s;
    s.elevation = 40;
    Lcg rng;
    auto epoch = [&](uint32_t t) {
        const double tec = content(t), rho = 2.2e7 + 500.0 * t;
        const double noise[3] = {0.3, 0.4, 0.4};
        for (int k = 0; k < 3; ++k) {
            const double i = firstOrder(tec, f[k]);
            s.codeRange[k] = rho + i + rng.next(noise[k] * std::sqrt(3.0));
            s.phaseRange[k] = rho - i + amb[k];
        }
        s.lastUpdateTime = t;
        s.epochMs = t * 1000;
        estimateIonoGps(s);
        return s.codeDelay[0] - firstOrder(tec, fL1);
    };

    double worst = 0, err = 0;
    for (uint32_t t = 1000; t < 1600; ++t) {
        err = epoch(t);
        if (t >= 1300) worst = std::max(worst, std::fabs(err));
        // The advance is the same content on the phase, negative (they
        // differ by the higher-order terms only).
        EXPECT_NEAR(s.phaseAdvance[0], -s.codeDelay[0], 1e-3);
    }
    // After five minutes of arc the level holds to centimetres (seen 0.049 m
    // at worst, 2 sigma of the code noise's mean); the ambiguities, hundreds
    // of metres, have left no trace.
    EXPECT_LT(worst, 0.08);
    // Its standard error follows the code noise: 0.5 m of geometry-free
    // noise averaged over 600 samples.
    EXPECT_NEAR(levelStandardError(s.levelling), 0.5 / std::sqrt(600.0), 0.004);

    // A flagged slip of 7 and 5 cycles, then an unflagged one of -3 L1
    // cycles: the level goes on without a step (unbridged, they would make
    // steps of 0.17 m and 0.88 m).
    amb[0] += 7 * lambda1, amb[1] += 5 * lambda2;
    s.slipFlag = 1;
    epoch(1600);
    s.slipFlag = 0;
    for (uint32_t t = 1601; t < 1700; ++t) {
        if (t == 1650) amb[0] -= 3 * lambda1;
        const double prev = err;
        err = epoch(t);
        EXPECT_NEAR(err, prev, 0.01) << t;
    }
    EXPECT_GT(s.levelling.count, 650u);

    // Half a minute without the satellite still belongs to the arc; two
    // minutes do not: the level starts again from that epoch's code.
    epoch(1730);
    EXPECT_GT(s.levelling.count, 650u);
    epoch(1860);
    EXPECT_EQ(s.levelling.count, 1u);
    EXPECT_LT(levelStandardError(s.levelling), 0);   // one sample tells no spread
    expectFinite<GpsSatObs, 3>(s, "levelled");
}
