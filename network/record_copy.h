#pragma once
// Reading several base records as they stood after one decode each.
//
// The base data thread rewrites a record frame by frame without a lock and
// counts its writes (beginRecordWrite / endRecordWrite). A builder on the
// rover thread copies what it needs inside copyConsistently, which runs the
// copy again when any of the bases was written meanwhile, so that an epoch
// never mixes the values of two decodes.

#include <thread>

#include "core/base_station.h"
#include "platform/clock.h"

// Tries for a few milliseconds, longer than one frame's decode lasts: a
// builder that gives up sends nothing for this epoch, so a count of quick
// yields alone could lose the epoch to a decode that was simply still
// running. False when the bases kept changing all that time.
template <typename Copy>
bool copyConsistently(const int* bases, int count, Copy copy)
{
    constexpr uint32_t patienceMs = 3;
    constexpr int maxAttempts = 100000;
    uint32_t before[4] = {};
    if (count > 4) return false;
    const uint32_t start = clockMs();
    for (int attempt = 0; attempt < maxAttempts && clockDiff(clockMs(), start) <= patienceMs;
         ++attempt) {
        bool busy = false;
        for (int i = 0; i < count; ++i) {
            before[i] = recordWritesBefore(baseStation[bases[i]]);
            if (before[i] & 1u) busy = true;
        }
        if (busy) {
            std::this_thread::yield();
            continue;
        }
        copy();
        bool unchanged = true;
        for (int i = 0; i < count; ++i)
            if (!recordUnchangedSince(baseStation[bases[i]], before[i])) unchanged = false;
        if (unchanged) return true;
    }
    return false;
}
