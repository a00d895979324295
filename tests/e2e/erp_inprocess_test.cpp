// The synthetic reference station judged by independent tools, in process:
// the simulated network's recordings go through the base data thread's scan
// into base slots, the ERP upkeep synthesises every epoch, and the record's
// RTCM 3.1 stream is read back by RTKLIB (convbin to RINEX, rnx2rtkp for
// kinematic RTK against the rover's own observations). The perfect ERP of
// the simulation (ideal_vrs) is the reference satellite by satellite.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <unistd.h>

#include "erp_replay.h"
#include "rinex_obs.h"
#include "support/test_support.h"

namespace {

bool toolsPresent()
{
    return access(convbinPath, X_OK) == 0 && access("/usr/bin/rnx2rtkp", X_OK) == 0;
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

// Between-satellite differences of (ERP - ideal) per epoch: code spread
// (m) around the epoch's mean, and for the phase the largest change of a
// satellite's value against the epoch's mean over an unbroken run (m).
struct ObsAgreement {
    int epochs = 0;
    double codeRms = 0;
    double worstPhaseDrift = 0;
    std::map<std::string, double> phaseDriftBySat;
};

ObsAgreement compareWithIdeal(const RinexObs& erp, const RinexObs& ideal, const char* phaseType,
                              double wavelength, const std::string& from, const std::string& to)
{
    ObsAgreement a;
    double codeSum = 0;
    int codeN = 0;
    std::map<std::string, std::vector<double>> series;
    for (const auto& [epoch, sats] : erp) {
        if (epoch < from || epoch > to) continue;
        auto it = ideal.find(epoch);
        if (it == ideal.end()) continue;
        std::map<std::string, double> code, phase;
        for (const auto& [sat, values] : sats) {
            auto jt = it->second.find(sat);
            if (jt == it->second.end()) continue;
            auto c1 = values.find("C1C"), ic1 = jt->second.find("C1C");
            if (c1 != values.end() && ic1 != jt->second.end()) code[sat] = c1->second - ic1->second;
            auto l1 = values.find(phaseType), il1 = jt->second.find(phaseType);
            if (l1 != values.end() && il1 != jt->second.end())
                phase[sat] = (l1->second - il1->second) * wavelength;
            if (getenv("ERP_IF")) {
                auto l2 = values.find("L2W"), il2 = jt->second.find("L2W");
                if (l1 != values.end() && il1 != jt->second.end() && l2 != values.end() && il2 != jt->second.end()) {
                    const double f1 = 1575.42e6, f2 = 1227.6e6, c = 299792458.0;
                    double d1 = (l1->second - il1->second) * c / f1, d2 = (l2->second - il2->second) * c / f2;
                    phase[sat] = (f1 * f1 * d1 - f2 * f2 * d2) / (f1 * f1 - f2 * f2);
                }
            }
        }
        if (code.size() < 4) continue;
        ++a.epochs;
        double mean = 0;
        for (auto& [s, v] : code) mean += v;
        mean /= double(code.size());
        for (auto& [s, v] : code) {
            codeSum += (v - mean) * (v - mean);
            ++codeN;
        }
        double pmean = 0;
        for (auto& [s, v] : phase) pmean += v;
        pmean /= double(phase.size());
        for (auto& [s, v] : phase) {
            const double d = v - pmean;
            // A whole-cycle step is a new arc on one side: start again there.
            auto& run = series[s];
            if (!run.empty() && std::fabs(d - run.back()) > 0.5 * wavelength) run.clear();
            run.push_back(d);
        }
    }
    // The drift of an arc: its mean over the last minute against its mean
    // over the first, so that the phase noise does not count.
    for (auto& [s, run] : series) {
        if (run.size() < 120) continue;
        double first = 0, last = 0;
        for (size_t i = 0; i < 60; ++i) {
            first += run[i] / 60;
            last += run[run.size() - 1 - i] / 60;
        }
        const double drift = std::fabs(last - first);
        a.phaseDriftBySat[s] = drift;
        a.worstPhaseDrift = std::max(a.worstPhaseDrift, drift);
    }
    a.codeRms = codeN ? std::sqrt(codeSum / codeN) : 0;
    return a;
}

}   // namespace

// Ten minutes of RTK after twenty of replayed history: the ERP must fix as
// a reference station 1 km from the rover would, and its observations must
// follow the perfect ERP's.
TEST(ErpInProcess, SimulatedNetworkRtkFromErpRnx2rtkpConvbin)
{
    if (!toolsPresent()) GTEST_SKIP() << "convbin or rnx2rtkp missing (Debian package rtklib)";
    ErpReplay replay = simulatedNetwork(false);
    ASSERT_TRUE(replay.run(1800));
    EXPECT_NEAR(replay.nodeLatitude, 47.0, 1e-9);
    EXPECT_NEAR(replay.nodeLongitude, 15.75, 1e-9);
    EXPECT_GT(replay.synthesisedEpochs, 1700);

    const std::string dir = makeTempDir();
    writeBytes(dir + "/erp.rtcm3", replay.rtcm31);
    ASSERT_TRUE(runConvbin(dir + "/erp.rtcm3", dir + "/erp.obs", "2026/12/10 21:30:00"));
    double baseEcef[3];
    ASSERT_TRUE(rinexApproxPosition(dir + "/erp.obs", baseEcef));
    EXPECT_NEAR(baseEcef[0], replay.nodeEcef[0], 0.01);
    EXPECT_NEAR(baseEcef[2], replay.nodeEcef[2], 0.01);

    const std::string ideal = gunzipInto(dataPath("network/simulated/ideal_vrs_R2.rnx.gz"), dir);
    const std::string rover = gunzipInto(dataPath("network/simulated/ROV2.rnx.gz"), dir);
    ASSERT_FALSE(ideal.empty());
    ASSERT_FALSE(rover.empty());
    RinexObs erpObs = readRinexObs(dir + "/erp.obs");
    RinexObs idealObs = readRinexObs(ideal);
    ObsAgreement a = compareWithIdeal(erpObs, idealObs, "L1C", 299792458.0 / 1575.42e6,
                                      "2026 12 10 21 50 00", "2026 12 10 22 00 00");
    std::printf("ERP vs ideal_vrs_R2, 21:50-22:00: %d epochs, code spread %.3f m, worst L1 phase "
                "drift %.3f m\n",
                a.epochs, a.codeRms, a.worstPhaseDrift);
    for (auto& [s, d] : a.phaseDriftBySat) std::printf("  %s %.3f\n", s.c_str(), d);

    const double truth[3] = {4193701.1296688314, 1182746.0417083006, 4642809.444434451};
    RtkFigures f;
    ASSERT_TRUE(runRnx2rtkp(dataPath("network/simulated/rtk.conf"), rover, dir + "/erp.obs",
                            {dataPath("network/simulated/brdc3440.26n")}, baseEcef,
                            "2026/12/10 21:50:00", "2026/12/10 22:00:00", truth, dir, f));
    std::printf("rnx2rtkp ROV2 against the ERP, 21:50-22:00: %d epochs, fix ratio %.3f, "
                "horizontal median %.3f m, worst %.3f m; one synthesis turn %.3f ms\n",
                f.epochs, f.fixRatio, f.medianHorizontalM, f.worstHorizontalM, replay.turnMs);
    EXPECT_GE(f.fixRatio, 0.8);
    EXPECT_LE(f.worstHorizontalM, 0.05);
    if (!getenv("ERP_KEEP")) std::filesystem::remove_all(dir);
    else std::printf("kept %s\n", dir.c_str());
}
