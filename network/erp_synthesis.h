#pragma once
// The observations of a synthetic reference station (ERP): what a receiver
// at the record's grid node would have measured at the master base's epoch.
//
// They are the master base's own observations (which carry the satellite
// clocks, the master's carrier ambiguities and its lock state) moved to the
// node: plus the geometric range difference node minus master from the
// broadcast orbits (signal travel time and the earth's rotation during it),
// plus the modelled troposphere difference (standard atmosphere at each
// height), plus the ionospheric difference node minus master: the change of
// the surface interpolated from the four surrounding bases' carrier-levelled
// ionosphere between the master's point and the node. Each base's
// values enter less their mean offset from the master over the satellites
// both see, so that per-station biases and whatever else is common to all
// satellites of a base do not reach the node.
//
// Runs on the network-correction thread only; reads the base records
// without locks, the ephemeris slots under their mutexes.

#include <cstdint>

struct BaseStation;

// The point of a base in the interpolation plane: its decoded station
// position, or its "STR:" position until a station message came.
void erpBasePoint(const BaseStation& b, double& latitude, double& longitude);

// Ionosphere at the record's node per GPS (GLONASS) satellite from the four
// bases in baseIndex and the ten lines: the twelve anchor-through-node
// constructions crossed with the opposite base pairs, averaged. Writes
// codeResidual, phaseResidual, codeResidualF and codeResidualRate of every
// slot that found candidates and `contributors` (one bit per construction
// that gave the phase on the first frequency) of every slot; and the same
// constructions at the master's own point (those anchored on the master
// itself have no line there) into codeAtMaster, phaseAtMaster and
// masterContributors. A construction
// naming an absent base, crossing parallel lines, or dividing by a zero
// distance gives nothing; a non-finite candidate is dropped. The epoch the
// bases' values must carry to be taken as read is the record's gpsEpochMs
// (gloEpochMs); older pair values are replaced by the bases' filtered ones.
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
