// Deciding on the evidence.
#include "detect/photos/photo_findings.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "detect/photos/binomial_test.h"

namespace speckmend {
namespace {

constexpr int kMovedReach = 2;

struct Counts {
    const cv::Mat& judged;
    const cv::Mat& bright;
    const cv::Mat& sum;
    int k(cv::Point p) const { return bright.at<std::uint16_t>(p); }
    int n(cv::Point p) const { return judged.at<std::uint16_t>(p); }
    float strength(cv::Point p) const { return k(p) > 0 ? sum.at<float>(p) / static_cast<float>(k(p)) : 0.0f; }
};

Finding findingAt(const Counts& counts, cv::Point peak, std::int32_t radius, double least) {
    Finding f;
    f.peak = peak;
    f.radius = radius;
    f.strength = counts.strength(peak);
    f.significance = least > 0 ? static_cast<float>(counts.k(peak) / least) : 0.0f;
    f.area = 1;
    return f;
}

// Per component of `labels`, the pixel that stood out most often (then the
// strongest).
// `hot`: the pixels the components are made of, in scan order (the frame's
// other pixels are labelled 0), so that ties go to the first as a scan of
// the whole frame would give them.
std::vector<cv::Point> peaksOf(const Counts& counts, const cv::Mat& labels, const std::vector<cv::Point>& hot,
                               int components) {
    std::vector<cv::Point> peaks(static_cast<std::size_t>(components), cv::Point(-1, -1));
    for (const cv::Point p : hot) {
        cv::Point& peak = peaks[static_cast<std::size_t>(labels.at<std::int32_t>(p))];
        if (peak.x < 0 || counts.k(p) > counts.k(peak) ||
            (counts.k(p) == counts.k(peak) && counts.strength(p) > counts.strength(peak))) {
            peak = p;
        }
    }
    return peaks;
}

// Whether any of the `n` counts from `bright` is 2 or more: a loop without
// an early exit, which the compiler vectorises, as nearly all are below.
bool anyTwice(const std::uint16_t* bright, int n) {
    bool any = false;
    for (int x = 0; x < n; ++x) any |= bright[x] >= 2;
    return any;
}

// The events of the pixels around `peak` that belong to no spot.
int eventsAround(const Counts& counts, const cv::Mat& labels, cv::Point peak) {
    int around = 0;
    for (int dy = -kMovedReach; dy <= kMovedReach; ++dy) {
        for (int dx = -kMovedReach; dx <= kMovedReach; ++dx) {
            const cv::Point q(peak.x + dx, peak.y + dy);
            if (q.x < 0 || q.y < 0 || q.x >= labels.cols || q.y >= labels.rows) continue;
            if (labels.at<std::int32_t>(q) == 0) around += counts.k(q);
        }
    }
    return around;
}

// Takes out of `spots` (in scan order) those within the ringing reach of
// one ringingRatio times as strong, and gives them.
std::vector<Finding> ringingOf(std::vector<Finding>& spots, const PhotoFindingSettings& settings) {
    const int reach = settings.ringingReach;
    std::vector<bool> rings(spots.size(), false);
    std::size_t first = 0;
    for (std::size_t i = 0; i < spots.size(); ++i) {
        const cv::Point p = spots[i].peak;
        while (spots[first].peak.y < p.y - reach) ++first;
        for (std::size_t j = first; j < spots.size() && spots[j].peak.y <= p.y + reach; ++j) {
            if (j == i || std::abs(spots[j].peak.x - p.x) > reach) continue;
            if (spots[j].strength >= settings.ringingRatio * spots[i].strength) rings[i] = true;
        }
    }
    std::vector<Finding> kept, ringing;
    for (std::size_t i = 0; i < spots.size(); ++i) (rings[i] ? ringing : kept).push_back(spots[i]);
    spots = std::move(kept);
    return ringing;
}

// The pixels that stood out in two photos or more, through the test: the
// hot ones marked in `hot` and listed in scan order, the others listed as
// near misses.
void testPixels(const Counts& counts, const BinomialTest& test, cv::Mat& hot, std::vector<cv::Point>& hotPixels,
                std::vector<cv::Point>& nearMisses) {
    constexpr int kChunk = 32;
    const int width = counts.bright.cols;
    for (int y = 0; y < counts.bright.rows; ++y) {
        const std::uint16_t* judged = counts.judged.ptr<std::uint16_t>(y);
        const std::uint16_t* bright = counts.bright.ptr<std::uint16_t>(y);
        uchar* h = hot.ptr<uchar>(y);
        for (int from = 0; from < width; from += kChunk) {
            const int to = std::min(width, from + kChunk);
            if (!anyTwice(bright + from, to - from)) continue;
            for (int x = from; x < to; ++x) {
                if (bright[x] < 2) continue;
                if (test.isHot(bright[x], judged[x])) {
                    h[x] = 1;
                    hotPixels.emplace_back(x, y);
                } else {
                    nearMisses.emplace_back(x, y);
                }
            }
        }
    }
}

}  // namespace

PhotoFindings findHotPixels(const EvidenceCounts& evidence, int photos, const PhotoFindingSettings& settings) {
    const Counts counts{evidence.judged(), evidence.bright(), evidence.strengthSum()};
    const cv::Size size = evidence.size();
    PhotoFindings out;
    out.chanceRate = evidence.chanceRate();
    const double pixels = std::max(1.0, static_cast<double>(size.area()));
    const BinomialTest test(out.chanceRate, settings.chanceFindings / pixels, settings.share, photos);

    cv::Mat hot = cv::Mat::zeros(size, CV_8UC1);
    std::vector<cv::Point> hotPixels, nearMisses;
    testPixels(counts, test, hot, hotPixels, nearMisses);

    cv::Mat labels, stats, centroids;
    const int spots = cv::connectedComponentsWithStats(hot, labels, stats, centroids, 8, CV_32S);
    const std::vector<cv::Point> peaks = peaksOf(counts, labels, hotPixels, spots);
    std::vector<Finding> moved;
    for (int s = 1; s < spots; ++s) {
        const cv::Point peak = peaks[static_cast<std::size_t>(s)];
        const int* box = stats.ptr<int>(s);
        const int reach =
            std::max({peak.x - box[cv::CC_STAT_LEFT], box[cv::CC_STAT_LEFT] + box[cv::CC_STAT_WIDTH] - 1 - peak.x,
                      peak.y - box[cv::CC_STAT_TOP], box[cv::CC_STAT_TOP] + box[cv::CC_STAT_HEIGHT] - 1 - peak.y});
        const std::int32_t radius = std::max(settings.minRadius, reach + 1);
        const int around = eventsAround(counts, labels, peak);
        const Finding finding = findingAt(counts, peak, radius, test.leastBright(counts.n(peak)));
        if (around >= settings.movedLeast && around >= settings.movedShare * counts.k(peak)) {
            moved.push_back(finding);
        } else {
            out.findings.spots.push_back(finding);
        }
    }
    // Components are labelled in scan order of their first pixel; the map
    // lists peaks in scan order.
    std::sort(out.findings.spots.begin(), out.findings.spots.end(), [](const Finding& a, const Finding& b) {
        return a.peak.y != b.peak.y ? a.peak.y < b.peak.y : a.peak.x < b.peak.x;
    });
    std::vector<Finding> ringing = ringingOf(out.findings.spots, settings);
    for (const Finding& f : out.findings.spots) out.seen.emplace_back(counts.k(f.peak), counts.n(f.peak));

    const auto reject = [&out, &settings](std::vector<Finding>& list, const char* why) {
        std::sort(list.begin(), list.end(), [](const Finding& a, const Finding& b) { return a.strength > b.strength; });
        for (const Finding& f : list) {
            if (out.findings.rejected.size() >= settings.rejectedKept) break;
            out.findings.rejected.push_back(f);
            out.rejectedWhy.emplace_back(why);
        }
    };
    reject(moved, "moved");
    reject(ringing, "ringing");
    const auto closer = [&counts](cv::Point a, cv::Point b) {
        const double ra = static_cast<double>(counts.k(a)) / counts.n(a),
                     rb = static_cast<double>(counts.k(b)) / counts.n(b);
        return counts.k(a) != counts.k(b) ? counts.k(a) > counts.k(b) : ra > rb;
    };
    const std::size_t room = settings.rejectedKept - std::min(settings.rejectedKept, out.findings.rejected.size());
    const std::size_t kept = std::min(room, nearMisses.size());
    std::partial_sort(nearMisses.begin(), nearMisses.begin() + static_cast<std::ptrdiff_t>(kept), nearMisses.end(),
                      closer);
    for (std::size_t i = 0; i < kept; ++i) {
        out.findings.rejected.push_back(
            findingAt(counts, nearMisses[i], settings.minRadius, test.leastBright(counts.n(nearMisses[i]))));
        out.rejectedWhy.emplace_back("chance");
    }
    for (const Finding& f : out.findings.rejected) out.seen.emplace_back(counts.k(f.peak), counts.n(f.peak));
    return out;
}

}  // namespace speckmend
