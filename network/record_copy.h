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

// Tries a few times; false when the bases kept changing (the caller builds
// nothing this time and the next epoch brings a new chance).
template <typename Copy>
bool copyConsistently(const int* bases, int count, Copy copy)
{
    constexpr int attempts = 16;
    uint32_t before[4] = {};
    if (count > 4) return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
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
