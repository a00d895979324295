#pragma once
// A network replayed in process, without sockets or the wall clock: the
// recorded streams of several bases are fed epoch by epoch into base slots
// through the base data thread's own scan, the synthetic-station upkeep runs
// after each epoch as the network-correction thread would, and the frames
// one ERP record publishes are collected as a rover on that record would
// receive them. A test then reads them back with independent tools.

#include <cstdint>
#include <string>
#include <vector>

#include "rinex_obs.h"

struct NetworkStation {
    std::string name;
    double latitude = 0, longitude = 0, height = 0;
};

struct ErpReplay {
    // Bases (their recordings under `directory`, NAME.rtcm3) and the rover
    // point whose ERP record is followed.
    std::string directory;
    std::vector<NetworkStation> bases;
    double roverLatitude = 0, roverLongitude = 0;
    uint32_t mjd = 0;
    uint16_t gpsWeek = 0;

    // Filled by run(): every frame of the record's kinds in the order built
    // (observations of each epoch, station messages when rebuilt).
    std::string rtcm31;
    std::string rtcm32;
    std::string nct;
    std::string cmr;
    std::string binr;
    // Every 1019 and 1020 the bases sent, for readers that need the orbits
    // or the GLONASS channels.
    std::string ephemeris;
    int erpIndex = -1;
    int epochs = 0;
    int synthesisedEpochs = 0;
    double nodeLatitude = 0, nodeLongitude = 0;
    double nodeEcef[3] = {};
    // Mean wall time of one synthesis turn (all records in use), ms.
    double turnMs = 0;
    // New arcs per GPS satellite slot ("slot:count "), of the record.
    std::string restarts;
    // How the record's ionosphere was fitted over the run (lines of text).
    std::string fitSummary;

    // Replays the first `epochCount` epochs of every base. False when a
    // recording cannot be read or no ERP record was taken.
    bool run(int epochCount);
};

// The stations of tests/data/network/simulated/ (GPS) and of
// simulated-glonass/ (GPS + GLONASS), from their READMEs; the record
// followed is that of rover ROV1 or ROV2.
ErpReplay simulatedNetwork(bool glonass, int rover = 2);
// True ECEF position (m) of the set's ROV1 or ROV2 (truth.json).
void simulatedRoverTruth(bool glonass, int rover, double ecef[3]);
// The real Catalan stations CREU, EBRE and GARR with rover MATA.
ErpReplay cataloniaNetwork();

// Runs RTKLIB's rnx2rtkp (kinematic, the README's rtk.conf) between
// `start` and `end` ("yyyy/mm/dd hh:mm:ss") with the base at `baseEcef`;
// fills the fix ratio, the median and largest horizontal error of the fixed
// epochs and the median of all epochs against the rover's true position. False when it did not run.
struct RtkFigures {
    int epochs = 0;
    int fixed = 0;
    double fixRatio = 0;
    double medianHorizontalM = 0;
    double worstHorizontalM = 0;
    // Of every epoch, fixed or float.
    double medianAllHorizontalM = 0;
    // Every epoch of the solution: GPS time of week (s), fixed or not, and
    // its horizontal error (m).
    struct Epoch {
        double tow;
        bool fixed;
        double horizontalM;
    };
    std::vector<Epoch> solution;
};
bool runRnx2rtkp(const std::string& conf, const std::string& roverObs, const std::string& baseObs,
                 const std::vector<std::string>& nav, const double baseEcef[3],
                 const std::string& start, const std::string& end, const double truthEcef[3],
                 const std::string& workDir, RtkFigures& figures);

// Decompresses a .gz file into `dir`; the path of the result, empty on failure.
std::string gunzipInto(const std::string& gzPath, const std::string& dir);

// APPROX POSITION XYZ of a RINEX observation header.
bool rinexApproxPosition(const std::string& obsFile, double xyz[3]);
