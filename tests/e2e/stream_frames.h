#pragma once
// What a rover receives, cut into frames of its format, with every byte
// accounted for: a rover stream is the login reply, then frames and nothing
// else. The checks are written from the formats' framing rules, not with
// the caster's recognisers, so a fault shared by both is not hidden.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class RoverFormat { rtcm, binr, nct, cmr };

struct StreamFrame {
    size_t offset = 0;    // first byte in the capture
    size_t length = 0;
    int format = 0;       // 0 RTCM 3, 1 BINR, 2 NCT, 3 CMR
    int id = 0;           // RTCM message number, BINR id, NCT id, CMR type
    int sub = 0;          // BINR 69h: its system byte (1 GPS, 2 GLONASS)
    double arrivalMs = 0; // when its last byte arrived
};

struct SplitStream {
    std::vector<StreamFrame> frames;
    // Bytes after the last whole frame that begin a frame of the format but
    // had not all arrived when the capture ended.
    size_t tailBytes = 0;
    // Empty when every byte belongs to a whole frame (or to the tail).
    std::string error;
};

// Bytes as they arrived, with the time of each receive.
struct Capture {
    std::string bytes;
    std::vector<std::pair<size_t, double>> chunkEnds;   // end offset, ms
    void append(const char* data, size_t n, double ms)
    {
        bytes.append(data, n);
        chunkEnds.emplace_back(bytes.size(), ms);
    }
    // Arrival time of the byte just before `end`.
    double arrivalOf(size_t end) const;
};

// Length of the rover greeting ("ICY 200 OK", Server and Date lines and the
// blank lines) at the start of `bytes`, 0 when it is not there.
size_t greetingLength(const std::string& bytes);

// Cuts `capture.bytes` from `from` on into frames. An RTCM stream holds
// RTCM 3 frames only; the other formats hold their own frames, after the
// one RTCM 1013 the caster sends with its reply.
SplitStream splitStream(const Capture& capture, size_t from, RoverFormat format);

// Frames of one format and id (and, when `sub` is not -1, that sub value).
int countFrames(const SplitStream& s, int format, int id, int sub = -1);
// The largest gap in ms between consecutive arrivals of frames of
// (format, id) in the time window [fromMs, toMs), the window's ends
// counting as arrivals, and the count of such frames in the window.
double largestGap(const SplitStream& s, int format, int id, double fromMs, double toMs,
                  int& count);

// RTCM fields used to match frames with the epochs that were sent.
uint32_t rtcmMessageNumber(const uint8_t* frame);
// GPS time of week in ms of a 1004 or a GPS MSM frame.
uint32_t rtcmGpsTowMs(const uint8_t* frame);
// Reads `n` bits of an RTCM payload, bit 0 being the first after the header.
uint64_t rtcmBits(const uint8_t* frame, unsigned pos, unsigned n);
