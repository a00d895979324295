#include "network/imac_corrections.h"

#include <cmath>

#include "core/base_station.h"
#include "core/records.h"
#include "network/interpolation.h"
#include "network/record_copy.h"

double interpolateAtRover(int n, const double lat[4], const double lon[4], const double value[4],
                          double latR, double lonR)
{
    double v = value[0];
    switch (n) {
    case 2:
        v = interpolate2Bases(lat[0], lon[0], lat[1], lon[1], latR, lonR, value[0], value[1]);
        break;
    case 3:
        v = interpolate3Bases(lat[0], lon[0], lat[1], lon[1], lat[2], lon[2], latR, lonR,
                              value[0], value[1], value[2]);
        break;
    case 4:
        v = interpolate4Bases(lat[0], lon[0], lat[1], lon[1], lat[2], lon[2], lat[3], lon[3],
                              latR, lonR, value[0], value[1], value[2], value[3]);
        break;
    default:
        break;
    }
    // Stations on one line or at one point give no value: the master's own
    // is the best the rover can get then.
    return std::isfinite(v) ? v : value[0];
}

namespace {

// What the corrections read of one station, copied in one piece.
struct IonoStation {
    double latitude = 0, longitude = 0;
    uint32_t epochMs = 0;
    uint32_t satEpochMs[gpsSatEntries] = {};
    float ema[gpsSatEntries][2] = {};
    double code[gpsSatEntries][2] = {};
    double phase[gpsSatEntries][2] = {};
};

template <typename Sat>
void copyStation(const BaseStation& b, const Sat* sats, int entries, uint32_t epochMs, IonoStation& s)
{
    s.latitude = b.latitude;
    s.longitude = b.longitude;
    s.epochMs = epochMs;
    for (int i = 0; i < entries; ++i) {
        s.satEpochMs[i] = sats[i].epochMs;
        for (int band = 0; band < 2; ++band) {
            s.ema[i][band] = sats[i].codeDelayEma[band];
            s.code[i][band] = sats[i].codeDelay[band];
            s.phase[i][band] = sats[i].phaseAdvance[band];
        }
    }
}

void calcIMACCorr(int clientIndex, bool glonass, double* codeL1, double* phaseL1, double* codeL2,
                  double* phaseL2)
{
    if (clientIndex < 0 || clientIndex >= maxClients) return;
    const Client& c = client[clientIndex];
    const int master = c.masterBase;
    if (master < 0 || master >= maxBases) return;
    const int entries = glonass ? gloSatEntries : 32;

    uint8_t use[3] = {1, 1, 1};
    checkAuxBaseQuadrant(clientIndex, use[0], use[1], use[2]);
    int bases[4] = {master, -1, -1, -1};
    int slotOf[3] = {-1, -1, -1};   // aux k -> position in bases
    int count = 1;
    for (int k = 0; k < 3; ++k) {
        int a = c.auxBase[k];
        if (!use[k] || a < 0 || a >= maxBases) continue;
        slotOf[k] = count;
        bases[count++] = a;
    }

    IonoStation st[4];
    auto copy = [&] {
        for (int i = 0; i < count; ++i) {
            const BaseStation& b = baseStation[bases[i]];
            if (glonass)
                copyStation(b, b.gloSat, entries, b.gloEpochMs, st[i]);
            else
                copyStation(b, b.gpsSat, entries, b.gpsTowMs, st[i]);
        }
    };
    if (!copyConsistently(bases, count, copy)) return;

    double* out[2][2] = {{codeL1, phaseL1}, {codeL2, phaseL2}};
    const IonoStation& m = st[0];
    for (int i = 0; i < entries; ++i) {
        if (m.satEpochMs[i] != m.epochMs) {
            codeL1[i] = phaseL1[i] = codeL2[i] = phaseL2[i] = 0.0;
            continue;
        }
        for (int band = 0; band < 2; ++band) {
            if (m.ema[i][band] == 0) continue;
            bool takes[3] = {};
            int n = 1;
            for (int k = 0; k < 3; ++k) {
                takes[k] = slotOf[k] > 0 && st[slotOf[k]].ema[i][band] != 0;
                if (takes[k]) ++n;
            }
            // Station order: the master, then the auxiliaries in their
            // order, except that the pair of the second and third goes in
            // as third, second.
            int order[4] = {0, 0, 0, 0};
            int k = 1;
            if (n == 3 && !takes[0]) {
                order[1] = slotOf[2];
                order[2] = slotOf[1];
            } else {
                for (int a = 0; a < 3; ++a)
                    if (takes[a]) order[k++] = slotOf[a];
            }
            double lat[4], lon[4], code[4], phase[4];
            for (int s = 0; s < n; ++s) {
                const IonoStation& p = st[order[s]];
                lat[s] = p.latitude;
                lon[s] = p.longitude;
                code[s] = p.code[i][band];
                phase[s] = p.phase[i][band];
            }
            out[band][0][i] = interpolateAtRover(n, lat, lon, code, c.latitude, c.longitude);
            out[band][1][i] = interpolateAtRover(n, lat, lon, phase, c.latitude, c.longitude);
        }
    }
}

}   // namespace

void calcIMACCorrGPS(int clientIndex, double* codeL1, double* phaseL1, double* codeL2,
                     double* phaseL2)
{
    calcIMACCorr(clientIndex, false, codeL1, phaseL1, codeL2, phaseL2);
}

void calcIMACCorrGLO(int clientIndex, double* codeL1, double* phaseL1, double* codeL2,
                     double* phaseL2)
{
    calcIMACCorr(clientIndex, true, codeL1, phaseL1, codeL2, phaseL2);
}
