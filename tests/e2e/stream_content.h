#pragma once
// What a rover's frames say, against the recording the base replayed: the
// RTCM streams through convbin, CMR and NCT through the caster's own
// readers into a scratch base record of this test process, BINR by its
// layout. Each check reports through gtest expectations.

#include <set>
#include <string>

#include "rinex_obs.h"
#include "stream_frames.h"

// A recording as the reference for the streams built from it.
struct Recording {
    std::string name;
    std::string bytes;
    std::set<std::string> frames;   // every RTCM frame of it
    std::string ephemeris;          // its 1019 and 1020 frames, back to back
    std::string approxTime;         // for convbin, "yyyy/mm/dd hh:mm:ss"
    int leapSeconds = 0;            // GPS - UTC at the time
    bool hasPosition = false;       // sends 1005
    double ecef[3] = {0, 0, 0};     // from its 1005
    RinexObs reference;             // convbin's reading of it
};

// Reads the recording and its reference. `forConvbin` gives the bytes
// convbin is to read in place of the recording (empty: the recording).
bool loadRecording(Recording& r, const std::string& path, const std::string& workDir,
                   const std::string& forConvbin = "");

// The recording with only its GPS and GLONASS MSM and ephemeris frames, the
// GLONASS MSM closing each epoch. convbin keeps an MSM epoch only up to the
// message that closes it and drops it when a message of another time
// comes first; gmsd7 writes GPS time into its BeiDou epochs, which would
// otherwise cost every GPS and GLONASS epoch.
std::string gpsGloMsmOnly(const std::string& recording);

// Frames of the given RTCM message numbers are byte for byte frames of the
// recording (relayed as received), but for the synchronous flag of an
// observation message. Returns how many were compared.
int expectRelayedUnchanged(const Capture& c, const SplitStream& s, const Recording& r,
                           const std::set<int>& messages);

// The RTCM frames of the stream, after the recording's ephemerides, read
// by convbin and compared with the recording, epoch by epoch.
void expectConvbinMatches(const Capture& c, const SplitStream& s, const Recording& r,
                          const std::string& workDir, const std::string& name,
                          const std::string& systems);

// BINR: 6Ah at the station's position, 69h with a block for each satellite
// of its epoch.
void expectBinrMatches(const Capture& c, const SplitStream& s, const Recording& r);

// NCT: 5E read back gives the epoch's satellites and codes, 5C the
// station's position.
void expectNctMatches(const Capture& c, const SplitStream& s, const Recording& r);

// CMR: type 0 read back gives the epoch's GPS satellites, codes and
// phases, type 1 the station's position.
void expectCmrMatches(const Capture& c, const SplitStream& s, const Recording& r);
