#pragma once
// Kept messages of a base and transcoding: every frame a base sends is kept
// as that base's latest message of its kind, decoded into the base record,
// and the kinds the base does not send itself are built from the record so
// that each rover can have the base in the format it asked for.

#include <cstdint>
#include <ctime>

#include "core/base_station.h"

// A kind the base sends is never overwritten by a built one while it keeps
// coming: observation kinds are built only after 10 s without a received
// one, station and description kinds after 20 s.
constexpr uint32_t obsBuildGapMs = 10000;
constexpr uint32_t stationBuildGapMs = 20000;

// True for the message codes whose frames are kept and decoded (the GSV
// sentence is handled by the scan itself).
bool isHandledCode(int32_t code);

// Keeps, decodes and transcodes the frame with message code `code` that
// lies at rxBuffer[start, start + length) of the base. Stamps, reception
// times and lastDataTime take the turn's `clockMs` and `now`. The caller
// takes the frame out of the receive buffer afterwards.
void handleBaseFrame(int baseIndex, int32_t code, uint32_t start, uint32_t length, time_t now,
                     uint32_t clockMs);

// True when the kind has not been received from the base for more than
// gapMs (a kind never received counts from clock 0).
bool notReceivedFor(const BaseStation& b, int kind, uint32_t gapMs, uint32_t clockMs);

// Builds the kind from the base's decoded record and publishes it as built
// (msgNative 0, stamp clockMs, reception times untouched). False when the
// kind has no builder or the encoder gave no frame that fits the kind.
bool buildKind(int baseIndex, int kind, time_t now, uint32_t clockMs);
