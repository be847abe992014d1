// The local detector's passes over the mean frame.
//
// Call order: per channel the background, its banding and the tile noise
// (each reads the mean), then one pass over stripes of rows that works out
// each pixel's significance in a small per-thread buffer and keeps only what
// stands out: the pixels above the lines' bar, those above 1 and the near
// misses. The lines, the spots and the rejected are made from those.
#include "detect/local/local_detector.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include <opencv2/core/hal/intrin.hpp>

#include "detect/common/local_maximum.h"
#include "detect/common/row_search.h"
#include "detect/common/row_stripes.h"
#include "detect/local/channel_residuals.h"
#include "detect/local/channel_tails.h"
#include "detect/local/colour_sites.h"
#include "detect/local/hot_lines.h"
#include "detect/local/hot_spots.h"
#include "detect/local/local_background.h"
#include "detect/local/site_noise.h"
#include "detect/local/spot_shapes.h"
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
// its tile's threshold; and into `standouts`, if any, the row's levels for
// the colour site test, from the same background rows.
void significanceRow(const cv::Mat& mean, const std::vector<ChannelModel>& models, int y, float* out,
                     std::vector<float>& backgroundRow, StandoutRow* standouts) {
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
            const int done = residualVectors(in, bg, out, left, right, channels, c, scale);
            if (channels == 1) {
                for (int x = done; x < right; ++x) out[x] = (in[x] - bg[x]) * scale;
            } else if (c == 0) {
                for (int x = done; x < right; ++x) out[x] = (in[x * channels] - bg[x]) * scale;
            } else {
                for (int x = done; x < right; ++x) out[x] = std::max(out[x], (in[x * channels + c] - bg[x]) * scale);
            }
        }
        if (standouts) standouts->addChannel(in, channels, c, bg, noise, y);
    }
}

struct Scan {
    std::vector<cv::Point> linePoints;      // above the lines' bar (LineSearch::share), scan order
    std::vector<SpotCandidate> candidates;  // scan order
    std::vector<std::pair<float, cv::Point>> nearMisses;
    std::vector<Standout> standouts;  // scan order; only when asked for
    // The mean's highest value over all channels, with the standouts: the
    // site test needs it, and this pass reads every value anyway.
    float highest = -std::numeric_limits<float>::infinity();
};

// The largest of `count` values; a vector at a time while a whole one fits.
float highestOf(const float* values, int count) {
    float highest = -std::numeric_limits<float>::infinity();
    int i = 0;
#if CV_SIMD
    constexpr int kLanes = cv::v_float32::nlanes;
    if (count >= kLanes) {
        cv::v_float32 lanes = cv::vx_load(values);
        for (i = kLanes; i + kLanes <= count; i += kLanes) lanes = cv::v_max(lanes, cv::vx_load(values + i));
        highest = cv::v_reduce_max(lanes);
    }
#endif
    for (; i < count; ++i) highest = std::max(highest, values[i]);
    return highest;
}

// The significance of every pixel is worked out a stripe of rows at a time
// into a per-thread buffer. Each stripe keeps its own strongest near misses,
// nearMissesKept at most. With a `standoutLevel` the pass also collects the
// colour site test's standouts: one pass over the mean and the backgrounds
// instead of two.
Scan scan(const cv::Mat& mean, const std::vector<ChannelModel>& models, std::size_t nearMissesKept,
          std::optional<float> standoutLevel) {
    const int width = mean.cols;
    const int height = mean.rows;
    const RowStripes stripes({0, height});
    std::vector<Scan> partial(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        // Rows of the stripe plus one either side, for the near misses'
        // neighbourhoods.
        std::vector<float> buffer(static_cast<std::size_t>(width) * (RowStripes::kRows + 2));
        std::vector<float> backgroundRow(static_cast<std::size_t>(width));
        std::optional<StandoutRow> standouts;
        if (standoutLevel) standouts.emplace(width);
        const float lineBar = LineSearch().share;
        for (int s = range.start; s < range.end; ++s) {
            Scan& part = partial[static_cast<std::size_t>(s)];
            const cv::Range rows = stripes[s];
            const int first = std::max(rows.start - 1, 0);
            const int last = std::min(rows.end + 1, height);
            auto row = [&](int y) { return buffer.data() + static_cast<std::size_t>(y - first) * width; };
            for (int y = first; y < last; ++y) {
                // The rows either side belong to the neighbouring stripes.
                const bool own = standouts && y >= rows.start && y < rows.end;
                significanceRow(mean, models, y, row(y), backgroundRow, own ? &*standouts : nullptr);
                if (own) {
                    standouts->collect(y, *standoutLevel, part.standouts);
                    part.highest = std::max(part.highest, highestOf(mean.ptr<float>(y), width * mean.channels()));
                }
            }

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
                const float lowest = std::min(kRejectedFloor, lineBar);
                // Most of the frame is below both bars: passed over a
                // vector of pixels at a time.
                for (int x = firstAbove(values, 0, width, lowest); x < width;
                     x = firstAbove(values, x + 1, width, lowest)) {
                    const float v = values[x];
                    if (v > lineBar) part.linePoints.emplace_back(x, y);
                    if (!(v > kRejectedFloor)) continue;
                    if (v > 1.0f) {
                        part.candidates.push_back({cv::Point(x, y), v});
                    } else if (nearMissesKept > 0 &&
                               isStrictLocalMaximum(above, values, below, width, x, EdgeRule::neighboursInside)) {
                        keepNearMiss(v, {x, y});
                    }
                }
            }
        }
    });

    Scan result;
    for (Scan& part : partial) {
        result.linePoints.insert(result.linePoints.end(), part.linePoints.begin(), part.linePoints.end());
        result.candidates.insert(result.candidates.end(), part.candidates.begin(), part.candidates.end());
        result.nearMisses.insert(result.nearMisses.end(), part.nearMisses.begin(), part.nearMisses.end());
        result.standouts.insert(result.standouts.end(), part.standouts.begin(), part.standouts.end());
        result.highest = std::max(result.highest, part.highest);
    }
    return result;
}

// Fixed-pattern banding into the model of channel c, when there is any
// worth the name: when what the block medians leave of it (measureBanding)
// reaches kBandingShare of the lowest threshold somewhere. A sensor without
// banding still leaves a few hundredths of a DN, the medians' own noise,
// which would move every residual a little and decide nothing. The block
// medians follow a band only where it fills a block, and where row and
// column bands cross, what they leave is no sum of a row and a column part;
// so the background is made again from the frame less the bands' whole
// steps (measureBandSteps), which are then added back to it.
// `rowMedians`: the channel's bandingRowMedians.
void takeBanding(const cv::Mat& mean, int c, const LocalDetectorSettings& settings,
                 const std::vector<float>& rowMedians, ChannelModel& model) {
    constexpr float kBandingShare = 0.25f;
    double lowest = 0.0;
    cv::minMaxLoc(model.noise->thresholds(), &lowest);
    if (largestOffset(measureBanding(mean, c, *model.background, &rowMedians)) <
        kBandingShare * static_cast<float>(lowest))
        return;

    BandingOffsets steps = measureBandSteps(mean, c);
    cv::Mat flat(mean.size(), CV_32FC1);
    for (int y = 0; y < mean.rows; ++y) {
        const float* in = mean.ptr<float>(y) + c;
        float* out = flat.ptr<float>(y);
        const float along = steps.rows[static_cast<std::size_t>(y)];
        for (int x = 0; x < mean.cols; ++x) {
            out[x] = in[x * mean.channels()] - along - steps.columns[static_cast<std::size_t>(x)];
        }
    }
    model.background = std::make_unique<LocalBackground>(flat, 0, settings.window);
    model.background->setBanding(std::move(steps));
    model.noise = std::make_unique<TileNoise>(mean, c, *model.background, settings.noise, settings.floor);
}

// The per-channel models, and their ranges for the console.
std::vector<ChannelModel> channelModels(const cv::Mat& mean, const LocalDetectorSettings& settings,
                                        std::vector<ChannelSummary>& summaries) {
    std::vector<ChannelModel> models(static_cast<std::size_t>(mean.channels()));
    for (int c = 0; c < mean.channels(); ++c) {
        models[static_cast<std::size_t>(c)].background = std::make_unique<LocalBackground>(mean, c, settings.window);
    }
    // The tiles' noise of all channels in one pass over the frame.
    std::vector<TileNoise> noise = TileNoise::ofChannels(mean, backgroundsOf(models), settings.noise, settings.floor);
    for (int c = 0; c < mean.channels(); ++c) {
        models[static_cast<std::size_t>(c)].noise =
            std::make_unique<TileNoise>(std::move(noise[static_cast<std::size_t>(c)]));
    }
    // The banding's row medians of all channels in one pass over the frame.
    const std::vector<std::vector<float>> rowMedians = bandingRowMedians(mean, backgroundsOf(models));
    for (int c = 0; c < mean.channels(); ++c) {
        ChannelModel& model = models[static_cast<std::size_t>(c)];
        takeBanding(mean, c, settings, rowMedians[static_cast<std::size_t>(c)], model);
        ChannelSummary summary;
        summary.name = channelName(mean.channels(), c);
        range(model.background->levels(), summary.backgroundLow, summary.backgroundHigh);
        range(model.noise->noise(), summary.noiseLow, summary.noiseHigh);
        range(model.noise->thresholds(), summary.thresholdLow, summary.thresholdHigh);
        summary.tiles = model.noise->tileColumns() * model.noise->tileRows();
        summaries.push_back(summary);
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

float significanceAt(const cv::Mat& mean, const std::vector<ChannelModel>& models, int x, int y) {
    float highest = -1e30f;
    for (int c = 0; c < mean.channels(); ++c) {
        const ChannelModel& model = models[static_cast<std::size_t>(c)];
        const float residual = mean.ptr<float>(y)[x * mean.channels() + c] - model.background->at(x, y);
        highest = std::max(highest, residual / model.noise->thresholdAt(x, y));
    }
    return highest;
}

// Whether the spot at `at` stands above the noise around it as well as
// above its tile's threshold, in one channel at least. A tile's noise is
// that of most of its pixels; a glow that falls off within a hundred
// pixels brings shot noise two or three times that into a corner of it,
// whose peaks pass the tile's threshold by the dozen. So the residual is
// also measured over 21x21 pixels around the spot (its own 7x7 left out),
// and where `noise` times that exceeds the tile's threshold by more than
// kNoisierShare (never by chance, over 392 values) it is the bar.
bool standsAboveLocalNoise(const cv::Mat& mean, const std::vector<ChannelModel>& models,
                           const LocalDetectorSettings& settings, cv::Point at) {
    constexpr int kOuter = 10, kInner = 3;
    constexpr float kNoisierShare = 1.3f;
    const cv::Rect area =
        cv::Rect(at.x - kOuter, at.y - kOuter, 2 * kOuter + 1, 2 * kOuter + 1) & cv::Rect(cv::Point(0, 0), mean.size());
    std::vector<float> residuals;
    for (int c = 0; c < mean.channels(); ++c) {
        const ChannelModel& model = models[static_cast<std::size_t>(c)];
        residuals.clear();
        for (int y = area.y; y < area.y + area.height; ++y) {
            for (int x = area.x; x < area.x + area.width; ++x) {
                if (std::abs(x - at.x) <= kInner && std::abs(y - at.y) <= kInner) continue;
                residuals.push_back(mean.ptr<float>(y)[x * mean.channels() + c] - model.background->at(x, y));
            }
        }
        const float threshold = model.noise->thresholdAt(at.x, at.y);
        const float local = static_cast<float>(settings.noise) * upperSigma(residuals);
        const float bar = local > kNoisierShare * threshold ? local : threshold;
        if (mean.ptr<float>(at.y)[at.x * mean.channels() + c] - model.background->at(at.x, at.y) > bar) return true;
    }
    return false;
}

// The strongest of the other peaks within `reach` of peak i: what
// shadowedSpots saw it in the shadow of.
cv::Point strongestNear(const std::vector<cv::Point>& peaks, const std::vector<float>& strengths, std::size_t i,
                        int reach) {
    cv::Point strongest(-1, -1);
    float best = strengths[i];
    for (std::size_t j = 0; j < peaks.size(); ++j) {
        const cv::Point d = peaks[j] - peaks[i];
        if (j != i && d.x * d.x + d.y * d.y <= reach * reach && strengths[j] > best) {
            best = strengths[j];
            strongest = peaks[j];
        }
    }
    return strongest;
}

// A lossy frame rings beside a hot line within the line's own 8-pixel JPEG
// blocks, a few pixels off it along its span. A line rings in every block
// along it, more strongly than a lone pixel does (its quantized terms add
// up along the block's rows): at quality 70 a spot 3 pixels off a column
// stood at 0.25 to 0.37 of it. A spot there under kLineShadowRatio times
// weaker than the line at its row is the line's ringing. For each spot the
// line's point that shadows it, or (-1, -1).
constexpr float kLineShadowRatio = 2.5f;
std::vector<cv::Point> lineShadows(const cv::Mat& mean, const std::vector<ChannelModel>& models,
                                   const std::vector<HotLine>& lines, const std::vector<cv::Point>& peaks,
                                   const std::vector<float>& strengths) {
    constexpr int kBlock = 8;
    std::vector<cv::Point> causes(peaks.size(), cv::Point(-1, -1));
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        for (const HotLine& line : lines) {
            const bool column = line.axis == HotLine::Axis::column;
            const int across = column ? peaks[i].x : peaks[i].y, along = column ? peaks[i].y : peaks[i].x;
            const int last = line.to == HotLine::kToEnd ? (column ? mean.rows : mean.cols) - 1 : line.to;
            if (across / kBlock != line.position / kBlock || along < line.from || along > last) continue;
            const cv::Point at = column ? cv::Point(line.position, along) : cv::Point(along, line.position);
            if (strengths[i] * kLineShadowRatio < describe(mean, models, at, 0, 0).strength) {
                causes[i] = at;
                break;
            }
        }
    }
    return causes;
}

// A lossy colour frame whose channels are tested alone: their bars
// lengthened by their noise's tail (channel_tails.h), the console's ranges
// with them, and the candidates judged again. One that no longer passes is
// a near miss where it still stands highest among its neighbours.
void testChannelsAlone(const cv::Mat& mean, const std::vector<ChannelModel>& models,
                       const LocalDetectorSettings& settings, Scan& found, std::vector<ChannelSummary>& summaries) {
    std::vector<TileNoise*> noise;
    for (const ChannelModel& model : models) noise.push_back(model.noise.get());
    lengthenChannelBars(mean, backgroundsOf(models), noise, found.standouts,
                        areaMultiple(settings.noise, static_cast<double>(mean.total())), settings.floor);
    for (std::size_t c = 0; c < models.size(); ++c) {
        range(models[c].noise->thresholds(), summaries[c].thresholdLow, summaries[c].thresholdHigh);
    }
    std::vector<SpotCandidate> kept;
    for (const SpotCandidate& candidate : found.candidates) {
        const cv::Point at = candidate.at;
        const float v = significanceAt(mean, models, at.x, at.y);
        if (v > 1.0f) {
            kept.push_back({at, v});
            continue;
        }
        if (!(v > kRejectedFloor)) continue;
        // Its 3 by 3 square as far as the frame has it, judged as the scan
        // judges its near misses.
        const int left = std::max(at.x - 1, 0), right = std::min(at.x + 1, mean.cols - 1);
        float square[3][3] = {};
        for (int dy = -1; dy <= 1; ++dy) {
            if (at.y + dy < 0 || at.y + dy >= mean.rows) continue;
            for (int x = left; x <= right; ++x) {
                square[dy + 1][x - left] = x == at.x && dy == 0 ? v : significanceAt(mean, models, x, at.y + dy);
            }
        }
        if (isStrictLocalMaximum(at.y > 0 ? square[0] : nullptr, square[1], at.y + 1 < mean.rows ? square[2] : nullptr,
                                 right - left + 1, at.x - left, EdgeRule::neighboursInside)) {
            found.nearMisses.emplace_back(v, at);
        }
    }
    found.candidates = std::move(kept);
}

// The spots of the candidates into the findings; the glints and leaks among
// them, then those in the shadow of a stronger one, strongest first, into
// `notTaken`.
void splitSpots(const cv::Mat& mean, const std::vector<ChannelModel>& models, const Scan& found,
                const LocalDetectorSettings& settings, const ColourSites* colourSites, Findings& findings,
                std::vector<Finding>& notTaken) {
    std::vector<Finding> spots;
    std::vector<cv::Point> peaks;
    std::vector<float> strengths;
    std::vector<std::int32_t> radii;
    const SignificancePatch patch = [&](const cv::Rect& area) {
        cv::Mat values(area.size(), CV_32FC1);
        for (int y = 0; y < area.height; ++y) {
            for (int x = 0; x < area.width; ++x)
                values.at<float>(y, x) = significanceAt(mean, models, area.x + x, area.y + y);
        }
        return values;
    };
    const ShapedSpots shaped = shapeSpots(mergeHotSpots(found.candidates, findings.lines, settings.minRadius), patch,
                                          mean.size(), settings.minRadius);
    // The risen spots take part in the shadowing: a faint spot beside a
    // strong one is its neighbour's, whatever it stands on.
    for (const std::vector<HotSpot>* list : {&shaped.spots, &shaped.risen}) {
        for (const HotSpot& spot : *list) {
            spots.push_back(describe(mean, models, spot.peak, spot.radius, spot.area));
            peaks.push_back(spot.peak);
            strengths.push_back(spots.back().strength);
            radii.push_back(spot.radius);
        }
    }
    // Only a lossy frame rings. Lossy colour frames tell ringing by its
    // source and shape, grey ones by distance and strength alone; in a
    // lossless frame a faint spot beside a strong one is a defect of its own
    // (what spreads from a hot site there, a demosaiced blob or a halo,
    // touches it and was merged into its spot already).
    std::vector<bool> shadowed(spots.size(), false);
    std::vector<cv::Point> byLine(spots.size(), cv::Point(-1, -1));
    if (colourSites) {
        shadowed = ringingSpots(mean, backgroundsOf(models), *colourSites, peaks, radii, strengths);
    } else if (settings.lossy) {
        shadowed = shadowedSpots(peaks, strengths, kShadow.reach, kShadow.ratio);
        byLine = lineShadows(mean, models, findings.lines, peaks, strengths);
        for (std::size_t i = 0; i < spots.size(); ++i) shadowed[i] = shadowed[i] || byLine[i].x >= 0;
    }
    std::vector<HotSpot> risen;
    for (std::size_t i = shaped.spots.size(); i < spots.size(); ++i) {
        if (!shadowed[i]) risen.push_back(shaped.risen[i - shaped.spots.size()]);
    }
    std::vector<StrayLight> blobs = shaped.strayLight;
    for (const StrayLight& blob : blobsOf(std::move(risen), mean.size())) blobs.push_back(blob);
    std::vector<Finding> light, inShadow;
    for (const StrayLight& blob : blobs) {
        light.push_back(describe(mean, models, blob.peak, blob.radius, 0));
        light.back().reason = blob.kind;
    }
    std::vector<Finding> drowned;
    for (std::size_t i = 0; i < spots.size(); ++i) {
        if (!shadowed[i]) {
            if (i >= shaped.spots.size()) continue;
            // A site found through its footprint was judged against the
            // noise of that estimate already; one channel alone holds too
            // little of a weak one for the local bar.
            if (colourSites || standsAboveLocalNoise(mean, models, settings, spots[i].peak)) {
                findings.spots.push_back(spots[i]);
            } else {
                drowned.push_back(spots[i]);
                drowned.back().reason = Rejection::weak;
            }
            continue;
        }
        inShadow.push_back(spots[i]);
        inShadow.back().reason = Rejection::neighbour;
        inShadow.back().cause = byLine[i].x >= 0 ? byLine[i] : strongestNear(peaks, strengths, i, kShadow.reach);
    }
    auto stronger = [](const Finding& a, const Finding& b) { return a.strength > b.strength; };
    std::sort(light.begin(), light.end(), stronger);
    std::sort(inShadow.begin(), inShadow.end(), stronger);
    std::sort(drowned.begin(), drowned.end(), stronger);
    notTaken = std::move(light);
    notTaken.insert(notTaken.end(), inShadow.begin(), inShadow.end());
    notTaken.insert(notTaken.end(), drowned.begin(), drowned.end());
}

// The rejected: the glints and leaks and the shadowed spots first, then the
// strongest near misses that lie neither in a line's band nor by a spot or
// a blob.
void keepRejected(const cv::Mat& mean, const std::vector<ChannelModel>& models, Scan& found,
                  const LocalDetectorSettings& settings, const std::vector<Finding>& notTaken, Findings& findings) {
    for (const Finding& spot : notTaken) {
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
        auto near = [&](const Finding& s) {
            const cv::Point d = s.peak - at;
            return d.x * d.x + d.y * d.y <= (s.radius + 2) * (s.radius + 2);
        };
        if (std::any_of(findings.spots.begin(), findings.spots.end(), near)) continue;
        if (std::any_of(notTaken.begin(), notTaken.end(), near)) continue;
        findings.rejected.push_back(describe(mean, models, at, settings.minRadius, 0));
        findings.rejected.back().reason = Rejection::weak;
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
    const bool colourTest = settings.lossy && mean.channels() == 3;
    const ColourSiteSettings siteSettings{settings.noise, settings.floor};
    Scan found = scan(mean, models, settings.rejectedKept * 8,
                      colourTest ? std::optional<float>(standoutLevel(siteSettings)) : std::nullopt);
    Findings& findings = detection.findings;
    findings.lines =
        findHotLines(found.linePoints, mean.size(), [&](int x, int y) { return significanceAt(mean, models, x, y); });

    // A lossy colour frame is tested through a site's footprint, when the
    // frame has the sites to learn it from; otherwise channel by channel.
    std::optional<ColourSites> colourSites;
    if (colourTest) {
        std::vector<const TileNoise*> noise;
        for (const ChannelModel& model : models) noise.push_back(model.noise.get());
        colourSites = findColourSites(mean, backgroundsOf(models), noise, findings.lines, siteSettings,
                                      &found.standouts, found.highest);
        if (!colourSites) testChannelsAlone(mean, models, settings, found, detection.channels);
        found.standouts = {};
        SiteSummary& summary = detection.sites.emplace();
        if (colourSites) {
            found.candidates = colourSites->candidates;
            summary = {true,
                       colourSites->sitesLearnt,
                       colourSites->noiseLow,
                       colourSites->noiseHigh,
                       colourSites->thresholdLow,
                       colourSites->thresholdHigh};
        }
    }

    std::vector<Finding> notTaken;
    splitSpots(mean, models, found, settings, colourSites ? &*colourSites : nullptr, findings, notTaken);
    keepRejected(mean, models, found, settings, notTaken, findings);
    return detection;
}

}  // namespace speckmend
