#include "stream_frames.h"

#include <algorithm>
#include <regex>

#include "core/checksum.h"

namespace {

enum Formats { fmtRtcm = 0, fmtBinr = 1, fmtNct = 2, fmtCmr = 3 };

const uint8_t* at(const std::string& s, size_t i)
{
    return reinterpret_cast<const uint8_t*>(s.data()) + i;
}

// Result of looking for one frame at a position.
enum class Look { whole, partial, bad };

Look lookRtcm(const std::string& s, size_t p, StreamFrame& f, std::string& why)
{
    size_t left = s.size() - p;
    const uint8_t* b = at(s, p);
    if (b[0] != 0xD3) {
        why = "no RTCM preamble";
        return Look::bad;
    }
    if (left < 3) return Look::partial;
    if (b[1] & 0xFC) {
        why = "RTCM reserved bits set";
        return Look::bad;
    }
    size_t payload = (size_t(b[1] & 0x03) << 8) | b[2];
    if (payload < 2) {
        why = "RTCM frame without a message number";
        return Look::bad;
    }
    if (left < payload + 6) return Look::partial;
    if (!checkCrc24q(b, payload + 6)) {
        why = "RTCM CRC-24Q mismatch";
        return Look::bad;
    }
    f.length = payload + 6;
    f.format = fmtRtcm;
    f.id = int(rtcmMessageNumber(b));
    return Look::whole;
}

// DLE id data DLE ETX, with a data byte equal to DLE sent twice.
Look lookBinr(const std::string& s, size_t p, StreamFrame& f, std::string& why)
{
    size_t left = s.size() - p;
    const uint8_t* b = at(s, p);
    if (b[0] != 0x10) {
        why = "no BINR DLE";
        return Look::bad;
    }
    if (left < 2) return Look::partial;
    if (b[1] != 0x69 && b[1] != 0x6A) {
        why = "BINR id is neither 69h nor 6Ah";
        return Look::bad;
    }
    std::vector<uint8_t> data;
    size_t i = 2;
    while (true) {
        if (i >= left) return Look::partial;
        if (b[i] != 0x10) {
            data.push_back(b[i++]);
            continue;
        }
        if (i + 1 >= left) return Look::partial;
        if (b[i + 1] == 0x10) {
            data.push_back(0x10);
            i += 2;
            continue;
        }
        if (b[i + 1] == 0x03) {
            i += 2;
            break;
        }
        why = "BINR DLE followed by neither DLE nor ETX";
        return Look::bad;
    }
    if (b[1] == 0x6A && data.size() != 14) {
        why = "BINR 6Ah without its 14 data bytes";
        return Look::bad;
    }
    if (b[1] == 0x69) {
        if (data.size() < 3 || (data.size() - 3) % 13 != 0) {
            why = "BINR 69h not 3 bytes and whole 13-byte blocks";
            return Look::bad;
        }
        if (data[0] != 1 && data[0] != 2) {
            why = "BINR 69h system neither GPS nor GLONASS";
            return Look::bad;
        }
        f.sub = data[0];
    }
    f.length = i;
    f.format = fmtBinr;
    f.id = b[1];
    return Look::whole;
}

// 02 99 66 id L(LE16) data CRC-16 [trailer] XOR 03; the frame is L + 4.
Look lookNct(const std::string& s, size_t p, StreamFrame& f, std::string& why)
{
    size_t left = s.size() - p;
    const uint8_t* b = at(s, p);
    static const uint8_t sync[3] = {0x02, 0x99, 0x66};
    for (size_t k = 0; k < 3 && k < left; ++k)
        if (b[k] != sync[k]) {
            why = "no NCT sync";
            return Look::bad;
        }
    if (left < 4) return Look::partial;
    uint8_t id = b[3];
    if (id != 0x5B && id != 0x5C && id != 0x5D && id != 0x5E) {
        why = "NCT id the caster does not build";
        return Look::bad;
    }
    if (left < 6) return Look::partial;
    size_t L = size_t(b[4]) | size_t(b[5]) << 8;
    if (L < 8 || L > 1025) {
        why = "NCT length out of range";
        return Look::bad;
    }
    if (left < L + 4) return Look::partial;
    if (b[L + 3] != 0x03) {
        why = "NCT frame without ETX";
        return Look::bad;
    }
    uint8_t x = 0;
    for (size_t k = 3; k < L + 2; ++k) x ^= b[k];
    if (x != b[L + 2]) {
        why = "NCT XOR mismatch";
        return Look::bad;
    }
    // 5C and 5D carry two trailer bytes after their CRC; 5B and 5E none.
    size_t crcAt = (id == 0x5C || id == 0x5D) ? L - 2 : L;
    uint16_t crc = calcCrc16Xmodem(b, 6, crcAt);
    bool lowFirst = id == 0x5E && b[6] == 3;   // the GPS + GLONASS 5E
    uint16_t stored = lowFirst ? uint16_t(b[crcAt] | b[crcAt + 1] << 8)
                               : uint16_t(b[crcAt] << 8 | b[crcAt + 1]);
    if (crc != stored) {
        why = "NCT CRC-16 mismatch";
        return Look::bad;
    }
    if ((id == 0x5C && L != 24) || (id == 0x5D && L != 42)) {
        why = "NCT 5C or 5D of the wrong length";
        return Look::bad;
    }
    f.length = L + 4;
    f.format = fmtNct;
    f.id = id;
    return Look::whole;
}

// 02 status 93 n data[n] sum 03, the sum over status .. data.
Look lookCmr(const std::string& s, size_t p, StreamFrame& f, std::string& why)
{
    size_t left = s.size() - p;
    const uint8_t* b = at(s, p);
    if (b[0] != 0x02) {
        why = "no CMR STX";
        return Look::bad;
    }
    if (left < 3) return Look::partial;
    if (b[2] != 0x93) {
        why = "CMR packet type is not 93h";
        return Look::bad;
    }
    if (left < 4) return Look::partial;
    size_t n = b[3];
    if (n < 2) {
        why = "CMR frame without a header";
        return Look::bad;
    }
    if (left < n + 6) return Look::partial;
    uint8_t sum = 0;
    for (size_t k = 1; k < n + 4; ++k) sum = uint8_t(sum + b[k]);
    if (sum != b[n + 4]) {
        why = "CMR checksum mismatch";
        return Look::bad;
    }
    if (b[n + 5] != 0x03) {
        why = "CMR frame without ETX";
        return Look::bad;
    }
    int type = b[5] >> 5;
    if (type > 3) {
        why = "CMR type above 3";
        return Look::bad;
    }
    f.length = n + 6;
    f.format = fmtCmr;
    f.id = type;
    return Look::whole;
}

}   // namespace

double Capture::arrivalOf(size_t end) const
{
    auto it = std::lower_bound(chunkEnds.begin(), chunkEnds.end(), end,
                               [](const std::pair<size_t, double>& c, size_t e) {
                                   return c.first < e;
                               });
    return it == chunkEnds.end() ? -1 : it->second;
}

size_t greetingLength(const std::string& bytes)
{
    static const std::regex greeting(
        "^ICY 200 OK\r\nServer: Quillmark Corvane-GNSS/1\\.0\r\n"
        "Date: \\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d GMT\r\n\r\n\r\n");
    std::smatch m;
    std::string head = bytes.substr(0, 200);
    if (!std::regex_search(head, m, greeting)) return 0;
    return size_t(m.length(0));
}

SplitStream splitStream(const Capture& capture, size_t from, RoverFormat format)
{
    SplitStream out;
    const std::string& s = capture.bytes;
    size_t p = from;
    bool first = true, formatSeen = false;
    while (p < s.size()) {
        StreamFrame f;
        std::string why;
        Look look;
        // Whatever the format, the reply is followed by one RTCM 1013; a
        // network rover also gets one every few seconds until its first
        // position has given it a master base.
        const bool keepAlive = !first && !formatSeen && p < s.size() &&
                               uint8_t(s[p]) == 0xD3 && format != RoverFormat::rtcm;
        if (first || keepAlive || format == RoverFormat::rtcm) {
            look = lookRtcm(s, p, f, why);
            if (look == Look::whole && (first || keepAlive) && format != RoverFormat::rtcm &&
                f.id != 1013) {
                look = Look::bad;
                why = "the reply is not followed by a 1013";
            }
        } else if (format == RoverFormat::binr) {
            look = lookBinr(s, p, f, why);
        } else if (format == RoverFormat::nct) {
            look = lookNct(s, p, f, why);
        } else {
            look = lookCmr(s, p, f, why);
        }
        if (look == Look::partial) {
            out.tailBytes = s.size() - p;
            break;
        }
        if (look == Look::bad) {
            out.error = why + " at stream byte " + std::to_string(p - from) + " after " +
                        std::to_string(out.frames.size()) + " frames";
            break;
        }
        f.offset = p;
        f.arrivalMs = capture.arrivalOf(p + f.length);
        out.frames.push_back(f);
        p += f.length;
        if (!first && f.format != 0) formatSeen = true;
        first = false;
    }
    return out;
}

int countFrames(const SplitStream& s, int format, int id, int sub)
{
    int n = 0;
    for (const StreamFrame& f : s.frames)
        if (f.format == format && f.id == id && (sub < 0 || f.sub == sub)) ++n;
    return n;
}

double largestGap(const SplitStream& s, int format, int id, double fromMs, double toMs,
                  int& count)
{
    count = 0;
    double last = fromMs, gap = 0;
    for (const StreamFrame& f : s.frames) {
        if (f.format != format || f.id != id) continue;
        if (f.arrivalMs < fromMs || f.arrivalMs >= toMs) continue;
        gap = std::max(gap, f.arrivalMs - last);
        last = f.arrivalMs;
        ++count;
    }
    return std::max(gap, toMs - last);
}

uint64_t rtcmBits(const uint8_t* frame, unsigned pos, unsigned n)
{
    uint64_t v = 0;
    for (unsigned k = 0; k < n; ++k) {
        unsigned bit = pos + k;
        v = v << 1 | ((frame[3 + bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return v;
}

uint32_t rtcmMessageNumber(const uint8_t* frame)
{
    return uint32_t(rtcmBits(frame, 0, 12));
}

uint32_t rtcmGpsTowMs(const uint8_t* frame)
{
    // Message number, station id, then the 30-bit time of week in both
    // the legacy and the MSM header.
    return uint32_t(rtcmBits(frame, 24, 30));
}
