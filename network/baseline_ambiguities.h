#pragma once
// Carrier ambiguities between two bases of known position, per satellite.
//
// A base's carrier-levelled ionosphere is only as good as the mean of its
// code noise over the arc: after twenty minutes a centimetre or two, too
// much for a rover 30 km out to fix on. Between two bases the carriers say
// more: with both positions known and the orbits broadcast, the
// between-station difference of each satellite's carriers holds whole
// cycles that can be found. The wide lane comes from the Melbourne-Wuebbena
// combination (free of geometry, clocks and ionosphere), the first carrier's
// cycles from the ionosphere-free carrier against the modelled geometry,
// relative to a satellite already fixed (the receiver clocks are common to
// all satellites in metres). Once both are fixed, the difference of the two
// stations' geometry-free carriers is their ionospheric difference to the
// millimetre, and a base's level can be tied to the master's through it.
//
// What every satellite of the pair shares (receiver biases, the first fixed
// satellite's own cycles) is left in: it cancels between satellites. The
// state holds whole arcs: a slip, a new arc or a changed channel at either
// station starts the satellite again.

#include <cstdint>

constexpr int baselineSatSlots = 32;

// One satellite at one epoch, as the master (index 0) and the base (1)
// observed it.
struct BaselineObs {
    bool usable = false;
    double f1 = 0, f2 = 0;                    // carriers, Hz
    double phase[2][2] = {}, code[2][2] = {};  // [station][carrier], m
    // Modelled range and troposphere, base minus master, m.
    double geometry = 0;
    double elevationDeg = 0;   // at the master
    // What changes when a station's carrier may have slipped.
    uint16_t lockS[2] = {};
    uint8_t slips[2] = {};
    uint32_t levelCount[2] = {};
    double bridge[2] = {};
};

struct BaselineSat {
    bool seen = false;
    uint32_t lastEpochMs = 0;
    double f1 = 0, f2 = 0;
    uint16_t lockS[2] = {};
    uint8_t slips[2] = {};
    uint32_t levelCount[2] = {};
    double bridge[2] = {};
    // Wide lane (cycles), first-carrier cycles from the code (cycles) and
    // from the carriers against the fixed satellites (cycles).
    double wideSum = 0, wideSquares = 0;
    uint32_t wideCount = 0;
    double codeN1Sum = 0;
    uint32_t codeN1Count = 0;
    double narrowSum = 0, narrowSquares = 0;
    uint32_t narrowCount = 0;
    bool wideFixed = false, narrowFixed = false;
    int64_t wide = 0, narrow = 0;
    uint8_t misfits = 0;
};

struct Baseline {
    uint32_t epochMs = 0;
    uint32_t intervalMs = UINT32_MAX;   // between the last two epochs taken
    uint32_t serial[2] = {};   // the connections the state belongs to
    BaselineSat sat[baselineSatSlots];
};

// One epoch of the pair: every satellite's arcs are followed, its
// estimates updated, and what has settled is fixed. `obs` holds one entry
// per satellite slot (at most baselineSatSlots); epochs roll over after
// `periodMs` (the system's day or week).
void updateBaseline(Baseline& b, const BaselineObs* obs, int slots, uint32_t epochMs,
                    uint32_t periodMs);

// The satellite's geometry-free carrier ambiguity, base minus master (m of
// first minus second carrier), up to what all satellites of the pair share;
// false while its cycles are not fixed, or when the stations' levellings now
// bridge other slips (`bridge`) or began new arcs (`levelCount`) since the
// satellite was last followed: its arcs may have moved on unseen.
bool baselineGeometryFreeAmbiguity(const Baseline& b, int slot, const double (&bridge)[2],
                                   const uint32_t (&levelCount)[2], double& metres);
