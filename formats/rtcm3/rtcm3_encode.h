#pragma once
// RTCM 3.1 builders: legacy observations, station and descriptor messages,
// system parameters, FKP network corrections of a base, and the
// master-auxiliary (MAC) corrections of one rover.
//
// Every builder writes one complete RTCM 3 frame (0xD3, length, payload,
// CRC-24Q) into `buffer`, which must hold maxFrameBytes (1029) bytes, and
// returns the frame length. The builders read the records without locks;
// a caller that publishes the result as a kept message brackets the call
// with the kind's event.

#include <cstdint>

struct ObsEpoch;

// ---- per base (base data thread) ----
int encodeRtcm1003(int baseIndex, uint8_t* buffer);
int encodeRtcm1004(int baseIndex, uint8_t* buffer);
int encodeRtcm1011(int baseIndex, uint8_t* buffer);
int encodeRtcm1012(int baseIndex, uint8_t* buffer);
int encodeRtcm1005(int baseIndex, uint8_t* buffer);   // always 25 bytes
int encodeRtcm1032(int baseIndex, uint8_t* buffer);
int encodeRtcm1033(int baseIndex, uint8_t* buffer);
int encodeRtcm1008(int baseIndex, uint8_t* buffer);

// The same observation messages from any epoch (a base's own, or a master's
// epoch moved to a rover): `extended` gives 1004/1012, else 1003/1011.
// The header counts the blocks written.
int writeRtcmGpsObservations(const ObsEpoch& epoch, uint8_t* buffer, bool extended);
int writeRtcmGloObservations(const ObsEpoch& epoch, uint8_t* buffer, bool extended);

// System parameters. A base index outside 0..9 (a rover without a master
// base passes -1) gives the keep-alive form: station 0, today's MJD,
// seconds of day 0, leap seconds 0.
int encodeRtcm1013(int baseIndex, uint8_t* buffer);

// ---- FKP (network-correction thread), from the base's gradients ----
int encodeRtcm1034(int baseIndex, uint8_t* buffer);
int encodeRtcm1035(int baseIndex, uint8_t* buffer);

// ---- MAC, for one rover against one of its auxiliary bases ----
// auxNumber 1..3 selects client auxBase[auxNumber - 1] and that row of the
// client's difference tables; multipleMessage is the caller's multiple
// message indicator. A message carries at most 15 satellites (4-bit
// count): `part` selects which group of 15 to build and `partCount`, when
// given, receives how many messages the satellites need (at least 1).
// Every part but the last sets the multiple message indicator.
int encodeRtcm1015(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part = 0, int* partCount = nullptr);
int encodeRtcm1017(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part = 0, int* partCount = nullptr);
int encodeRtcm1037(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part = 0, int* partCount = nullptr);
int encodeRtcm1039(int clientIndex, uint8_t* buffer, int auxNumber, uint8_t multipleMessage,
                   int part = 0, int* partCount = nullptr);

// Systems in the order their observation messages follow one another in a
// stream of one epoch.
enum ObsSystem : int { obsGps = 0, obsGlo = 1, obsGal = 2, obsBds = 3 };

// True when the base has delivered, in the last two seconds, observations
// of a system that comes after `system` in the stream order GPS, GLONASS,
// Galileo, BeiDou, so that another observation message of the same epoch
// follows this one. `msmStream` tells which stream is meant: the RTCM 3.1
// stream carries no Galileo and BeiDou only as the base's own 1104.
bool laterObservationsFollow(int baseIndex, int system, bool msmStream);

// Sets the synchronous flag of a legacy observation frame (1001-1004,
// 1009-1012, the caster's BeiDou 1104) or the multiple message bit of an
// MSM frame, and its CRC, in a finished frame. A stream that sends the
// systems of an epoch in an order of its own knows better than the builder
// which message closes the epoch: a rover keeps the epoch's observations
// only up to the message whose flag is 0, and drops them when a message of
// another epoch arrives first. False (frame unchanged) for any other frame.
bool setObservationSyncFlag(uint8_t* frame, uint32_t length, bool more);

// The same flag in the last of whole frames laid back to back (a kept MSM
// kind may hold an epoch's parts; only the last part's flag can close the
// epoch): 0 or 1, -1 when the bytes are not whole RTCM 3 frames or the last
// one carries no such flag.
int lastObservationSyncFlag(const uint8_t* frames, uint32_t length);
// Sets it and that frame's CRC; false (bytes unchanged) where the above is -1.
bool setLastObservationSyncFlag(uint8_t* frames, uint32_t length, bool more);
