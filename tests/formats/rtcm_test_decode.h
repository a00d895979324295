#pragma once
// A small reader of built frames for the builder tests, written from the
// message layouts alone (it shares no code with the builders), so a test can
// look at the values a rover gets.

#include <cstdint>
#include <vector>

#include "core/bits.h"
#include "core/checksum.h"

namespace testdec {

constexpr double lightMs = 299792.458;

struct Fields {
    const uint8_t* buf;
    BitCursor c;
    Fields(const uint8_t* b, int frameLength) : buf(b), c(bitCursor(3, uint32_t(frameLength - 3))) {}
    uint64_t u(int n) { uint64_t v; readBitsU64(v, n, c, buf); return v; }
    int64_t s(int n) { int64_t v; readBitsI64(v, n, c, buf); return v; }
};

inline bool frameOk(const uint8_t* f, int len)
{
    if (len < 6 || f[0] != 0xD3) return false;
    int payload = ((f[1] & 3) << 8) | f[2];
    return payload + 6 == len && checkCrc24q(f, size_t(len));
}

inline int messageNumber(const uint8_t* f) { return (f[3] << 4) | (f[4] >> 4); }

// One satellite of a legacy observation message; ranges in metres, phases
// as phaserange in metres (0 where the message marks the value invalid).
struct LegacySat {
    int id = 0;
    int codeInd1 = 0, codeInd2 = 0, channel = -1;
    double code1 = 0, phase1 = 0, code2 = 0, phase2 = 0;
    double cnr1 = 0, cnr2 = 0;
    int lock1 = 0, lock2 = 0;
    int rawL2Code = 0, rawPhase1 = 0, rawPhase2 = 0;
};

struct LegacyMsg {
    int number = 0, station = 0, sync = 0, count = 0, smoothing = 0, interval = 0;
    uint32_t epoch = 0;
    std::vector<LegacySat> sats;
    bool overrun = false;
};

// 1003, 1004, 1011, 1012.
inline LegacyMsg decodeLegacy(const uint8_t* f, int len)
{
    LegacyMsg m;
    Fields r(f, len);
    m.number = int(r.u(12));
    m.station = int(r.u(12));
    bool glo = m.number == 1011 || m.number == 1012;
    bool ext = m.number == 1004 || m.number == 1012;
    m.epoch = uint32_t(r.u(glo ? 27 : 30));
    m.sync = int(r.u(1));
    m.count = int(r.u(5));
    m.smoothing = int(r.u(1));
    m.interval = int(r.u(3));
    const double unit = glo ? 2 * lightMs : lightMs;
    for (int i = 0; i < m.count; ++i) {
        LegacySat s;
        s.id = int(r.u(6));
        s.codeInd1 = int(r.u(1));
        if (glo) s.channel = int(r.u(5));
        uint64_t pr = r.u(glo ? 25 : 24);
        s.rawPhase1 = int(r.s(20));
        s.lock1 = int(r.u(7));
        int amb = ext ? int(r.u(glo ? 7 : 8)) : 0;
        if (ext) s.cnr1 = r.u(8) * 0.25;
        s.codeInd2 = int(r.u(2));
        s.rawL2Code = int(r.s(14));
        s.rawPhase2 = int(r.s(20));
        s.lock2 = int(r.u(7));
        if (ext) s.cnr2 = r.u(8) * 0.25;
        s.code1 = amb * unit + pr * 0.02;
        if (s.rawPhase1 != -524288) s.phase1 = s.code1 + s.rawPhase1 * 0.0005;
        if (s.rawL2Code != -8192) s.code2 = s.code1 + s.rawL2Code * 0.02;
        if (s.rawPhase2 != -524288) s.phase2 = s.code1 + s.rawPhase2 * 0.0005;
        m.sats.push_back(s);
    }
    m.overrun = r.c.overrun;
    return m;
}

struct MsmCell {
    int sat = 0, signal = 0;
    double code = 0, phase = 0;   // metres, 0 where invalid
    int rawFineCode = 0, rawFinePhase = 0;
    int lock = 0, halfCycle = 0, cnr = 0;
};

struct MsmMsg {
    int number = 0, station = 0, multiple = 0, smoothing = 0, clockSteering = 0;
    uint32_t epoch = 0;
    std::vector<int> sats, signals;
    std::vector<int> roughInt, roughMod;
    std::vector<MsmCell> cells;
    int maskCells = 0;
    bool overrun = false;
    int trailingBits = 0;   // payload bits left after the last field
};

inline MsmMsg decodeMsm4(const uint8_t* f, int len)
{
    MsmMsg m;
    Fields r(f, len);
    m.number = int(r.u(12));
    m.station = int(r.u(12));
    m.epoch = uint32_t(r.u(30));
    m.multiple = int(r.u(1));
    r.u(3);
    r.u(7);
    m.clockSteering = int(r.u(2));
    r.u(2);
    m.smoothing = int(r.u(1));
    r.u(3);
    uint64_t satMask = r.u(64);
    uint64_t sigMask = r.u(32);
    for (int i = 1; i <= 64; ++i)
        if (satMask >> (64 - i) & 1) m.sats.push_back(i);
    for (int i = 1; i <= 32; ++i)
        if (sigMask >> (32 - i) & 1) m.signals.push_back(i);
    m.maskCells = int(m.sats.size() * m.signals.size());
    for (size_t i = 0; i < m.sats.size(); ++i)
        for (size_t j = 0; j < m.signals.size(); ++j)
            if (r.u(1)) {
                MsmCell c;
                c.sat = int(i);
                c.signal = m.signals[j];
                m.cells.push_back(c);
            }
    for (size_t i = 0; i < m.sats.size(); ++i) m.roughInt.push_back(int(r.u(8)));
    for (size_t i = 0; i < m.sats.size(); ++i) m.roughMod.push_back(int(r.u(10)));
    for (auto& c : m.cells) c.rawFineCode = int(r.s(15));
    for (auto& c : m.cells) c.rawFinePhase = int(r.s(22));
    for (auto& c : m.cells) c.lock = int(r.u(4));
    for (auto& c : m.cells) c.halfCycle = int(r.u(1));
    for (auto& c : m.cells) c.cnr = int(r.u(6));
    for (auto& c : m.cells) {
        double rough = m.roughInt[c.sat] + m.roughMod[c.sat] / 1024.0;
        if (c.rawFineCode != -16384) c.code = (rough + c.rawFineCode / 16777216.0) * lightMs;
        if (c.rawFinePhase != -2097152) c.phase = (rough + c.rawFinePhase / 536870912.0) * lightMs;
        c.sat = m.sats[c.sat];
    }
    m.overrun = r.c.overrun;
    m.trailingBits = int(bitsRemaining(r.c));
    return m;
}

// The cell of satellite `sat` and signal id `signal`, or nullptr.
inline const MsmCell* findCell(const MsmMsg& m, int sat, int signal)
{
    for (const auto& c : m.cells)
        if (c.sat == sat && c.signal == signal) return &c;
    return nullptr;
}

}  // namespace testdec
