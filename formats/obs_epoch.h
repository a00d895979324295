#pragma once
// One epoch of a base's GPS and GLONASS observations as the observation
// builders of every format read it. The per-base builders look at the base's
// own record through it; the builders of one rover's stream hand them a copy
// of the master's epoch moved to the rover's position, so that both kinds of
// stream go out through the same field code.

#include <cstdint>

#include "core/sat_obs.h"

struct ObsEpoch {
    // The base the epoch came from: decides whether another system's
    // observations of the same epoch follow in the stream.
    int baseIndex = -1;
    uint16_t stationId = 0;
    uint16_t gpsWeek = 0;
    uint32_t gpsTowMs = 1, gloEpochMs = 1;
    uint8_t gpsSmoothing = 0, gloSmoothing = 0;
    uint16_t gpsSmoothingInterval = 0, gloSmoothingInterval = 0;
    // After MSM input the code indicators come from the signal ids.
    bool gpsMsmInput = false, gloMsmInput = false;
    uint8_t gpsSignalId[2] = {}, gloSignalId[2] = {};
    const GpsSatObs* gpsSat = nullptr;   // entries 0..31
    const GloSatObs* gloSat = nullptr;   // entries 0..23
};

// The live epoch of base `baseIndex` (0..9, or the synthetic station's
// record), read from its record.
ObsEpoch obsEpochOf(int baseIndex);

// Refills the legacy parts of an entry whose full ranges were changed:
// L1 code modulo `ambiguityUnit` metres, and the L1 phase, L2 code and L2
// phase each minus the L1 code (0 where the range is absent).
void setLegacyParts(GpsSatObs& s, double ambiguityUnit);
void setLegacyParts(GloSatObs& s, double ambiguityUnit);
