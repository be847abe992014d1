// Flood fill of the hot pixels into spots.
#include "detect/local/hot_spots.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "detect/local/hot_lines.h"

namespace speckmend {

namespace {

constexpr float kCoreShare = 0.1f;

std::int64_t positionKey(std::int64_t x, std::int64_t y) { return (y << 32) ^ (x & 0xffffffff); }

bool scanOrderBefore(cv::Point a, cv::Point b) { return a.y != b.y ? a.y < b.y : a.x < b.x; }

}  // namespace

std::vector<HotSpot> mergeHotSpots(const std::vector<SpotCandidate>& candidates, const std::vector<HotLine>& lines,
                                   std::int32_t minRadius) {
    constexpr int kReach = 2;
    std::unordered_map<std::int64_t, std::size_t> index;
    index.reserve(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i)
        index.emplace(positionKey(candidates[i].at.x, candidates[i].at.y), i);
    std::vector<char> taken(candidates.size(), 0);
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (inLineBand(lines, candidates[i].at.x, candidates[i].at.y)) taken[i] = 1;
    }

    std::vector<HotSpot> spots;
    std::vector<std::size_t> members;
    for (std::size_t seed = 0; seed < candidates.size(); ++seed) {
        if (taken[seed]) continue;
        taken[seed] = 1;
        members.assign(1, seed);
        for (std::size_t m = 0; m < members.size(); ++m) {
            const cv::Point p = candidates[members[m]].at;
            for (int dy = -kReach; dy <= kReach; ++dy) {
                for (int dx = -kReach; dx <= kReach; ++dx) {
                    const auto found = index.find(positionKey(std::int64_t{p.x} + dx, std::int64_t{p.y} + dy));
                    if (found == index.end() || taken[found->second]) continue;
                    taken[found->second] = 1;
                    members.push_back(found->second);
                }
            }
        }
        HotSpot spot;
        spot.peak = candidates[seed].at;
        spot.significance = candidates[seed].significance;
        for (std::size_t m : members) {
            const SpotCandidate& c = candidates[m];
            if (c.significance > spot.significance ||
                (c.significance == spot.significance && scanOrderBefore(c.at, spot.peak))) {
                spot.significance = c.significance;
                spot.peak = c.at;
            }
        }
        // The faint skirt that JPEG ringing leaves around a strong spot
        // belongs to it but is no part of the defect: only members of at
        // least kCoreShare of the peak decide the radius.
        double farthest = 0.0;
        for (std::size_t m : members) {
            if (candidates[m].significance < kCoreShare * spot.significance) continue;
            const double dx = candidates[m].at.x - spot.peak.x;
            const double dy = candidates[m].at.y - spot.peak.y;
            farthest = std::max(farthest, std::sqrt(dx * dx + dy * dy));
        }
        spot.area = static_cast<std::int32_t>(members.size());
        spot.radius = std::max<std::int32_t>(minRadius, static_cast<std::int32_t>(std::ceil(farthest - 1e-9)) + 1);
        spot.core = static_cast<std::int32_t>(std::count_if(members.begin(), members.end(), [&](std::size_t m) {
            return candidates[m].significance >= 0.5f * spot.significance;
        }));
        if (spot.needsShaping()) {
            for (std::size_t m : members) spot.members.push_back(candidates[m]);
        }
        spots.push_back(std::move(spot));
    }
    std::sort(spots.begin(), spots.end(),
              [](const HotSpot& a, const HotSpot& b) { return scanOrderBefore(a.peak, b.peak); });
    return spots;
}

std::vector<bool> shadowedSpots(const std::vector<cv::Point>& peaks, const std::vector<float>& strengths, int reach,
                                float ratio) {
    if (peaks.size() != strengths.size()) throw std::invalid_argument("shadowedSpots: one strength per peak");
    std::vector<bool> shadowed(peaks.size(), false);
    if (reach < 1) return shadowed;
    // Buckets of reach x reach pixels: a spot's shadow lies in its own
    // bucket and the eight around it.
    std::unordered_map<std::int64_t, std::vector<std::size_t>> buckets;
    auto key = [](std::int64_t bx, std::int64_t by) { return (bx << 32) ^ (by & 0xffffffff); };
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        buckets[key(peaks[i].x / reach, peaks[i].y / reach)].push_back(i);
    }
    const std::int64_t reach2 = std::int64_t{reach} * reach;
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        const std::int64_t bx = peaks[i].x / reach, by = peaks[i].y / reach;
        for (std::int64_t y = by - 1; y <= by + 1 && !shadowed[i]; ++y) {
            for (std::int64_t x = bx - 1; x <= bx + 1 && !shadowed[i]; ++x) {
                const auto bucket = buckets.find(key(x, y));
                if (bucket == buckets.end()) continue;
                for (std::size_t j : bucket->second) {
                    const std::int64_t dx = peaks[j].x - peaks[i].x, dy = peaks[j].y - peaks[i].y;
                    if (j != i && dx * dx + dy * dy <= reach2 && strengths[j] >= ratio * strengths[i]) {
                        shadowed[i] = true;
                        break;
                    }
                }
            }
        }
    }
    return shadowed;
}

}  // namespace speckmend
