// Flood fill of the hot pixels into spots.
#include "detect/hot_spots.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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

}  // namespace speckmend
