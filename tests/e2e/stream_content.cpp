#include "stream_content.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "core/base_station.h"
#include "core/checksum.h"
#include "core/gnss_time.h"
#include "core/records.h"
#include "formats/cmr/cmr_decode.h"
#include "formats/nct/nct_decode.h"
#include "platform/console.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

namespace {

constexpr double lightMs = 299792.458;   // metres light travels in 1 ms
constexpr double c0 = 299792458.0;
constexpr double gpsL1 = c0 / 1575.42e6, gpsL2 = c0 / 1227.6e6;

// Code values of the formats that carry them modulo one light-millisecond:
// the difference brought into (-lightMs/2, lightMs/2].
double moduloDifference(double a, double b)
{
    double d = std::fmod(a - b, lightMs);
    if (d > lightMs / 2) d -= lightMs;
    if (d <= -lightMs / 2) d += lightMs;
    return d;
}

const uint8_t* bytesAt(const std::string& s, size_t i)
{
    return reinterpret_cast<const uint8_t*>(s.data()) + i;
}

int64_t signExtend(uint64_t v, unsigned bits)
{
    return (v & (uint64_t(1) << (bits - 1))) ? int64_t(v) - (int64_t(1) << bits) : int64_t(v);
}

void setBit(uint8_t* frame, unsigned pos, bool value)
{
    uint8_t& byte = frame[3 + pos / 8];
    uint8_t mask = uint8_t(0x80 >> (pos % 8));
    byte = value ? uint8_t(byte | mask) : uint8_t(byte & ~mask);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// WGS 84 geodetic latitude, longitude (degrees) and height (m).
void geodetic(const double ecef[3], double& lat, double& lon, double& height)
{
    const double a = 6378137.0, f = 1 / 298.257223563, e2 = f * (2 - f);
    double p = std::hypot(ecef[0], ecef[1]);
    lon = std::atan2(ecef[1], ecef[0]);
    lat = std::atan2(ecef[2], p * (1 - e2));
    for (int i = 0; i < 10; ++i) {
        double n = a / std::sqrt(1 - e2 * std::sin(lat) * std::sin(lat));
        height = p / std::cos(lat) - n;
        lat = std::atan2(ecef[2], p * (1 - e2 * n / (n + height)));
    }
    lat *= 180 / M_PI;
    lon *= 180 / M_PI;
}

// The reference epoch at a GPS time of week, or null.
const std::map<std::string, std::map<std::string, double>>* epochAt(const Recording& r,
                                                                    uint32_t towMs)
{
    for (const auto& [epoch, sats] : r.reference)
        if (rinexTowMs(epoch) == towMs) return &sats;
    return nullptr;
}

std::set<int> satellites(const std::map<std::string, std::map<std::string, double>>& epoch,
                         char system)
{
    std::set<int> out;
    for (const auto& [sat, values] : epoch)
        if (sat[0] == system) out.insert(std::stoi(sat.substr(1)));
    return out;
}

// The first value of a kind ('C', 'L') in a band, 0 when there is none.
double firstOf(const std::map<std::string, double>& sat, char kind, char number)
{
    for (const auto& [type, value] : sat)
        if (type[0] == kind && type[1] == number) return value;
    return 0;
}

std::string text(const std::set<int>& s)
{
    std::string t;
    for (int v : s) t += std::to_string(v) + " ";
    return t;
}

// A BINR frame's data with the doubled DLE bytes made single again.
std::string binrData(const std::string& frame)
{
    std::string data;
    for (size_t i = 2; i + 2 < frame.size(); ++i) {
        data.push_back(frame[i]);
        if (uint8_t(frame[i]) == 0x10) ++i;
    }
    return data;
}

}   // namespace

std::string gpsGloMsmOnly(const std::string& recording)
{
    std::vector<uint8_t> data(recording.begin(), recording.end());
    std::string out;
    for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
        uint32_t n = f.messageNumber;
        if (n != 1074 && n != 1084 && n != 1019 && n != 1020) continue;
        std::vector<uint8_t> frame(data.begin() + f.offset, data.begin() + f.offset + f.length);
        if (n == 1074 || n == 1084) {
            setBit(frame.data(), 54, n == 1074);   // the multiple-message bit
            appendCrc24q(frame.data(), frame.size() - 3);
        }
        out.append(frame.begin(), frame.end());
    }
    return out;
}

bool loadRecording(Recording& r, const std::string& path, const std::string& workDir,
                   const std::string& forConvbin)
{
    std::vector<uint8_t> data = readFileBytes(path);
    if (data.empty()) return false;
    r.bytes.assign(data.begin(), data.end());
    for (const RtcmWalkFrame& f : walkRtcmFrames(data)) {
        std::string frame = r.bytes.substr(f.offset, f.length);
        r.frames.insert(frame);
        if (f.messageNumber == 1019 || f.messageNumber == 1020) r.ephemeris += frame;
        if (f.messageNumber == 1005 && !r.hasPosition) {
            const uint8_t* p = &data[f.offset];
            r.ecef[0] = double(signExtend(rtcmBits(p, 34, 38), 38)) * 0.0001;
            r.ecef[1] = double(signExtend(rtcmBits(p, 74, 38), 38)) * 0.0001;
            r.ecef[2] = double(signExtend(rtcmBits(p, 114, 38), 38)) * 0.0001;
            r.hasPosition = true;
        }
    }
    std::string input = workDir + "/" + r.name + "-recording.rtcm3";
    std::string obs = workDir + "/" + r.name + "-recording.obs";
    writeFile(input, forConvbin.empty() ? r.bytes : forConvbin);
    if (!runConvbin(input, obs, r.approxTime)) return false;
    r.reference = readRinexObs(obs);
    return !r.reference.empty();
}

namespace {

// Payload bit of the synchronous flag of a legacy observation message, or
// of the multiple message bit of an MSM; -1 for any other message.
int syncFlagBit(int id)
{
    if (id >= 1001 && id <= 1004) return 54;
    if (id >= 1009 && id <= 1012) return 51;
    if (id >= 1071 && id <= 1127 && id % 10 >= 1 && id % 10 <= 7) return 54;
    return -1;
}

}   // namespace

int expectRelayedUnchanged(const Capture& c, const SplitStream& s, const Recording& r,
                           const std::set<int>& messages)
{
    int compared = 0, differing = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 0 || !messages.count(f.id)) continue;
        ++compared;
        std::string frame = c.bytes.substr(f.offset, f.length);
        if (r.frames.count(frame)) continue;
        // The stream sends an epoch's systems in its own order and says
        // which of them closes the epoch.
        const int bit = syncFlagBit(f.id);
        if (bit >= 0) {
            uint8_t* p = reinterpret_cast<uint8_t*>(frame.data());
            setBit(p, unsigned(bit), !rtcmBits(p, unsigned(bit), 1));
            appendCrc24q(p, frame.size() - 3);
            if (r.frames.count(frame)) continue;
        }
        ++differing;
    }
    EXPECT_EQ(differing, 0) << "of " << compared << " frames";
    return compared;
}

void expectConvbinMatches(const Capture& c, const SplitStream& s, const Recording& r,
                          const std::string& workDir, const std::string& name,
                          const std::string& systems)
{
    // GLONASS MSM phases need the frequency channels of the 1020s.
    std::string rtcm = r.ephemeris;
    for (const StreamFrame& f : s.frames)
        if (f.format == 0) rtcm += c.bytes.substr(f.offset, f.length);
    std::string input = workDir + "/" + name + ".rtcm3", obs = workDir + "/" + name + ".obs";
    writeFile(input, rtcm);
    ASSERT_TRUE(runConvbin(input, obs, r.approxTime));
    // Code within the coarser of the two formats' steps (0.02 m legacy,
    // 2^-24 ms MSM4) and the printed millimetre; phase likewise (0.5 mm
    // legacy, 2^-29 ms MSM4, about 0.003 cycles).
    ObsComparison cmp = compareObs(r.reference, readRinexObs(obs), systems, 0.02, 0.005);
    EXPECT_GE(cmp.epochs, 8);
    EXPECT_GE(cmp.values, 8 * 20);
    EXPECT_LE(cmp.systemsMissing * 10, cmp.epochs);
    EXPECT_TRUE(cmp.problems.empty()) << cmp.problems.size() << " problems, first: "
                                      << (cmp.problems.empty() ? "" : cmp.problems[0]);
    std::printf("%s: %d epochs (%d lack a system), %d values, worst code %.4f m, "
                "worst phase %.4f cycles\n",
                name.c_str(), cmp.epochs, cmp.systemsMissing, cmp.values, cmp.worstCodeM,
                cmp.worstPhaseCyc);
}

void expectBinrMatches(const Capture& c, const SplitStream& s, const Recording& r)
{
    int positions = 0, gps = 0, glonass = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 1) continue;
        std::string data = binrData(c.bytes.substr(f.offset, f.length));
        const uint8_t* d = bytesAt(data, 0);
        if (f.id == 0x6A) {
            ++positions;
            ASSERT_TRUE(r.hasPosition);
            double lat, lon, height;
            geodetic(r.ecef, lat, lon, height);
            int32_t la = int32_t(signExtend(d[0] | d[1] << 8 | d[2] << 16, 24));
            int32_t lo = int32_t(signExtend(d[3] | d[4] << 8 | d[5] << 16, 24));
            int16_t h = int16_t(d[6] | d[7] << 8);
            // Truncated to the field's step.
            EXPECT_NEAR(la * 90.0 / 8388608.0, lat, 90.0 / 8388608.0);
            EXPECT_NEAR(lo * 360.0 / 8388608.0, lon, 360.0 / 8388608.0);
            EXPECT_NEAR(h, height, 1.0);
            EXPECT_EQ(data.substr(8), std::string("\1\0\1\0\1\0", 6));
            continue;
        }
        // 69h: system, seconds within the hour, 13-byte satellite blocks.
        int system = d[0];
        int seconds = d[1] | d[2] << 8;
        std::set<int> sats;
        for (size_t k = 3; k + 13 <= data.size(); k += 13) sats.insert(d[k]);
        char letter = system == 1 ? 'G' : 'R';
        // GLONASS counts its hour in UTC.
        int shift = system == 1 ? 0 : r.leapSeconds;
        const std::map<std::string, std::map<std::string, double>>* epoch = nullptr;
        for (const auto& [key, values] : r.reference)
            if (int((rinexTowMs(key) / 1000 - shift) % 3600) == seconds &&
                !satellites(values, letter).empty())
                epoch = &values;
        if (!epoch) {
            ADD_FAILURE() << "69h of system " << system << " at " << seconds
                          << " s matches no epoch";
            continue;
        }
        (system == 1 ? gps : glonass)++;
        EXPECT_EQ(text(sats), text(satellites(*epoch, letter))) << "system " << system;
    }
    EXPECT_GE(gps, 8);
    EXPECT_GE(glonass, 8);
    EXPECT_GE(positions, r.hasPosition ? 1 : 0);
}

void expectNctMatches(const Capture& c, const SplitStream& s, const Recording& r)
{
    initGlobals();
    initEpochValues();
    consoleCaptureStart();   // the readers report as they go
    const int slot = 1;
    BaseStation& b = baseStation[slot];
    int epochs = 0, positions = 0;
    double worstGps = 0, worstGlo = 0;
    for (size_t i = 0; i < s.frames.size(); ++i) {
        const StreamFrame& f = s.frames[i];
        if (f.format != 2) continue;
        const uint8_t* frame = bytesAt(c.bytes, f.offset);
        if (f.id == 0x5C) {
            EXPECT_TRUE(r.hasPosition);
            EXPECT_TRUE(decodeNct5C(frame, 0, uint32_t(f.length), slot));
            EXPECT_NEAR(b.ecefX, r.ecef[0], 0.002);
            EXPECT_NEAR(b.ecefY, r.ecef[1], 0.002);
            EXPECT_NEAR(b.ecefZ, r.ecef[2], 0.002);
            ++positions;
            continue;
        }
        if (f.id != 0x5E) continue;
        // The 5E time word counts ticks from a second known roughly, as the
        // caster knows the last epoch's: a 5B near it carries one plainly.
        uint32_t seconds = 0;
        for (size_t j = 0; j < s.frames.size(); ++j) {
            const StreamFrame& g = s.frames[j];
            if (g.format != 2 || g.id != 0x5B) continue;
            if (j > i && seconds) break;
            const uint8_t* h = bytesAt(c.bytes, g.offset);
            seconds = h[10] | h[11] << 8 | h[12] << 16;
            if (j > i) break;
        }
        if (!seconds) continue;
        currentGpsTowMs = (seconds - 2) * 1000;
        if (decodeNct5E(frame, 0, uint32_t(f.length), slot) <= 0) {
            ADD_FAILURE() << "5E near " << seconds << " s does not read back";
            continue;
        }
        const auto* epoch = epochAt(r, b.gpsTowMs);
        if (!epoch) {
            ADD_FAILURE() << "5E at " << b.gpsTowMs << " ms matches no epoch";
            continue;
        }
        ++epochs;
        std::set<int> gps, glo;
        for (int prn = 1; prn <= 32; ++prn) {
            const GpsSatObs& sat = b.gpsSat[gpsSatIndex(prn)];
            if (sat.epochMs != b.gpsTowMs) continue;
            gps.insert(prn);
            auto ref = epoch->find((prn < 10 ? "G0" : "G") + std::to_string(prn));
            if (ref == epoch->end()) continue;
            // The reader of this 5E form adds a fixed 20 m to the GPS code.
            double d1 = moduloDifference(sat.codeRange[0] - 20.0, firstOf(ref->second, 'C', '1'));
            double d2 = moduloDifference(sat.codeRange[1] - 20.0, firstOf(ref->second, 'C', '2'));
            worstGps = std::max({worstGps, std::fabs(d1), std::fabs(d2)});
        }
        for (int slotNumber = 1; slotNumber <= 24; ++slotNumber) {
            const GloSatObs& sat = b.gloSat[gloSatIndex(slotNumber)];
            if (sat.epochMs != b.gloEpochMs) continue;
            glo.insert(slotNumber);
            auto ref = epoch->find((slotNumber < 10 ? "R0" : "R") + std::to_string(slotNumber));
            if (ref == epoch->end()) continue;
            double d1 = moduloDifference(sat.codeRange[0], firstOf(ref->second, 'C', '1'));
            double d2 = moduloDifference(sat.codeRange[1], firstOf(ref->second, 'C', '2'));
            worstGlo = std::max({worstGlo, std::fabs(d1), std::fabs(d2)});
        }
        EXPECT_EQ(text(gps), text(satellites(*epoch, 'G'))) << b.gpsTowMs;
        EXPECT_EQ(text(glo), text(satellites(*epoch, 'R'))) << b.gpsTowMs;
    }
    consoleCaptureStop();
    // 0.02 m steps of L1 code and of L2 minus L1, truncated.
    EXPECT_LT(worstGps, 0.045);
    EXPECT_LT(worstGlo, 0.045);
    EXPECT_GE(epochs, 8);
    EXPECT_GE(positions, r.hasPosition ? 1 : 0);
    std::printf("NCT: %d epochs, worst code GPS %.4f m, GLONASS %.4f m\n", epochs, worstGps,
                worstGlo);
}

void expectCmrMatches(const Capture& c, const SplitStream& s, const Recording& r)
{
    initGlobals();
    initEpochValues();
    consoleCaptureStart();
    const int slot = 2;
    BaseStation& b = baseStation[slot];
    int epochs = 0, positions = 0;
    double worstCode = 0, worstPhase = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != 3) continue;
        const uint8_t* frame = bytesAt(c.bytes, f.offset);
        if (f.id == 1) {
            EXPECT_TRUE(r.hasPosition);
            EXPECT_TRUE(decodeCmr(frame, 0, uint32_t(f.length), true, slot));
            EXPECT_NEAR(b.ecefX, r.ecef[0], 0.002);
            EXPECT_NEAR(b.ecefY, r.ecef[1], 0.002);
            EXPECT_NEAR(b.ecefZ, r.ecef[2], 0.002);
            ++positions;
            continue;
        }
        if (f.id != 0) continue;
        // The epoch counts milliseconds of a 240 s period.
        uint32_t field = uint32_t(frame[6]) << 10 | uint32_t(frame[7]) << 2 | frame[8] >> 6;
        const std::map<std::string, std::map<std::string, double>>* epoch = nullptr;
        uint32_t tow = 0;
        for (const auto& [key, values] : r.reference)
            if (rinexTowMs(key) % 240000 == field) {
                epoch = &values;
                tow = rinexTowMs(key);
            }
        if (!epoch) {
            ADD_FAILURE() << "CMR type 0 at " << field << " ms matches no epoch";
            continue;
        }
        setGpsTow(tow);
        if (!decodeCmr(frame, 0, uint32_t(f.length), true, slot)) {
            ADD_FAILURE() << "CMR type 0 at " << tow << " ms does not read back";
            continue;
        }
        EXPECT_EQ(b.gpsTowMs, tow);
        ++epochs;
        std::set<int> gps;
        for (int prn = 1; prn <= 32; ++prn) {
            const GpsSatObs& sat = b.gpsSat[gpsSatIndex(prn)];
            if (sat.epochMs != tow) continue;
            gps.insert(prn);
            auto ref = epoch->find((prn < 10 ? "G0" : "G") + std::to_string(prn));
            if (ref == epoch->end()) continue;
            const auto& v = ref->second;
            double c1 = firstOf(v, 'C', '1'), c2 = firstOf(v, 'C', '2');
            worstCode = std::max({worstCode, std::fabs(moduloDifference(sat.codeRange[0], c1)),
                                  std::fabs(moduloDifference(sat.codeRange[1], c2))});
            // The carriers as the rover rebuilds them (code as sent plus the
            // carrier-minus-code field) against the recording's, in cycles,
            // up to whole milliseconds of range: a field taken against any
            // other code than the one sent moves the carrier by the code's
            // truncation. A carrier neither side has (a satellite without
            // L2 in this epoch) is no error; one side alone is.
            auto carrierError = [&](double ours, double theirs, double wavelength) {
                if (ours == 0 && theirs == 0) return 0.0;
                if (ours == 0 || theirs == 0) return 1.0;
                return moduloDifference(ours, theirs * wavelength) / wavelength;
            };
            double p1 = carrierError(sat.phaseRange[0], firstOf(v, 'L', '1'), gpsL1);
            double p2 = carrierError(sat.phaseRange[1], firstOf(v, 'L', '2'), gpsL2);
            worstPhase = std::max({worstPhase, std::fabs(p1), std::fabs(p2)});
        }
        EXPECT_EQ(text(gps), text(satellites(*epoch, 'G'))) << tow;
    }
    consoleCaptureStop();
    // Code in 1/8 L1 cycle (0.024 m), L2 minus L1 in cm; carrier minus code
    // in 1/256 cycle; each on top of the recording's own 0.02 m and 0.5 mm.
    EXPECT_LT(worstCode, 0.045);
    EXPECT_LT(worstPhase, 0.01);
    EXPECT_GE(epochs, 8);
    EXPECT_GE(positions, r.hasPosition ? 1 : 0);
    std::printf("CMR: %d epochs, worst code %.4f m, worst phase %.4f cycles\n", epochs,
                worstCode, worstPhase);
}
