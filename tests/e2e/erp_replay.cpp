#include "erp_replay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "caster/base_data_thread.h"
#include "core/base_station.h"
#include "core/erp_record.h"
#include "core/geodesy.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/rover_shift.h"
#include "network/erp_choice.h"
#include "network/erp_upkeep.h"
#include "network/nearest_base.h"
#include "platform/clock.h"
#include "replay_base.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

// 10 December 2026, the day of the simulated recordings.
constexpr time_t replayWallTime = 1796940000;

void feed(int base, const std::string& bytes, uint32_t clock)
{
    size_t at = 0;
    while (at < bytes.size()) {
        uint32_t n = appendBaseData(base, reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                                    uint32_t(bytes.size() - at));
        at += n;
        scanBaseBuffer(base, wallTime(), clock);
        if (n == 0) break;
    }
}

void collect(ErpRecord& r, std::string& out, const ErpMsgKind* kinds, int count,
             uint32_t* lastStamp)
{
    uint8_t frame[maxFrameBytes];
    for (int i = 0; i < count; ++i) {
        uint32_t length = 0, stamp = 0;
        if (!copyErpMessage(r, kinds[i], frame, length, stamp, lastStamp[kinds[i]])) continue;
        lastStamp[kinds[i]] = stamp;
        out.append(reinterpret_cast<const char*>(frame), length);
    }
}

}   // namespace

bool ErpReplay::run(int epochCount)
{
    initGlobals();
    setWallTimeOverride(replayWallTime);
    setMjd(mjd);
    setGpsWeek(gpsWeek);
    std::vector<std::vector<RecordedEpoch>> streams;
    for (size_t i = 0; i < bases.size() && i < size_t(maxBases); ++i) {
        auto bytes = readFileBytes(directory + "/" + bases[i].name + ".rtcm3");
        if (bytes.empty()) return false;
        streams.push_back(cutIntoEpochs(bytes));
        if (i == 0)
            for (const RtcmWalkFrame& f : walkRtcmFrames(bytes))
                if (f.messageNumber == 1019 || f.messageNumber == 1020)
                    ephemeris.append(reinterpret_cast<const char*>(&bytes[f.offset]), f.length);
        BaseStation& b = baseStation[i];
        b.connected = 1;
        b.trusted = 1;
        b.connectionSerial = 1;
        b.rtcmInput = 1;
        b.mountpoint = bases[i].name;
        b.strLatitude = bases[i].latitude;
        b.strLongitude = bases[i].longitude;
    }

    Client& c = client[0];
    c.streamCode = 50;
    c.latitude = roverLatitude;
    c.longitude = roverLongitude;

    static const ErpMsgKind rtcm31Kinds[] = {erpKind1005, erpKind1008, erpKind1004, erpKind1012};
    static const ErpMsgKind rtcm32Kinds[] = {erpKind1005, erpKind1033, erpKind1074, erpKind1084};
    static const ErpMsgKind nctKinds[] = {erpKindNct5C, erpKindNct5B, erpKindNct5E};
    static const ErpMsgKind cmrKinds[] = {erpKindCmr1, erpKindCmr0, erpKindCmr3};
    static const ErpMsgKind binrKinds[] = {erpKindBinr6A, erpKindBinr69Gps, erpKindBinr69Glo};
    uint32_t stamps[5][erpMsgKindCount] = {};

    double turnTotal = 0;
    int turns = 0;
    int fitBases[2][10] = {};
    std::vector<double> fitErrors[2];
    for (int k = 0; k < epochCount; ++k) {
        const uint32_t clock = 100000 + 1000 * uint32_t(k);
        bool any = false;
        for (size_t i = 0; i < streams.size(); ++i) {
            if (size_t(k) >= streams[i].size()) continue;
            feed(int(i), streams[i][size_t(k)].bytes, clock);
            any = true;
        }
        if (!any) break;
        ++epochs;
        // The rover asks once its bases are known (the first epochs bring
        // their station messages).
        if (erpIndex < 0 && selectNearestBases(0)) {
            chooseErpRecord(0);
            erpIndex = c.erpIndex;
        }
        updateErpRecords(clock + 50);
        auto t0 = std::chrono::steady_clock::now();
        updateErpRecords(clock + 300);
        turnTotal += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        ++turns;
        if (erpIndex < 0) continue;
        ErpRecord& r = erp[erpIndex];
        const size_t before = rtcm31.size();
        collect(r, rtcm31, rtcm31Kinds, 4, stamps[0]);
        collect(r, rtcm32, rtcm32Kinds, 4, stamps[1]);
        collect(r, nct, nctKinds, 3, stamps[2]);
        collect(r, cmr, cmrKinds, 3, stamps[3]);
        collect(r, binr, binrKinds, 3, stamps[4]);
        if (rtcm31.size() > before) ++synthesisedEpochs;
        // The fit from twenty minutes after the start, as the rover is judged.
        if (k < 1200) continue;
        for (int sys = 0; sys < 2; ++sys)
            for (int i = 0; i < (sys ? 24 : 32); ++i) {
                const ErpSatSlot& slot = sys ? r.glonassSlot[i] : r.gpsSlot[i];
                if (!slot.present || (!sys && slot.epochMs != r.gpsEpochMs)) continue;
                if (sys && slot.epochMs != r.gloEpochMs) continue;
                fitBases[sys][slot.ionoBases < 9 ? slot.ionoBases : 9]++;
                fitErrors[sys].push_back(slot.phaseError);
            }
    }
    setWallTimeOverride(0);
    if (erpIndex < 0) return false;
    nodeLatitude = erp[erpIndex].latitude;
    nodeLongitude = erp[erpIndex].longitude;
    nodeEcef[0] = erp[erpIndex].ecefX;
    nodeEcef[1] = erp[erpIndex].ecefY;
    nodeEcef[2] = erp[erpIndex].ecefZ;
    turnMs = turns ? turnTotal / turns : 0;
    for (int sys = 0; sys < 2; ++sys) {
        std::vector<double>& e = fitErrors[sys];
        if (e.empty()) continue;
        std::sort(e.begin(), e.end());
        const size_t held = size_t(std::count_if(e.begin(), e.end(), [](double v) { return !(v <= maxPhaseShiftErrorM); }));
        char line[256];
        std::snprintf(line, sizeof line,
                      "  %s fit: %zu satellite-epochs, bases 1/2/3/4/5: %d/%d/%d/%d/%d, phase "
                      "error median %.4f m, 90 %% %.4f m, phase held out %zu (%.1f %%)\n",
                      sys ? "GLONASS" : "GPS", e.size(), fitBases[sys][1], fitBases[sys][2],
                      fitBases[sys][3], fitBases[sys][4], fitBases[sys][5], e[e.size() / 2],
                      e[e.size() * 9 / 10], held, 100.0 * double(held) / double(e.size()));
        fitSummary += line;
    }
    for (int i = 0; i < 32; ++i)
        if (erp[erpIndex].gpsSlot[i].slipCount)
            restarts += std::to_string(i) + ":" + std::to_string(erp[erpIndex].gpsSlot[i].slipCount) + " ";
    return true;
}

ErpReplay simulatedNetwork(bool glonass, int rover)
{
    ErpReplay r;
    r.mjd = 61384;   // 2026-12-10
    r.gpsWeek = 2448;
    if (!glonass) {
        r.directory = dataPath("network/simulated");
        r.bases = {{"BAS1", 47.3300959, 14.9589589, 557.661},
                   {"BAS2", 47.4748395, 15.7434112, 537.778},
                   {"BAS3", 46.8219475, 16.1207186, 322.436},
                   {"BAS4", 46.5332947, 15.5820560, 643.582},
                   {"BAS5", 46.8692047, 14.6912565, 684.413}};
        r.roverLatitude = rover == 1 ? 47.2282831 : 47.0089932;
        r.roverLongitude = rover == 1 ? 15.0085323 : 15.75;
    } else {
        r.directory = dataPath("network/simulated-glonass");
        r.bases = {{"BAS1", 46.0330167, 12.1043883, 229.998},
                   {"BAS2", 45.7490926, 12.9500814, 337.756},
                   {"BAS3", 45.1978388, 12.8288095, 211.998},
                   {"BAS4", 45.0389183, 12.0942080, 288.690},
                   {"BAS5", 45.5400910, 11.4482096, 375.094}};
        r.roverLatitude = rover == 1 ? 45.75 : 45.7589932;
        r.roverLongitude = rover == 1 ? 12.7949077 : 12.5;
    }
    return r;
}

void simulatedRoverTruth(bool glonass, int rover, double ecef[3])
{
    static const double truth[2][2][3] = {
        {{4191393.4309486034, 1123749.49356697, 4659393.613707755},
         {4193701.1296688314, 1182746.0417083006, 4642809.444434451}},
        {{4347653.262494689, 987356.2412771197, 4545996.0136469025},
         {4352003.627989045, 964815.976127882, 4546719.785500218}}};
    for (int i = 0; i < 3; ++i) ecef[i] = truth[glonass ? 1 : 0][rover == 1 ? 0 : 1][i];
}

ErpReplay cataloniaNetwork()
{
    ErpReplay r;
    r.mjd = 61384;   // 2026-12-10
    r.gpsWeek = 2448;
    r.directory = dataPath("network/catalonia");
    // stations.csv
    r.bases = {{"CREU", 42.3188431, 3.3156036, 133.478},
               {"EBRE", 40.8208888, 0.4923633, 107.828},
               {"GARR", 41.2929415, 1.9140401, 634.604}};
    r.roverLatitude = 41.5399295;   // MATA
    r.roverLongitude = 2.4288586;
    return r;
}

std::string gunzipInto(const std::string& gzPath, const std::string& dir)
{
    std::string name = gzPath.substr(gzPath.find_last_of('/') + 1);
    if (name.size() > 3 && name.substr(name.size() - 3) == ".gz") name.resize(name.size() - 3);
    std::string out = dir + "/" + name;
    std::string cmd = "gzip -dc '" + gzPath + "' > '" + out + "'";
    if (std::system(cmd.c_str()) != 0) return "";
    return out;
}

bool rinexApproxPosition(const std::string& obsFile, double xyz[3])
{
    std::ifstream in(obsFile);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("APPROX POSITION XYZ") != std::string::npos) {
            std::istringstream s(line.substr(0, 60));
            return bool(s >> xyz[0] >> xyz[1] >> xyz[2]);
        }
        if (line.find("END OF HEADER") != std::string::npos) break;
    }
    return false;
}

bool runRnx2rtkp(const std::string& conf, const std::string& roverObs, const std::string& baseObs,
                 const std::vector<std::string>& nav, const double baseEcef[3],
                 const std::string& start, const std::string& end, const double truthEcef[3],
                 const std::string& workDir, RtkFigures& figures)
{
    const std::string out = workDir + "/rtk.pos";
    char base[128];
    std::snprintf(base, sizeof base, "%.4f %.4f %.4f", baseEcef[0], baseEcef[1], baseEcef[2]);
    std::string cmd = "rnx2rtkp -k '" + conf + "' -ts " + start + " -te " + end + " -r " + base +
                      " -o '" + out + "' '" + roverObs + "' '" + baseObs + "'";
    for (const std::string& n : nav) cmd += " '" + n + "'";
    cmd += " > /dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;

    double lat = 0, lon = 0, latDeg = 0, lonDeg = 0, h = 0;
    if (!ecefToGeodetic(truthEcef[0], truthEcef[1], truthEcef[2], lat, lon, latDeg, lonDeg, h))
        return false;
    const double east[3] = {-std::sin(lon), std::cos(lon), 0};
    const double north[3] = {-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon),
                             std::cos(lat)};
    std::ifstream in(out);
    std::string line;
    std::vector<double> errors, all;
    figures = RtkFigures{};
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '%') continue;
        std::istringstream s(line);
        double week = 0, tow = 0, x = 0, y = 0, z = 0;
        int q = 0;
        if (!(s >> week >> tow >> x >> y >> z >> q)) continue;
        ++figures.epochs;
        const double d[3] = {x - truthEcef[0], y - truthEcef[1], z - truthEcef[2]};
        const double e = d[0] * east[0] + d[1] * east[1] + d[2] * east[2];
        const double n = d[0] * north[0] + d[1] * north[1] + d[2] * north[2];
        all.push_back(std::hypot(e, n));
        figures.solution.push_back({tow, q == 1, std::hypot(e, n)});
        if (q != 1) continue;
        ++figures.fixed;
        errors.push_back(std::hypot(e, n));
    }
    if (figures.epochs == 0) return false;
    figures.fixRatio = double(figures.fixed) / figures.epochs;
    std::sort(all.begin(), all.end());
    figures.medianAllHorizontalM = all[all.size() / 2];
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        figures.medianHorizontalM = errors[errors.size() / 2];
        figures.worstHorizontalM = errors.back();
    }
    return true;
}
