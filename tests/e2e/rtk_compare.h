#pragma once
// A network stream judged by a real RTK engine: RTKLIB's rnx2rtkp positions
// a rover station's own observations against the stream decoded by convbin,
// and the solution is compared with the station's known position. Also the
// double-differenced ionosphere left between the rover's observations and a
// reference's, from the geometry-free combination of the two codes.

#include <string>

#include "rinex_obs.h"

constexpr const char* rnx2rtkpPath = "/usr/bin/rnx2rtkp";

struct RtkFigures {
    int epochs = 0;
    int fixed = 0;
    double fixRatio = 0;
    double horizontalMedian = -1, horizontal95 = -1;   // m, over the epochs counted
};

// Runs rnx2rtkp with the options of `confFile` (plus `extraOptions`, lines
// "key=value" written after them) from `start` to `end` ("yyyy/mm/dd
// hh:mm:ss"), base at `basePosition` (ECEF m). False when it failed.
bool runRnx2rtkp(const std::string& confFile, const std::string& extraOptions,
                 const std::string& roverObs, const std::string& baseObs,
                 const std::string& navFile, const double basePosition[3],
                 const std::string& start, const std::string& end, const std::string& posFile,
                 const std::string& workDir);

// Figures of a solution file (out-solformat=xyz) against the true position:
// fix ratio over all epochs; horizontal errors over the fixed epochs
// (`fixedOnly`) or over every epoch.
RtkFigures rtkFigures(const std::string& posFile, const double truth[3], bool fixedOnly);

// Root mean square over satellite pairs of the mean (over the epochs
// between `fromTowMs` and `toTowMs`) double-differenced L1 ionospheric
// delay between rover and reference, in metres, from the GPS codes C1C and
// C2W; each satellite against the one seen in most epochs. `pairs` gets the
// number of pairs.
double ddIonosphereRms(const RinexObs& rover, const RinexObs& reference, uint32_t fromTowMs,
                       uint32_t toTowMs, int& pairs);
