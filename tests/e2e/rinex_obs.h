#pragma once
// RTCM 3 streams read back with an independent decoder: Debian rtklib's
// convbin turns them into RINEX 3 observation files, read here into plain
// maps so that a rover's stream can be compared with the recording it came
// from.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Observation values by epoch ("2009 12 18 23 08 01"), satellite ("G03")
// and RINEX type ("C1C", "L2W"); only values that are present.
using RinexObs = std::map<std::string, std::map<std::string, std::map<std::string, double>>>;

constexpr const char* convbinPath = "/usr/bin/convbin";

// Runs a tool with its output to /dev/null and waits at most `timeoutMs`
// (then kills it). True when it ran and exited 0.
bool runQuietly(const std::vector<std::string>& argv, int timeoutMs);

// Runs convbin on an RTCM 3 file; `approxTime` is "yyyy/mm/dd hh:mm:ss"
// near the data (RTCM 3 carries no week). False when it failed.
bool runConvbin(const std::string& rtcmFile, const std::string& obsFile,
                const std::string& approxTime);
RinexObs readRinexObs(const std::string& obsFile);

// GPS time of week in ms of an epoch key.
uint32_t rinexTowMs(const std::string& epoch);

// How far a stream's observations stray from the reference's.
struct ObsComparison {
    int epochs = 0;            // epochs of the stream found in the reference
    int values = 0;            // values compared
    // Epochs that lack one system altogether: a rover is sent the latest
    // message of a kind, so a message overtaken by the next epoch's before
    // it went out (at a fast pace) takes its system out of that epoch.
    int systemsMissing = 0;
    double worstCodeM = 0;     // metres
    double worstPhaseCyc = 0;  // cycles
    std::vector<std::string> problems;
};

// Compares every epoch of `stream` with the same epoch of `reference`, for
// the systems in `systems` ("GR"): the same satellites for each system the
// epoch has, and in bands 1 and
// 2 a code for every reference code and a phase for every reference phase,
// each within the tolerance of some reference value of its band (a band
// may hold several signals). Values the reference does not have are not
// compared.
ObsComparison compareObs(const RinexObs& reference, const RinexObs& stream,
                         const std::string& systems, double codeTolM, double phaseTolCyc);
