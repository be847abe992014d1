// Sharp and smooth parts of the large spots.
#include "detect/local/spot_shapes.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

// Around the spot's pixels, so that the 5x5 median sees what lies beside
// them.
constexpr int kPatchMargin = 4;
// A chained spot is split into discs around its strongest pixels, each
// taking the pixels within this distance.
constexpr int kSplitReach = 8;
// A pixel is sharp when most of its height stands above the smooth part:
// the top of a smooth blob also stands above its 5x5 median, by a fifth of
// its height for a blob of sigma 3, a single site by all of it.
constexpr float kSharpShare = 0.5f;

double distance(cv::Point a, cv::Point b) {
    const double dx = a.x - b.x, dy = a.y - b.y;
    return std::sqrt(dx * dx + dy * dy);
}

// Discs around the strongest pixels, each with the pixels within
// kSplitReach of it that no stronger disc took.
std::vector<HotSpot> splitBySize(std::vector<SpotCandidate> members, std::int32_t minRadius) {
    std::stable_sort(members.begin(), members.end(),
                     [](const SpotCandidate& a, const SpotCandidate& b) { return a.significance > b.significance; });
    std::vector<char> taken(members.size(), 0);
    std::vector<HotSpot> spots;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (taken[i]) continue;
        HotSpot spot;
        spot.peak = members[i].at;
        spot.significance = members[i].significance;
        double farthest = 0.0;
        for (std::size_t j = i; j < members.size(); ++j) {
            if (taken[j] || distance(members[j].at, spot.peak) > kSplitReach) continue;
            taken[j] = 1;
            ++spot.area;
            spot.core += members[j].significance >= 0.5f * spot.significance;
            farthest = std::max(farthest, distance(members[j].at, spot.peak));
        }
        spot.radius = std::max<std::int32_t>(minRadius, static_cast<std::int32_t>(std::ceil(farthest - 1e-9)) + 1);
        spots.push_back(spot);
    }
    return spots;
}

cv::Rect boxOf(const std::vector<SpotCandidate>& members) {
    int left = members.front().at.x, right = left, top = members.front().at.y, bottom = top;
    for (const SpotCandidate& m : members) {
        left = std::min(left, m.at.x), right = std::max(right, m.at.x);
        top = std::min(top, m.at.y), bottom = std::max(bottom, m.at.y);
    }
    return {left, top, right - left + 1, bottom - top + 1};
}

// The smooth part's blob over the spot's pixels, when it stands above half
// the threshold anywhere among them.
bool strayLightOf(const std::vector<SpotCandidate>& members, const cv::Mat& smooth, cv::Rect area, cv::Size frame,
                  StrayLight& light) {
    float highest = 0.5f;
    bool found = false;
    for (const SpotCandidate& m : members) {
        const float v = smooth.at<float>(m.at.y - area.y, m.at.x - area.x);
        if (v > highest) highest = v, light.peak = m.at, found = true;
    }
    if (!found) return false;
    // Its half-height area over the patch, and whether that reaches the
    // frame's edge.
    int half = 0;
    bool atEdge = false;
    for (int y = 0; y < smooth.rows; ++y) {
        const float* row = smooth.ptr<float>(y);
        for (int x = 0; x < smooth.cols; ++x) {
            if (row[x] < 0.5f * highest) continue;
            ++half;
            const int fx = x + area.x, fy = y + area.y;
            atEdge |= fx == 0 || fy == 0 || fx == frame.width - 1 || fy == frame.height - 1;
        }
    }
    light.radius = std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(std::sqrt(half / CV_PI))));
    light.kind = atEdge || light.radius > kWidestGlint ? Rejection::leak : Rejection::glint;
    return true;
}

void shapeOne(const HotSpot& spot, const SignificancePatch& patch, cv::Size frame, std::int32_t minRadius,
              ShapedSpots& shaped) {
    const cv::Rect frameRect(cv::Point(0, 0), frame);
    const cv::Rect box = boxOf(spot.members);
    const cv::Rect area = cv::Rect(box.x - kPatchMargin, box.y - kPatchMargin, box.width + 2 * kPatchMargin,
                                   box.height + 2 * kPatchMargin) &
                          frameRect;
    const cv::Mat significance = patch(area);
    cv::Mat smooth;
    cv::medianBlur(significance, smooth, 5);

    std::vector<SpotCandidate> sharp;
    for (const SpotCandidate& m : spot.members) {
        const cv::Point at = m.at - area.tl();
        const float s = significance.at<float>(at), above = s - smooth.at<float>(at);
        if (above > 1.0f && above >= kSharpShare * s) sharp.push_back(m);
    }
    for (HotSpot& s : mergeHotSpots(sharp, {}, minRadius)) {
        if (s.radius <= kMaxSpotRadius) {
            s.members.clear();
            shaped.spots.push_back(std::move(s));
            continue;
        }
        for (HotSpot& piece : splitBySize(s.members, minRadius)) shaped.spots.push_back(std::move(piece));
    }
    StrayLight light{};
    if (strayLightOf(spot.members, smooth, area, frame, light)) shaped.strayLight.push_back(light);
}

// Whether the small spot stands above its threshold only with the smooth
// rise it sits on: the median significance over a square ring 4 to 6
// pixels out (beyond any hot group, even demosaiced) is above
// kRisingShare, and the peak stands less than the threshold above it. A
// lone hot pixel's ring is background, whose median moves by a few
// hundredths of the threshold: such spots are never looked at again.
bool onSmoothRise(const HotSpot& spot, const SignificancePatch& patch, cv::Size frame) {
    constexpr int kInner = 4, kOuter = 6;
    constexpr float kRisingShare = 0.25f;
    const cv::Rect area = cv::Rect(spot.peak.x - kOuter, spot.peak.y - kOuter, 2 * kOuter + 1, 2 * kOuter + 1) &
                          cv::Rect(cv::Point(0, 0), frame);
    const cv::Mat significance = patch(area);
    std::vector<float> ring;
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const cv::Point d = cv::Point(x, y) + area.tl() - spot.peak;
            if (std::max(std::abs(d.x), std::abs(d.y)) >= kInner) ring.push_back(significance.at<float>(y, x));
        }
    }
    if (ring.empty()) return false;
    auto middle = ring.begin() + static_cast<std::ptrdiff_t>(ring.size() / 2);
    std::nth_element(ring.begin(), middle, ring.end());
    return *middle > kRisingShare && spot.significance - *middle < 1.0f;
}

}  // namespace

std::vector<StrayLight> blobsOf(std::vector<HotSpot> risen, cv::Size frame) {
    std::vector<StrayLight> light;
    constexpr int kBlobReach = 24, kEdgeReach = 8;
    std::stable_sort(risen.begin(), risen.end(),
                     [](const HotSpot& a, const HotSpot& b) { return a.significance > b.significance; });
    std::vector<char> taken(risen.size(), 0);
    for (std::size_t i = 0; i < risen.size(); ++i) {
        if (taken[i]) continue;
        taken[i] = 1;
        cv::Rect box(risen[i].peak, cv::Size(1, 1));
        // Grows while spots near any member are found.
        for (bool grew = true; grew;) {
            grew = false;
            for (std::size_t j = i + 1; j < risen.size(); ++j) {
                if (taken[j]) continue;
                const cv::Rect reach(box.x - kBlobReach, box.y - kBlobReach, box.width + 2 * kBlobReach,
                                     box.height + 2 * kBlobReach);
                if (!reach.contains(risen[j].peak)) continue;
                taken[j] = 1;
                box |= cv::Rect(risen[j].peak, cv::Size(1, 1));
                grew = true;
            }
        }
        StrayLight blob{risen[i].peak, std::max<std::int32_t>(1, std::max(box.width, box.height) / 2),
                        Rejection::glint};
        const bool atEdge = box.x < kEdgeReach || box.y < kEdgeReach || box.br().x > frame.width - kEdgeReach ||
                            box.br().y > frame.height - kEdgeReach;
        if (atEdge || blob.radius > kWidestGlint) blob.kind = Rejection::leak;
        light.push_back(blob);
    }
    return light;
}

ShapedSpots shapeSpots(std::vector<HotSpot> spots, const SignificancePatch& patch, cv::Size frame,
                       std::int32_t minRadius) {
    ShapedSpots shaped;
    for (HotSpot& spot : spots) {
        if (spot.needsShaping()) {
            shapeOne(spot, patch, frame, minRadius, shaped);
        } else if (onSmoothRise(spot, patch, frame)) {
            shaped.risen.push_back(std::move(spot));
        } else {
            shaped.spots.push_back(std::move(spot));
        }
    }
    std::sort(shaped.spots.begin(), shaped.spots.end(), [](const HotSpot& a, const HotSpot& b) {
        return a.peak.y != b.peak.y ? a.peak.y < b.peak.y : a.peak.x < b.peak.x;
    });
    return shaped;
}

}  // namespace speckmend
