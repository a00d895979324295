#pragma once
// The observations of a synthetic reference station (ERP): what a receiver
// at the record's grid node would have measured at the master base's epoch.
//
// They are the master base's own observations (which carry the satellite
// clocks, the master's carrier ambiguities and its lock state) moved to the
// node: plus the geometric range difference node minus master from the
// broadcast orbits (signal travel time and the earth's rotation during it),
// plus the modelled troposphere difference (standard atmosphere at each
// height), plus the ionospheric difference node minus master: the change
// between the master's point and the node of a least-squares plane fitted,
// per satellite, to the carrier-levelled ionosphere of every base within
// 100 km of the node, each weighted by its level's standard error. Each
// base's values enter less their mean offset from the master over the
// satellites both see, so that per-station biases and whatever else is
// common to all satellites of a base do not reach the node. The levels'
// errors carried through the fit give the difference's own standard error;
// a satellite whose phase difference would carry more than a rover's
// ambiguity resolution bears is sent without its carrier.
//
// Runs on the network-correction thread only; reads the base records
// without locks, the ephemeris slots under their mutexes.

#include <cstdint>

#include "core/base_station.h"
#include "network/baseline_ambiguities.h"

// The point of a base in the interpolation plane: its decoded station
// position, or its "STR:" position until a station message came.
void erpBasePoint(const BaseStation& b, double& latitude, double& longitude);

// Ionosphere at the record's node per GPS (GLONASS) satellite from the
// plane over the bases within 100 km of the node: writes codeResidual,
// phaseResidual, codeResidualF and codeResidualRate of every slot some base
// has a usable value for (a level of at least 10 samples within 30 s of the
// record's gpsEpochMs / gloEpochMs), the plane's values at the master's own
// point (codeAtMaster, phaseAtMaster; 0 where nothing was fitted), the bases
// fitted (`contributors`, one bit per base slot, and `ionoBases`) and
// `phaseError`: the standard error of the first signal's phase difference
// node minus master, infinite where bases are in reach but the plane could
// not give it, 0 where only one base is in reach (there is no difference to
// take). Samples on one line give the slope along it only.
void calcErpGps(int erpIndex);
void calcErpGlonass(int erpIndex);

// Synthesises the record's GPS (GLONASS) observations of the master base's
// epoch `epochMs` into its slots (present, epochMs, geometricRange, codeL*,
// phaseL*, lockTimeS); calls calcErpGps (calcErpGlonass). Returns the number
// of satellites synthesised; 0 when the record has no master base or the
// master has no position.
int synthesiseErpGps(int erpIndex, uint32_t epochMs);
int synthesiseErpGlonass(int erpIndex, uint32_t epochMs);

// An ionospheric shift of a satellite's phase that steps by more than this
// (m) from one epoch to the next, against the other satellites' step,
// restarts the satellite's lock time: the rover must never see a jump of
// its reference phase under an unbroken lock.
constexpr double erpPhaseJumpLimitM = 0.03;

// The bases' levels tied to a master's through the carrier ambiguities fixed
// between them (see baseline_ambiguities.h): for bases `slots[0..n)`
// against the master `slots[master]`, at the master's epoch `epochMs`
// (GPS time of week, or GLONASS time of day, ms), per base and satellite
// entry the shift (m of the geometry-free combination) that makes the
// base's levelled ionosphere follow the master's by the carriers' own
// difference, less what the base's ties share on average (the base keeps
// the level its code gives it; the carriers tell how its satellites
// differ). `tied` is false where no tie holds: ambiguities not fixed, data
// sampled sparser than every 5 s, a tie the code's levels refute, or a
// base with a single tie.
// Network-correction thread only; the state of each pair is kept from one
// call to the next.
struct LevelTies {
    double shift[maxBases][baselineSatSlots];
    bool tied[maxBases][baselineSatSlots];
};
void tieGpsLevels(uint32_t epochMs, int master, const int* slots, int n, LevelTies& ties);
void tieGloLevels(uint32_t epochMs, int master, const int* slots, int n, LevelTies& ties);

// The error of a level tied to the master's: the two stations'
// geometry-free carrier noise (m).
constexpr double tiedLevelErrorM = 0.003;
