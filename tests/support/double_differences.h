#pragma once
// The mean double difference a network correction leaves: per epoch a map
// of single differences (rover - reference) by satellite; each satellite is
// differenced against the one seen in most epochs and averaged over the
// epochs, which takes the code noise down.

#include <cmath>
#include <map>
#include <vector>

// Root mean square over satellites of those means; a satellite paired in
// fewer than `minEpochs` epochs is left out. -1 when none is left; `pairs`
// gets the number counted.
template <typename Sat>
double meanDoubleDifferenceRms(const std::vector<std::map<Sat, double>>& epochs, int minEpochs,
                               int& pairs)
{
    std::map<Sat, int> seen;
    for (const auto& e : epochs)
        for (const auto& [sat, v] : e) ++seen[sat];
    pairs = 0;
    if (seen.empty()) return -1;
    Sat pivot = seen.begin()->first;
    for (const auto& [sat, n] : seen)
        if (n > seen[pivot]) pivot = sat;
    std::map<Sat, std::pair<double, int>> sums;
    for (const auto& e : epochs) {
        auto p = e.find(pivot);
        if (p == e.end()) continue;
        for (const auto& [sat, v] : e) {
            if (sat == pivot) continue;
            sums[sat].first += v - p->second;
            ++sums[sat].second;
        }
    }
    double sum2 = 0;
    for (const auto& [sat, s] : sums) {
        if (s.second < minEpochs) continue;
        const double mean = s.first / s.second;
        sum2 += mean * mean;
        ++pairs;
    }
    return pairs ? std::sqrt(sum2 / pairs) : -1;
}
