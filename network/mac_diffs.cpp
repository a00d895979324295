#include "network/mac_diffs.h"

#include <cmath>

#include "core/base_station.h"
#include "core/records.h"

namespace {

// Samples an arc's carrier levelling needs before its ionosphere is
// better than the code's noise (as the gradients take it).
constexpr uint32_t minLevelledEpochs = 10;

// The difference fields hold +-65535 steps of 0.5 mm.
constexpr double differenceLimitM = 65535 * 0.0005;

// A difference the message can carry, else 0: a satellite with an
// ionospheric difference of 0 is not sent at all, which is the right fate
// for one whose values are unusable.
float fieldValue(double metres)
{
    if (!std::isfinite(metres) || std::fabs(metres) > differenceLimitM) return 0.0f;
    return float(metres);
}

bool validBase(int index)
{
    return index >= 0 && index < maxBases;
}

// The satellites of the master's epoch `epochMs` that the auxiliary has at
// the same epoch: the L1 ionospheric phase advance (the carrier-levelled
// estimate, negative: the phase is advanced) and the troposphere, master
// minus auxiliary. The ionospheric difference is thus the auxiliary's L1
// delay less the master's. A satellite goes
// into the rows only with a usable ionospheric difference, as a satellite
// whose ionospheric entry is 0 is not sent; true when one did.
template <typename Sat, int Rows>
bool fillRows(const Sat* master, const Sat* aux, int slots, uint32_t epochMs, float (&iono)[3][Rows],
              float (&geo)[3][Rows], int row)
{
    for (int s = 0; s < Rows; ++s) {
        iono[row][s] = 0;
        geo[row][s] = 0;
    }
    bool any = false;
    for (int s = 0; s < slots; ++s) {
        const Sat& m = master[s];
        const Sat& a = aux[s];
        if (m.epochMs != epochMs || a.epochMs != epochMs) continue;
        // A station without an ionosphere estimate for the satellite yet
        // would pass its whole delay off as a difference; the first epochs
        // of an arc still carry the code's noise.
        if (m.phaseAdvance[0] == 0 || a.phaseAdvance[0] == 0) continue;
        if (m.levelling.count < minLevelledEpochs || a.levelling.count < minLevelledEpochs)
            continue;
        float dIono = fieldValue(m.phaseAdvance[0] - a.phaseAdvance[0]);
        if (dIono == 0) continue;
        iono[row][s] = dIono;
        // A station that does not know the satellite's elevation has no
        // troposphere for it (0): its whole delay is no difference.
        if (m.tropoDelay != 0 && a.tropoDelay != 0)
            geo[row][s] = fieldValue(m.tropoDelay - a.tropoDelay);
        any = true;
    }
    return any;
}

}   // namespace

bool calcGpsCorrDiffs(int clientIndex, int auxSlot)
{
    if (clientIndex < 0 || clientIndex >= maxClients || auxSlot < 0 || auxSlot > 2) return false;
    Client& c = client[clientIndex];
    int master = c.masterBase, aux = c.auxBase[auxSlot];
    if (!validBase(master) || !validBase(aux)) {
        for (int s = 0; s < 40; ++s) c.gpsIonoDiff[auxSlot][s] = c.gpsGeoDiff[auxSlot][s] = 0;
        return false;
    }
    const BaseStation& m = baseStation[master];
    return fillRows(m.gpsSat, baseStation[aux].gpsSat, 32, m.gpsTowMs, c.gpsIonoDiff,
                    c.gpsGeoDiff, auxSlot);
}

bool calcGloCorrDiffs(int clientIndex, int auxSlot)
{
    if (clientIndex < 0 || clientIndex >= maxClients || auxSlot < 0 || auxSlot > 2) return false;
    Client& c = client[clientIndex];
    int master = c.masterBase, aux = c.auxBase[auxSlot];
    if (!validBase(master) || !validBase(aux)) {
        for (int s = 0; s < 24; ++s) c.gloIonoDiff[auxSlot][s] = c.gloGeoDiff[auxSlot][s] = 0;
        return false;
    }
    const BaseStation& m = baseStation[master];
    return fillRows(m.gloSat, baseStation[aux].gloSat, gloSatEntries, m.gloEpochMs, c.gloIonoDiff,
                    c.gloGeoDiff, auxSlot);
}
