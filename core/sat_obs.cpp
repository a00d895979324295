#include "core/sat_obs.h"

static int foldIndex(int number, int entries)
{
    if (number == entries) return 0;
    if (number <= 0 || number > entries) return -1;
    return number;
}

int gpsSatIndex(int prn)
{
    // 32 folds onto 0; 33..39 stay free for the SBAS numbers the 1004
    // decoder maps there.
    if (prn == 32) return 0;
    if (prn <= 0 || prn >= gpsSatEntries) return -1;
    return prn;
}
int bdsSatIndex(int prn) { return foldIndex(prn, bdsSatEntries); }
int gloSatIndex(int slot) { return foldIndex(slot, gloSatEntries); }
int galSatIndex(int prn) { return foldIndex(prn, galSatEntries); }

int gpsSatNumber(int index) { return index == 0 ? 32 : index; }
int bdsSatNumber(int index) { return index == 0 ? bdsSatEntries : index; }
int gloSatNumber(int index) { return index == 0 ? gloSatEntries : index; }
int galSatNumber(int index) { return index == 0 ? galSatEntries : index; }

void countSlip(uint8_t& slipCount, uint32_t& lastSlipTime, uint32_t nowS)
{
    uint32_t d = nowS > lastSlipTime ? nowS - lastSlipTime : lastSlipTime - nowS;
    if (d > 60) {
        lastSlipTime = nowS;
        ++slipCount;
        if (slipCount > 7) slipCount = 1;
    }
}

void applySlipRuleBds(BdsSatObs& sat, const uint16_t (&newLock)[3], uint32_t nowS)
{
    bool slip = false;
    for (int i = 0; i < 3; ++i) {
        sat.slipFlag[i] = newLock[i] < sat.lockTimeS[i] ? 1 : 0;
        if (sat.slipFlag[i]) slip = true;
    }
    if (slip) countSlip(sat.slipCount, sat.lastSlipTime, nowS);
    for (int i = 0; i < 3; ++i) sat.lockTimeS[i] = newLock[i];
}
