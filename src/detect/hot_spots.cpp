// Flood fill of the hot pixels into spots.
#include "detect/hot_spots.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "detect/hot_lines.h"

namespace speckmend {

std::vector<HotSpot> mergeHotSpots(cv::Mat& significance, const std::vector<cv::Point>& candidates,
                                   const std::vector<HotLine>& lines, std::int32_t minRadius) {
    if (significance.type() != CV_32FC1) throw std::invalid_argument("mergeHotSpots needs a CV_32FC1 map");
    constexpr int kReach = 2;
    std::vector<HotSpot> spots;
    std::vector<cv::Point> members;
    for (const cv::Point& seed : candidates) {
        float& first = significance.at<float>(seed);
        if (!(first > 1.0f) || inLineBand(lines, seed.x, seed.y)) continue;
        members.clear();
        members.push_back(seed);
        first = -first;
        HotSpot spot;
        spot.peak = seed;
        spot.significance = -first;
        for (std::size_t i = 0; i < members.size(); ++i) {
            const cv::Point p = members[i];
            for (int y = std::max(p.y - kReach, 0); y <= std::min(p.y + kReach, significance.rows - 1); ++y) {
                float* row = significance.ptr<float>(y);
                for (int x = std::max(p.x - kReach, 0); x <= std::min(p.x + kReach, significance.cols - 1); ++x) {
                    if (!(row[x] > 1.0f) || inLineBand(lines, x, y)) continue;
                    // Ties go to the first in scan order, so the peak does
                    // not depend on where the fill started.
                    const cv::Point q(x, y);
                    if (row[x] > spot.significance ||
                        (row[x] == spot.significance && (y < spot.peak.y || (y == spot.peak.y && x < spot.peak.x)))) {
                        spot.significance = row[x];
                        spot.peak = q;
                    }
                    row[x] = -row[x];
                    members.push_back(q);
                }
            }
        }
        double farthest = 0.0;
        for (const cv::Point& q : members) {
            const double dx = q.x - spot.peak.x;
            const double dy = q.y - spot.peak.y;
            farthest = std::max(farthest, std::sqrt(dx * dx + dy * dy));
        }
        spot.area = static_cast<std::int32_t>(members.size());
        spot.radius = std::max<std::int32_t>(minRadius, static_cast<std::int32_t>(std::ceil(farthest - 1e-9)) + 1);
        spots.push_back(spot);
    }
    std::sort(spots.begin(), spots.end(), [](const HotSpot& a, const HotSpot& b) {
        return a.peak.y != b.peak.y ? a.peak.y < b.peak.y : a.peak.x < b.peak.x;
    });
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
