// The local detector's passes over the mean frame.
#include "detect/local_detector.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "detect/hot_lines.h"
#include "detect/hot_spots.h"
#include "detect/local_background.h"
#include "detect/tile_noise.h"

namespace speckmend {
namespace {

// Below this a local maximum is not worth showing as a near miss.
constexpr float kRejectedFloor = 0.5f;

std::string channelName(int channels, int channel) {
    if (channels == 1) return "grey";
    static const char* const names[] = {"blue", "green", "red"};
    return channel < 3 ? names[channel] : "channel " + std::to_string(channel);
}

void range(const cv::Mat& values, float& low, float& high) {
    double lo = 0, hi = 0;
    cv::minMaxLoc(values, &lo, &hi);
    low = static_cast<float>(lo);
    high = static_cast<float>(hi);
}

// Folds one channel into the significance: the larger of what is there and
// the channel's residual over its tile threshold.
void addChannel(const cv::Mat& mean, int channel, const LocalBackground& background, const TileNoise& noise,
                cv::Mat& significance, bool first) {
    const int channels = mean.channels();
    cv::parallel_for_(cv::Range(0, mean.rows), [&](const cv::Range& rows) {
        std::vector<float> backgroundRow(static_cast<std::size_t>(mean.cols));
        std::vector<float> inverse(static_cast<std::size_t>(noise.tileColumns()));
        for (int y = rows.start; y < rows.end; ++y) {
            background.fillRow(y, backgroundRow.data());
            for (int t = 0; t < noise.tileColumns(); ++t) {
                inverse[static_cast<std::size_t>(t)] = 1.0f / noise.threshold(t, y / TileNoise::kTile);
            }
            const float* in = mean.ptr<float>(y);
            float* out = significance.ptr<float>(y);
            for (int x = 0; x < mean.cols; ++x) {
                const float s = (in[x * channels + channel] - backgroundRow[x]) *
                                inverse[static_cast<std::size_t>(x / TileNoise::kTile)];
                out[x] = first ? s : std::max(out[x], s);
            }
        }
    });
}

struct Scan {
    std::vector<std::int32_t> columnCounts;
    std::vector<std::int32_t> rowCounts;
    std::vector<cv::Point> candidates;  // scan order
    std::vector<std::pair<float, cv::Point>> nearMisses;
};

bool isLocalMaximum(const cv::Mat& significance, int x, int y, float v) {
    for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, significance.rows - 1); ++yy) {
        const float* row = significance.ptr<float>(yy);
        for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, significance.cols - 1); ++xx) {
            if ((xx != x || yy != y) && row[xx] >= v) return false;
        }
    }
    return true;
}

Scan scan(const cv::Mat& significance, std::size_t nearMissesKept) {
    Scan result;
    result.columnCounts.assign(static_cast<std::size_t>(significance.cols), 0);
    result.rowCounts.assign(static_cast<std::size_t>(significance.rows), 0);
    const int parts = std::clamp(cv::getNumThreads() * 4, 1, std::max(significance.rows, 1));
    std::vector<Scan> partial(static_cast<std::size_t>(parts));
    cv::parallel_for_(cv::Range(0, parts), [&](const cv::Range& range) {
        for (int p = range.start; p < range.end; ++p) {
            Scan& part = partial[static_cast<std::size_t>(p)];
            part.columnCounts.assign(static_cast<std::size_t>(significance.cols), 0);
            const int begin = static_cast<int>(static_cast<std::int64_t>(significance.rows) * p / parts);
            const int end = static_cast<int>(static_cast<std::int64_t>(significance.rows) * (p + 1) / parts);
            auto keepNearMiss = [&](float v, cv::Point at) {
                auto& list = part.nearMisses;
                auto weaker = [](const auto& a, const auto& b) { return a.first > b.first; };
                list.emplace_back(v, at);
                std::push_heap(list.begin(), list.end(), weaker);
                if (list.size() > nearMissesKept) {
                    std::pop_heap(list.begin(), list.end(), weaker);
                    list.pop_back();
                }
            };
            for (int y = begin; y < end; ++y) {
                const float* row = significance.ptr<float>(y);
                std::int32_t inRow = 0;
                for (int x = 0; x < significance.cols; ++x) {
                    const float v = row[x];
                    if (v > 1.0f) {
                        ++inRow;
                        ++part.columnCounts[static_cast<std::size_t>(x)];
                        part.candidates.emplace_back(x, y);
                    } else if (v > kRejectedFloor && nearMissesKept > 0 && isLocalMaximum(significance, x, y, v)) {
                        keepNearMiss(v, {x, y});
                    }
                }
                part.rowCounts.push_back(inRow);
            }
        }
    });
    for (Scan& part : partial) {
        for (std::size_t x = 0; x < result.columnCounts.size(); ++x) result.columnCounts[x] += part.columnCounts[x];
        result.candidates.insert(result.candidates.end(), part.candidates.begin(), part.candidates.end());
        result.nearMisses.insert(result.nearMisses.end(), part.nearMisses.begin(), part.nearMisses.end());
    }
    std::size_t y = 0;
    for (Scan& part : partial) {
        for (std::int32_t count : part.rowCounts) result.rowCounts[y++] = count;
    }
    return result;
}

}  // namespace

LocalDetection detectLocally(const cv::Mat& mean, const LocalDetectorSettings& settings) {
    if (mean.empty() || mean.depth() != CV_32F || (mean.channels() != 1 && mean.channels() != 3)) {
        throw std::invalid_argument("detectLocally needs a float image of one or three channels");
    }
    if (settings.window < 1) throw std::invalid_argument("detectLocally: window below 1");

    LocalDetection detection;
    cv::Mat significance(mean.size(), CV_32FC1);
    std::vector<std::unique_ptr<LocalBackground>> backgrounds;
    std::vector<std::unique_ptr<TileNoise>> noises;
    for (int c = 0; c < mean.channels(); ++c) {
        backgrounds.push_back(std::make_unique<LocalBackground>(mean, c, settings.window));
        noises.push_back(std::make_unique<TileNoise>(mean, c, *backgrounds.back(), settings.noise, settings.floor));
        addChannel(mean, c, *backgrounds.back(), *noises.back(), significance, c == 0);
        ChannelSummary summary;
        summary.name = channelName(mean.channels(), c);
        range(backgrounds.back()->blocks(), summary.backgroundLow, summary.backgroundHigh);
        range(noises.back()->noise(), summary.noiseLow, summary.noiseHigh);
        range(noises.back()->thresholds(), summary.thresholdLow, summary.thresholdHigh);
        summary.tiles = noises.back()->tileColumns() * noises.back()->tileRows();
        detection.channels.push_back(summary);
    }

    // Near misses next to a spot are mostly its own ringing; more are kept
    // than shown so that those can be dropped.
    Scan found = scan(significance, settings.rejectedKept * 8);
    detection.lines = groupHotLines(found.columnCounts, mean.rows, HotLine::Axis::column);
    const std::vector<HotLine> rows = groupHotLines(found.rowCounts, mean.cols, HotLine::Axis::row);
    detection.lines.insert(detection.lines.end(), rows.begin(), rows.end());

    // The strength of a finding: its residual in the channel that stands
    // highest over its threshold there.
    auto describe = [&](cv::Point at, std::int32_t radius, std::int32_t area) {
        LocalFinding finding{at, radius, 0.0f, -1.0f, area};
        for (int c = 0; c < mean.channels(); ++c) {
            const float residual = mean.ptr<float>(at.y)[at.x * mean.channels() + c] - backgrounds[c]->at(at.x, at.y);
            const float s = residual / noises[c]->thresholdAt(at.x, at.y);
            if (s > finding.significance) {
                finding.significance = s;
                finding.strength = residual;
            }
        }
        return finding;
    };

    for (const HotSpot& spot : mergeHotSpots(significance, found.candidates, detection.lines, settings.minRadius)) {
        detection.spots.push_back(describe(spot.peak, spot.radius, spot.area));
    }
    std::sort(found.nearMisses.begin(), found.nearMisses.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [value, at] : found.nearMisses) {
        if (detection.rejected.size() >= settings.rejectedKept) break;
        if (inLineBand(detection.lines, at.x, at.y)) continue;
        const bool nearSpot = std::any_of(detection.spots.begin(), detection.spots.end(), [&](const LocalFinding& s) {
            const cv::Point d = s.peak - at;
            return d.x * d.x + d.y * d.y <= (s.radius + 2) * (s.radius + 2);
        });
        if (nearSpot) continue;
        detection.rejected.push_back(describe(at, settings.minRadius, 0));
    }
    return detection;
}

}  // namespace speckmend
