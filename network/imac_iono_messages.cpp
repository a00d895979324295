#include "network/imac_iono_messages.h"

#include <cmath>
#include <cstring>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/binr/binr_encode.h"
#include "formats/nct/nct_encode.h"
#include "network/imac_corrections.h"

namespace {

// The stations that hold satellite i at the master's epoch, master first,
// auxiliaries in the rover's order.
int stationsFor(const IonoStation (&st)[4], const int (&auxAt)[3], int i, int (&order)[4])
{
    int n = 0;
    order[n++] = 0;
    for (int k = 0; k < 3; ++k)
        if (auxAt[k] > 0 && st[auxAt[k]].sat[i].epochMs == st[0].epochMs) order[n++] = auxAt[k];
    return n;
}

// Interpolates one quantity of satellite i at the rover.
template <typename Get>
double atRover(const IonoStation (&st)[4], const int (&order)[4], int n, int i, const Client& c,
               Get get)
{
    double lat[4], lon[4], v[4];
    for (int s = 0; s < n; ++s) {
        lat[s] = st[order[s]].latitude;
        lon[s] = st[order[s]].longitude;
        v[s] = get(st[order[s]].sat[i]);
    }
    return interpolateAtRover(n, lat, lon, v, c.latitude, c.longitude);
}

void put16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void putFloat(uint8_t* p, double value)
{
    float f = float(value);
    if (!std::isfinite(f)) f = 0;   // a rover cannot use a NaN correction
    uint32_t bits;
    static_assert(sizeof bits == sizeof f);
    std::memcpy(&bits, &f, sizeof bits);
    put16(p, bits & 0xFFFF);
    put16(p + 2, bits >> 16);
}

int binr69Imac(int clientIndex, uint8_t* buffer, bool glonass)
{
    IonoStation st[4];
    int count = 0, auxAt[3];
    if (!takeIonoStations(clientIndex, glonass, st, count, auxAt)) return 0;
    const Client& c = client[clientIndex];
    const IonoStation& m = st[0];

    uint8_t data[3 + 32 * 13];
    int n = 0;
    data[n++] = glonass ? 2 : 1;
    // Seconds within the hour, a whole hour past the first counting as 3600.
    float h = float(m.epochMs / 1000.0);
    while (h > 3600.0f) h -= 3600.0f;
    put16(data + n, uint32_t(h));
    n += 2;
    const int entries = glonass ? gloSatEntries : 32;
    for (int i = 0; i < entries; ++i) {
        if (m.sat[i].epochMs != m.epochMs) continue;
        int order[4];
        const int k = stationsFor(st, auxAt, i, order);
        data[n] = uint8_t(glonass ? gloSatNumber(i) : gpsSatNumber(i));
        put16(data + n + 1, m.sat[i].reference);
        put16(data + n + 3, uint16_t(m.sat[i].deltaIonoScaled));
        putFloat(data + n + 5, atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return double(s.codeDelayF); }));
        putFloat(data + n + 9, atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return double(s.ionoRate); }));
        n += 13;
    }
    // Data bytes equal to DLE are doubled as in every BINR frame we send,
    // so that a receiver finds the frame's end.
    return binrFrame(0x69, data, n, buffer);
}

}   // namespace

int encodeBinr69GpsImac(int clientIndex, uint8_t* buffer) { return binr69Imac(clientIndex, buffer, false); }
int encodeBinr69GloImac(int clientIndex, uint8_t* buffer) { return binr69Imac(clientIndex, buffer, true); }

int encodeNct5BImac(uint8_t* buffer, int clientIndex, uint32_t mode)
{
    IonoStation st[4];
    int count = 0, auxAt[3];
    if (!takeIonoStations(clientIndex, false, st, count, auxAt)) return 0;
    const Client& c = client[clientIndex];
    const IonoStation& m = st[0];

    Nct5BSat sats[32];
    int n = 0;
    for (int i = 0; i < 32; ++i) {
        if (m.sat[i].epochMs != m.epochMs) continue;
        int order[4];
        const int k = stationsFor(st, auxAt, i, order);
        Nct5BSat& r = sats[n++];
        r.codeDelay[0] = atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return s.codeDelay[0]; });
        r.codeDelay[1] = atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return s.codeDelay[1]; });
        r.phaseAdvance[0] = atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return s.phaseAdvance[0]; });
        r.phaseAdvance[1] = atRover(st, order, k, i, c, [](const IonoStation::Sat& s) { return s.phaseAdvance[1]; });
        r.numberAndFlags = uint8_t(gpsSatNumber(i) | (r.codeDelay[0] != 0 ? 0x20 : 0) |
                                   (r.codeDelay[1] != 0 ? 0x80 : 0));
        r.iod = uint8_t(m.sat[i].reference);
        r.byte14 = 0x06;
        r.slipCount = m.sat[i].slipCount;
    }
    const uint16_t week = m.gpsWeek != 0 ? m.gpsWeek : uint16_t(currentGpsWeek.load());
    return writeNct5B(buffer, week, m.epochMs, m.stationId, sats, n, mode);
}
