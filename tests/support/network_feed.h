#pragma once
// Recorded reference stations fed as simultaneous bases straight into the
// RTCM 3 decoders, epoch by epoch in GPS time order, without sockets or
// threads: the network computations can then be run on hours of history in
// seconds. Each frame belongs to the epoch of the last 1004 before it in
// its stream (a 1012 following its 1004, the station and ephemeris messages
// in between).

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/base_station.h"
#include "core/gnss_time.h"
#include "formats/rtcm3/rtcm3_ephemeris.h"
#include "formats/rtcm3/rtcm3_legacy_decode.h"
#include "formats/rtcm3/rtcm3_station_decode.h"
#include "support/rtcm_walk.h"
#include "support/test_support.h"

class NetworkFeed {
public:
    // Adds a recording as the base in `slot`; false when it holds no 1004.
    bool add(const std::string& path, int slot)
    {
        Stream s;
        s.slot = slot;
        s.data = readFileBytes(path);
        s.frames = walkRtcmFrames(s.data);
        uint32_t tow = 0;
        bool any = false;
        for (const RtcmWalkFrame& f : s.frames) {
            if (f.messageNumber == 1004) {
                // 12 + 12 bits in, 30 bits of time of week.
                const uint8_t* p = &s.data[f.offset + 3];
                uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits = bits << 8 | p[i];
                tow = uint32_t(bits >> (64 - 24 - 30)) & 0x3FFFFFFF;
                any = true;
            }
            s.tow.push_back(tow);
        }
        if (any) streams.push_back(std::move(s));
        return any;
    }

    // Feeds the next epoch of every base (all frames of the earliest time of
    // week still ahead); false when every recording is used up.
    bool nextEpoch(uint32_t& towMs)
    {
        bool found = false;
        for (const Stream& s : streams)
            if (s.next < s.frames.size() && (!found || s.tow[s.next] < towMs))
                towMs = s.tow[s.next], found = true;
        if (!found) return false;
        for (Stream& s : streams)
            while (s.next < s.frames.size() && s.tow[s.next] == towMs) feed(s, s.frames[s.next++]);
        // The date, as the bases' periodic upkeep keeps it (GLONASS orbits
        // need it).
        if (currentGpsWeek != 0 && currentGpsTowMs != 0)
            setMjd(uint32_t(gpsWeekToMjd(currentGpsWeek, currentGpsTowMs / 1000)));
        return true;
    }

    // Time of week of the first epoch of all recordings.
    uint32_t firstTowMs() const
    {
        uint32_t first = UINT32_MAX;
        for (const Stream& s : streams)
            for (size_t k = 0; k < s.frames.size(); ++k)
                if (s.frames[k].messageNumber == 1004) {
                    first = std::min(first, s.tow[k]);
                    break;
                }
        return first;
    }

    // Base slots whose station position is known are made trusted, as the
    // caster does after a minute of data.
    void trustPlacedBases()
    {
        for (const Stream& s : streams)
            if (baseStation[s.slot].latitudeRad != 0) baseStation[s.slot].trusted = 1;
    }

private:
    struct Stream {
        int slot = 0;
        std::vector<uint8_t> data;
        std::vector<RtcmWalkFrame> frames;
        std::vector<uint32_t> tow;
        size_t next = 0;
    };
    std::vector<Stream> streams;

    static void feed(Stream& s, const RtcmWalkFrame& f)
    {
        const uint8_t* p = &s.data[f.offset];
        switch (f.messageNumber) {
        case 1004: decodeRtcm1004(p, 0, s.slot); break;
        case 1012: decodeRtcm1012(p, 0, s.slot); break;
        case 1006: decodeRtcm1006(p, 0, s.slot); break;
        case 1005: decodeRtcm1005(p, 0, s.slot); break;
        case 1019: decodeRtcm1019(p, 0, f.length, s.slot); break;
        case 1020: decodeRtcm1020(p, 0, f.length, s.slot); break;
        default: break;
        }
    }
};
