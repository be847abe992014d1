// The local detector's passes over the mean frame.
//
// Call order: per channel the background and the tile noise (each reads the
// mean), then one pass over stripes of rows that works out each pixel's
// significance in a small per-thread buffer and keeps only what stands out:
// counts per column and row, the pixels above 1 and the near misses. The
// lines, the spots and the rejected are made from those.
#include "detect/local/local_detector.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>

#include "detect/common/local_maximum.h"
#include "detect/common/row_stripes.h"
#include "detect/local/colour_sites.h"
#include "detect/local/hot_lines.h"
#include "detect/local/hot_spots.h"
#include "detect/local/local_background.h"
#include "detect/local/tile_noise.h"

namespace speckmend {
namespace {

// Below this a local maximum is not worth showing as a near miss.
constexpr float kRejectedFloor = 0.5f;

// JPEG ringing around a strong hot pixel reaches over its 16-pixel colour
// block and stays below a quarter of its strength (measured on colour camera
// darks; shadowedSpots).
struct Shadow {
    int reach;
    float ratio;
};
constexpr Shadow kShadow{16, 4.0f};

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

struct ChannelModel {
    std::unique_ptr<LocalBackground> background;
    std::unique_ptr<TileNoise> noise;
};

std::vector<const LocalBackground*> backgroundsOf(const std::vector<ChannelModel>& models) {
    std::vector<const LocalBackground*> backgrounds;
    for (const ChannelModel& model : models) backgrounds.push_back(model.background.get());
    return backgrounds;
}

// The significance of row y: over all channels the largest residual over
// its tile's threshold.
void significanceRow(const cv::Mat& mean, const std::vector<ChannelModel>& models, int y, float* out,
                     std::vector<float>& backgroundRow) {
    const int channels = mean.channels();
    const float* in = mean.ptr<float>(y);
    for (int c = 0; c < channels; ++c) {
        const TileNoise& noise = *models[static_cast<std::size_t>(c)].noise;
        models[static_cast<std::size_t>(c)].background->fillRow(y, backgroundRow.data());
        const float* bg = backgroundRow.data();
        // Tile by tile, so that the inner loops are plain and vectorise.
        for (int left = 0; left < mean.cols; left += noise.tileWidth()) {
            const int right = std::min(left + noise.tileWidth(), mean.cols);
            const float scale = 1.0f / noise.thresholdAt(left, y);
            if (channels == 1) {
                for (int x = left; x < right; ++x) out[x] = (in[x] - bg[x]) * scale;
            } else if (c == 0) {
                for (int x = left; x < right; ++x) out[x] = (in[x * channels] - bg[x]) * scale;
            } else {
                for (int x = left; x < right; ++x) out[x] = std::max(out[x], (in[x * channels + c] - bg[x]) * scale);
            }
        }
    }
}

struct Scan {
    std::vector<std::int32_t> columnCounts;
    std::vector<std::int32_t> rowCounts;
    std::vector<SpotCandidate> candidates;  // scan order
    std::vector<std::pair<float, cv::Point>> nearMisses;
};

// The significance of every pixel is worked out a stripe of rows at a time
// into a per-thread buffer. Each stripe keeps its own strongest near misses,
// nearMissesKept at most.
Scan scan(const cv::Mat& mean, const std::vector<ChannelModel>& models, std::size_t nearMissesKept) {
    const int width = mean.cols;
    const int height = mean.rows;
    const RowStripes stripes({0, height});
    std::vector<Scan> partial(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        // Rows of the stripe plus one either side, for the near misses'
        // neighbourhoods.
        std::vector<float> buffer(static_cast<std::size_t>(width) * (RowStripes::kRows + 2));
        std::vector<float> backgroundRow(static_cast<std::size_t>(width));
        std::vector<std::int32_t> columnCounts(static_cast<std::size_t>(width), 0);
        for (int s = range.start; s < range.end; ++s) {
            Scan& part = partial[static_cast<std::size_t>(s)];
            const cv::Range rows = stripes[s];
            const int first = std::max(rows.start - 1, 0);
            const int last = std::min(rows.end + 1, height);
            auto row = [&](int y) { return buffer.data() + static_cast<std::size_t>(y - first) * width; };
            for (int y = first; y < last; ++y) significanceRow(mean, models, y, row(y), backgroundRow);

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
            for (int y = rows.start; y < rows.end; ++y) {
                const float* above = y > 0 ? row(y - 1) : nullptr;
                const float* values = row(y);
                const float* below = y + 1 < height ? row(y + 1) : nullptr;
                std::int32_t inRow = 0;
                for (int x = 0; x < width; ++x) {
                    const float v = values[x];
                    if (!(v > kRejectedFloor)) continue;
                    if (v > 1.0f) {
                        ++inRow;
                        ++columnCounts[static_cast<std::size_t>(x)];
                        part.candidates.push_back({cv::Point(x, y), v});
                    } else if (nearMissesKept > 0 &&
                               isStrictLocalMaximum(above, values, below, width, x, EdgeRule::neighboursInside)) {
                        keepNearMiss(v, {x, y});
                    }
                }
                part.rowCounts.push_back(inRow);
            }
        }
        // Column counts of the whole range go with its first stripe.
        partial[static_cast<std::size_t>(range.start)].columnCounts = std::move(columnCounts);
    });

    Scan result;
    result.columnCounts.assign(static_cast<std::size_t>(width), 0);
    result.rowCounts.reserve(static_cast<std::size_t>(height));
    for (Scan& part : partial) {
        if (!part.columnCounts.empty()) {
            for (std::size_t x = 0; x < result.columnCounts.size(); ++x) result.columnCounts[x] += part.columnCounts[x];
        }
        result.rowCounts.insert(result.rowCounts.end(), part.rowCounts.begin(), part.rowCounts.end());
        result.candidates.insert(result.candidates.end(), part.candidates.begin(), part.candidates.end());
        result.nearMisses.insert(result.nearMisses.end(), part.nearMisses.begin(), part.nearMisses.end());
    }
    return result;
}

// The per-channel models, and their ranges for the console.
std::vector<ChannelModel> channelModels(const cv::Mat& mean, const LocalDetectorSettings& settings,
                                        std::vector<ChannelSummary>& summaries) {
    std::vector<ChannelModel> models;
    for (int c = 0; c < mean.channels(); ++c) {
        ChannelModel model;
        model.background = std::make_unique<LocalBackground>(mean, c, settings.window);
        model.noise = std::make_unique<TileNoise>(mean, c, *model.background, settings.noise, settings.floor);
        ChannelSummary summary;
        summary.name = channelName(mean.channels(), c);
        range(model.background->blocks(), summary.backgroundLow, summary.backgroundHigh);
        range(model.noise->noise(), summary.noiseLow, summary.noiseHigh);
        range(model.noise->thresholds(), summary.thresholdLow, summary.thresholdHigh);
        summary.tiles = model.noise->tileColumns() * model.noise->tileRows();
        summaries.push_back(summary);
        models.push_back(std::move(model));
    }
    return models;
}

// A finding at `at`: its strength is its residual in the channel that
// stands highest over its threshold there.
Finding describe(const cv::Mat& mean, const std::vector<ChannelModel>& models, cv::Point at, std::int32_t radius,
                 std::int32_t area) {
    Finding finding{at, radius, 0.0f, -1.0f, area};
    for (int c = 0; c < mean.channels(); ++c) {
        const ChannelModel& model = models[static_cast<std::size_t>(c)];
        const float residual = mean.ptr<float>(at.y)[at.x * mean.channels() + c] - model.background->at(at.x, at.y);
        const float s = residual / model.noise->thresholdAt(at.x, at.y);
        if (s > finding.significance) {
            finding.significance = s;
            finding.strength = residual;
        }
    }
    return finding;
}

// The spots of the candidates into the findings, and those in the shadow of
// a stronger one into `inShadow`, strongest first.
void splitSpots(const cv::Mat& mean, const std::vector<ChannelModel>& models, const Scan& found,
                const LocalDetectorSettings& settings, const ColourSites* colourSites, Findings& findings,
                std::vector<Finding>& inShadow) {
    std::vector<Finding> spots;
    std::vector<cv::Point> peaks;
    std::vector<float> strengths;
    std::vector<std::int32_t> radii;
    for (const HotSpot& spot : mergeHotSpots(found.candidates, findings.lines, settings.minRadius)) {
        spots.push_back(describe(mean, models, spot.peak, spot.radius, spot.area));
        peaks.push_back(spot.peak);
        strengths.push_back(spots.back().strength);
        radii.push_back(spot.radius);
    }
    const std::vector<bool> shadowed = colourSites
                                           ? ringingSpots(mean, backgroundsOf(models), *colourSites, peaks, radii, strengths)
                                           : shadowedSpots(peaks, strengths, kShadow.reach, kShadow.ratio);
    for (std::size_t i = 0; i < spots.size(); ++i) (shadowed[i] ? inShadow : findings.spots).push_back(spots[i]);
    std::sort(inShadow.begin(), inShadow.end(),
              [](const Finding& a, const Finding& b) { return a.strength > b.strength; });
}

// The rejected: the shadowed spots first, then the strongest near misses
// that lie neither in a line's band nor by a spot.
void keepRejected(const cv::Mat& mean, const std::vector<ChannelModel>& models, Scan& found,
                  const LocalDetectorSettings& settings, const std::vector<Finding>& inShadow, Findings& findings) {
    for (const Finding& spot : inShadow) {
        if (findings.rejected.size() >= settings.rejectedKept) break;
        findings.rejected.push_back(spot);
    }
    std::sort(found.nearMisses.begin(), found.nearMisses.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& miss : found.nearMisses) {
        // A named copy, not a structured binding: clang before 16 (the
        // fuzzing build's compiler) cannot capture those in a lambda.
        const cv::Point at = miss.second;
        if (findings.rejected.size() >= settings.rejectedKept) break;
        if (inLineBand(findings.lines, at.x, at.y)) continue;
        const bool nearSpot = std::any_of(findings.spots.begin(), findings.spots.end(), [&](const Finding& s) {
            const cv::Point d = s.peak - at;
            return d.x * d.x + d.y * d.y <= (s.radius + 2) * (s.radius + 2);
        });
        if (nearSpot) continue;
        findings.rejected.push_back(describe(mean, models, at, settings.minRadius, 0));
    }
}

}  // namespace

LocalDetection detectLocally(const cv::Mat& mean, const LocalDetectorSettings& settings) {
    if (mean.empty() || mean.depth() != CV_32F || (mean.channels() != 1 && mean.channels() != 3)) {
        throw std::invalid_argument("detectLocally needs a float image of one or three channels");
    }
    if (settings.window < 1) throw std::invalid_argument("detectLocally: window below 1");

    LocalDetection detection;
    const std::vector<ChannelModel> models = channelModels(mean, settings, detection.channels);

    // Near misses next to a spot are mostly its own ringing; more are kept
    // than shown so that those can be dropped.
    Scan found = scan(mean, models, settings.rejectedKept * 8);
    Findings& findings = detection.findings;
    findings.lines = groupHotLines(found.columnCounts, mean.rows, HotLine::Axis::column);
    const std::vector<HotLine> rows = groupHotLines(found.rowCounts, mean.cols, HotLine::Axis::row);
    findings.lines.insert(findings.lines.end(), rows.begin(), rows.end());

    // A lossy colour frame is tested through a site's footprint, when the
    // frame has the sites to learn it from; otherwise channel by channel.
    std::optional<ColourSites> colourSites;
    if (settings.lossy && mean.channels() == 3) {
        std::vector<const TileNoise*> noise;
        for (const ChannelModel& model : models) noise.push_back(model.noise.get());
        colourSites = findColourSites(mean, backgroundsOf(models), noise, findings.lines, {settings.noise, settings.floor});
        SiteSummary& summary = detection.sites.emplace();
        if (colourSites) {
            found.candidates = colourSites->candidates;
            summary = {true, colourSites->sitesLearnt, colourSites->noiseLow, colourSites->noiseHigh,
                       colourSites->thresholdLow, colourSites->thresholdHigh};
        }
    }

    std::vector<Finding> inShadow;
    splitSpots(mean, models, found, settings, colourSites ? &*colourSites : nullptr, findings, inShadow);
    keepRejected(mean, models, found, settings, inShadow, findings);
    return detection;
}

}  // namespace speckmend
