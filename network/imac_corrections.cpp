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

template <typename Sat>
void copyStation(const BaseStation& b, const Sat* sats, int entries, uint32_t epochMs, IonoStation& s)
{
    s.latitude = b.latitude;
    s.longitude = b.longitude;
    s.epochMs = epochMs;
    s.stationId = b.stationId;
    s.gpsWeek = b.gpsWeek;
    for (int i = 0; i < entries; ++i) {
        const Sat& from = sats[i];
        IonoStation::Sat& to = s.sat[i];
        to.epochMs = from.epochMs;
        for (int band = 0; band < 2; ++band) {
            to.codeDelayEma[band] = from.codeDelayEma[band];
            to.codeDelay[band] = from.codeDelay[band];
            to.phaseAdvance[band] = from.phaseAdvance[band];
        }
        to.codeDelayF = from.codeDelayF[0];
        to.ionoRate = from.ionoRate[0];
        to.deltaIonoScaled = from.deltaIonoScaled;
        to.slipCount = from.slipCount;
    }
}

}   // namespace

bool takeIonoStations(int clientIndex, bool glonass, IonoStation (&st)[4], int& count,
                      int (&auxAt)[3])
{
    count = 0;
    auxAt[0] = auxAt[1] = auxAt[2] = -1;
    if (clientIndex < 0 || clientIndex >= maxClients) return false;
    const Client& c = client[clientIndex];
    const int master = c.masterBase;
    if (master < 0 || master >= maxBases) return false;

    uint8_t use[3] = {1, 1, 1};
    checkAuxBaseQuadrant(clientIndex, use[0], use[1], use[2]);
    int bases[4] = {master, -1, -1, -1};
    int n = 1;
    for (int k = 0; k < 3; ++k) {
        int a = c.auxBase[k];
        if (!use[k] || a < 0 || a >= maxBases || a == master) continue;
        auxAt[k] = n;
        bases[n++] = a;
    }
    auto copy = [&] {
        for (int i = 0; i < n; ++i) {
            const BaseStation& b = baseStation[bases[i]];
            if (glonass) {
                copyStation(b, b.gloSat, gloSatEntries, b.gloEpochMs, st[i]);
                for (int s = 0; s < gloSatEntries; ++s) st[i].sat[s].reference = b.gloSat[s].ephemerisTb;
            } else {
                copyStation(b, b.gpsSat, 32, b.gpsTowMs, st[i]);
                for (int s = 0; s < 32; ++s) st[i].sat[s].reference = b.gpsSat[s].nctRefWord;
            }
        }
    };
    if (!copyConsistently(bases, n, copy)) return false;
    count = n;
    return true;
}

namespace {

void calcIMACCorr(int clientIndex, bool glonass, double* codeL1, double* phaseL1, double* codeL2,
                  double* phaseL2)
{
    IonoStation st[4];
    int count = 0, slotOf[3];
    if (!takeIonoStations(clientIndex, glonass, st, count, slotOf)) return;
    const Client& c = client[clientIndex];
    const int entries = glonass ? gloSatEntries : 32;

    double* out[2][2] = {{codeL1, phaseL1}, {codeL2, phaseL2}};
    const IonoStation& m = st[0];
    for (int i = 0; i < entries; ++i) {
        if (m.sat[i].epochMs != m.epochMs) {
            codeL1[i] = phaseL1[i] = codeL2[i] = phaseL2[i] = 0.0;
            continue;
        }
        for (int band = 0; band < 2; ++band) {
            if (m.sat[i].codeDelayEma[band] == 0) continue;
            bool takes[3] = {};
            int n = 1;
            for (int k = 0; k < 3; ++k) {
                takes[k] = slotOf[k] > 0 && st[slotOf[k]].sat[i].codeDelayEma[band] != 0;
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
                code[s] = p.sat[i].codeDelay[band];
                phase[s] = p.sat[i].phaseAdvance[band];
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
