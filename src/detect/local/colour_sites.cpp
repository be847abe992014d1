// The passes of the colour site test: what stands out, the lone strong sites
// to learn from, the statistic's noise, and the test of each pixel.
#include "detect/local/colour_sites.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "detect/common/row_stripes.h"
#include "detect/local/channel_residuals.h"
#include "detect/local/hot_lines.h"
#include "detect/local/median_select.h"
#include "detect/local/site_residuals.h"
#include "detect/local/site_surroundings.h"

namespace speckmend {
namespace {

// The share of the threshold a channel must reach for its pixel to be
// tested (standoutLevel).
constexpr double kLookShare = 0.6;

// Sites that show their footprint clearly above the noise, the strongest
// first, a few hundred per phase at most (their median settles well before).
// A phase that has fewer than kFewSitesPerPhase of them (blue and red sites
// after 4:2:0 at low quality keep little of their height) takes weaker ones
// down to kWeakestLearnLevel until it has that many: the median of a few
// dozen noisy shapes is still the shape.
constexpr float kLearnLevel = 12.0f;
constexpr float kWeakestLearnLevel = 6.0f;
constexpr std::size_t kFewSitesPerPhase = 24;
constexpr std::size_t kMostSitesPerPhase = 256;
// A site to learn from is the highest pixel within kPeakReach, and nothing
// from its own spread's edge (kOwnReach) out to kLoneReach stands above
// kLoneShare of it: a neighbour there would be learnt as part of the shape.
constexpr int kPeakReach = 2;
constexpr int kOwnReach = 5;
constexpr int kLoneReach = 10;
constexpr float kLoneShare = 0.2f;
// A site whose neighbourhood touches the frame's highest level may be
// clipped; its shape is not the shape of the sites below it.
constexpr float kClippedShare = 0.95f;

// The lower tail is not free of hot sites in a JPEG: a strong site rings
// below the background too, over its colour block, and 200 sites put
// thousands of such samples into a tail of a few dozen (a blue site's
// threshold came out a third too high for it). So the samples within
// kRingingReach of a site kLearnLevel strong or more are left out, unless
// the sites cover more than kMostCovered of the frame (a dense map), where
// too little would be left to measure.
constexpr double kMostCovered = 0.5;

constexpr int kPhases = SiteFootprint::kPhases;
constexpr int kCore = SiteFootprint::kCore;
constexpr int kCoreSide = SiteFootprint::kCoreSide;

std::int64_t positionKey(int x, int y) { return (static_cast<std::int64_t>(y) << 32) ^ (x & 0xffffffffLL); }

// The frame's highest value over all channels, on stripes of rows in
// parallel: one pass over the whole mean, which a single thread would take
// as long as the rest of this test together. The largest of the stripes'
// largest is the largest, exactly. Only for a caller whose own pass over the
// mean has not found it already (findColourSites).
float highestValue(const cv::Mat& mean) {
    const RowStripes stripes({0, mean.rows});
    std::vector<double> highest(static_cast<std::size_t>(stripes.count()), 0.0);
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        for (int s = range.start; s < range.end; ++s) {
            cv::minMaxLoc(mean.rowRange(stripes[s]).reshape(1), nullptr, &highest[static_cast<std::size_t>(s)]);
        }
    });
    return static_cast<float>(*std::max_element(highest.begin(), highest.end()));
}

bool nearLine(const std::vector<HotLine>& lines, int x, int y, int margin) {
    return std::any_of(lines.begin(), lines.end(), [&](const HotLine& line) {
        const int at = line.axis == HotLine::Axis::column ? x : y;
        return std::abs(at - line.position) <= line.r + margin;
    });
}

// The strong lone unclipped sites, the strongest first, at most
// kMostSitesPerPhase per phase.
std::vector<SiteFootprint::Site> loneSites(const cv::Mat& mean, const Residuals& residuals,
                                           const std::vector<Standout>& found, const std::vector<HotLine>& lines,
                                           float highest) {
    constexpr int kSpread = SiteFootprint::kSpread;
    std::unordered_map<std::int64_t, float> level;
    level.reserve(found.size());
    for (const Standout& s : found) level.emplace(positionKey(s.at.x, s.at.y), s.level);
    auto levelAt = [&](int x, int y) {
        const auto it = level.find(positionKey(x, y));
        return it == level.end() ? 0.0f : it->second;
    };
    std::vector<const Standout*> strong;
    for (const Standout& s : found) {
        if (s.level >= kWeakestLearnLevel) strong.push_back(&s);
    }
    std::stable_sort(strong.begin(), strong.end(),
                     [](const Standout* a, const Standout* b) { return a->level > b->level; });

    const float clipped = kClippedShare * highest;
    const int channels = mean.channels();
    std::vector<SiteFootprint::Site> sites;
    std::size_t perPhase[kPhases] = {};
    for (const Standout* s : strong) {
        const int x = s->at.x, y = s->at.y;
        const int phase = SiteFootprint::phaseOf(x, y);
        if (perPhase[phase] >= (s->level >= kLearnLevel ? kMostSitesPerPhase : kFewSitesPerPhase)) continue;
        if (x < kSpread || y < kSpread || x >= mean.cols - kSpread || y >= mean.rows - kSpread) continue;
        if (nearLine(lines, x, y, kSpread)) continue;
        bool lone = true;
        for (int dy = -kLoneReach; dy <= kLoneReach && lone; ++dy) {
            for (int dx = -kLoneReach; dx <= kLoneReach && lone; ++dx) {
                const int distance = std::max(std::abs(dx), std::abs(dy));
                if (distance == 0) continue;
                const float other = levelAt(x + dx, y + dy);
                if (distance <= kPeakReach) {
                    lone = other < s->level;
                } else if (distance >= kOwnReach) {
                    lone = other <= kLoneShare * s->level;
                }
            }
        }
        for (int dy = -kSpread; dy <= kSpread && lone; ++dy) {
            const float* row = mean.ptr<float>(y + dy);
            for (int k = (x - kSpread) * channels; k < (x + kSpread + 1) * channels && lone; ++k)
                lone = row[k] < clipped;
        }
        if (!lone) continue;
        SiteFootprint::Site site;
        site.phase = phase;
        site.residual.resize(static_cast<std::size_t>(channels) * SiteFootprint::kSide * SiteFootprint::kSide);
        residuals.patch(x, y, kSpread, site.residual.data());
        sites.push_back(std::move(site));
        ++perPhase[phase];
    }
    return sites;
}

// The statistic's noise (site_noise.h), the samples by strong sites left
// out where they leave enough to measure.
SiteNoise siteNoise(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds, const TileNoise& tiles,
                    const SiteFootprint& footprint, const std::vector<Standout>& found, double multiple) {
    const std::optional<SiteSurroundings> surroundings = strongSiteSurroundings(mean.size(), found);
    return measureSiteNoise(mean, backgrounds, tiles, footprint, surroundings ? &*surroundings : nullptr, multiple);
}

// Whether a site within kRingingReach of the spot at `peak`, beyond its
// `radius`, stands kRingingRatio times as high as the spot at the sensor,
// both measured through the footprint. A strong blue or red site keeps a
// third of its height in its own channel and its ringing, in the halved
// chroma, rather more: measured in the channels, such ringing seems to
// have no source. `window`: scratch space.
bool sourcedAtTheSensor(const Residuals& residuals, const SiteFootprint& footprint, cv::Point peak, int radius,
                        std::vector<float>& window) {
    constexpr int kReach = kRingingReach + kCore;
    constexpr int kSide = 2 * kReach + 1;
    window.resize(3 * kSide * kSide);
    residuals.patch(peak.x, peak.y, kReach, window.data());
    float core[3 * kCoreSide * kCoreSide];
    // The core around offset (dx, dy) from the peak, from the window.
    auto amplitudeAt = [&](int dx, int dy) {
        float* to = core;
        for (int c = 0; c < 3; ++c) {
            for (int y = dy - kCore; y <= dy + kCore; ++y) {
                const float* row = window.data() + (c * kSide + y + kReach) * kSide + kReach;
                for (int x = dx - kCore; x <= dx + kCore; ++x) *to++ = row[x];
            }
        }
        return footprint.amplitude(SiteFootprint::phaseOf(peak.x + dx, peak.y + dy), core);
    };
    const float own = amplitudeAt(0, 0);
    if (!(own > 0.0f)) return false;
    for (int dy = -kRingingReach; dy <= kRingingReach; ++dy) {
        for (int dx = -kRingingReach; dx <= kRingingReach; ++dx) {
            if (std::max(std::abs(dx), std::abs(dy)) <= radius) continue;
            if (amplitudeAt(dx, dy) >= kRingingRatio * own) return true;
        }
    }
    return false;
}

// The site test of each tested pixel (in raster order): the pixels whose
// site's amplitude passes both the noise's bar and the floor, with its
// significance, in the same order. On several threads, each on chunks of
// neighbouring pixels.
std::vector<SpotCandidate> testPixels(const cv::Mat& mean, const Residuals& residuals,
                                      const std::vector<cv::Point>& tested, const SiteFootprint& footprint,
                                      const SiteNoise& noise, float multiple, float floor) {
    constexpr int kChunk = 4096;
    const int chunks = static_cast<int>((tested.size() + kChunk - 1) / kChunk);
    std::vector<std::vector<SpotCandidate>> passed(static_cast<std::size_t>(chunks));
    cv::parallel_for_(cv::Range(0, chunks), [&](const cv::Range& range) {
        float core[3 * kCoreSide * kCoreSide];
        ResidualRows rows(residuals, mean.size(), mean.channels(), kCore);
        for (int chunk = range.start; chunk < range.end; ++chunk) {
            const std::size_t end = std::min(tested.size(), static_cast<std::size_t>(chunk + 1) * kChunk);
            for (std::size_t i = static_cast<std::size_t>(chunk) * kChunk; i < end; ++i) {
                const cv::Point p = tested[i];
                const int phase = SiteFootprint::phaseOf(p.x, p.y);
                rows.patch(p.x, p.y, kCore, core);
                float amplitude = 0.0f, edgeGain = 1.0f;
                if (p.x < kCore || p.y < kCore || p.x >= mean.cols - kCore || p.y >= mean.rows - kCore) {
                    bool inside[kCoreSide * kCoreSide];
                    for (int dy = -kCore; dy <= kCore; ++dy) {
                        for (int dx = -kCore; dx <= kCore; ++dx) {
                            const int x = p.x + dx, y = p.y + dy;
                            inside[(dy + kCore) * kCoreSide + dx + kCore] =
                                x >= 0 && y >= 0 && x < mean.cols && y < mean.rows;
                        }
                    }
                    amplitude = footprint.amplitudeInside(phase, core, inside, edgeGain);
                } else {
                    amplitude = footprint.amplitude(phase, core);
                }
                const float bar = multiple * edgeGain * noise.lengthening[static_cast<std::size_t>(phase)] *
                                  noise.at(p.x, p.y, phase);
                if (amplitude < bar || amplitude < floor) continue;
                const float significance =
                    floor > 0.0f ? std::min(amplitude / bar, amplitude / floor) : amplitude / bar;
                passed[static_cast<std::size_t>(chunk)].push_back({p, significance});
            }
        }
    });
    std::vector<SpotCandidate> candidates;
    for (const auto& part : passed) candidates.insert(candidates.end(), part.begin(), part.end());
    return candidates;
}

}  // namespace

std::optional<SiteSurroundings> strongSiteSurroundings(cv::Size size, const std::vector<Standout>& standouts) {
    std::vector<cv::Point> strong;
    for (const Standout& s : standouts) {
        if (s.level >= kLearnLevel) strong.push_back(s.at);
    }
    SiteSurroundings surroundings(size, strong, kRingingReach);
    if (surroundings.coveredShare() > kMostCovered) return std::nullopt;
    return surroundings;
}

float standoutLevel(const ColourSiteSettings& settings) { return static_cast<float>(kLookShare * settings.noise); }

void StandoutRow::addChannel(const float* meanRow, int channels, int c, const float* background, const TileNoise& tiles,
                             int y) {
    const int width = static_cast<int>(highest_.size());
    float* highest = highest_.data();
    for (int left = 0; left < width; left += tiles.tileWidth()) {
        const int right = std::min(left + tiles.tileWidth(), width);
        const float scale = 1.0f / std::max(tiles.noiseAt(left, y), kSmallestSiteNoise);
        // A vector at a time, each lane as the single value below (the
        // larger as std::max takes it): every row of the frame passes here
        // once per channel.
        int x = residualVectors(meanRow, background, highest, left, right, channels, c, scale);
        for (; x < right; ++x) {
            const float v = (meanRow[x * channels + c] - background[x]) * scale;
            highest[x] = c == 0 ? v : std::max(highest[x], v);
        }
    }
}

void StandoutRow::collect(int y, float level, std::vector<Standout>& out) const {
    for (int x = 0; x < static_cast<int>(highest_.size()); ++x) {
        if (highest_[static_cast<std::size_t>(x)] >= level)
            out.push_back({{x, y}, highest_[static_cast<std::size_t>(x)]});
    }
}

std::vector<cv::Point> pointsAroundStandouts(const std::vector<Standout>& found, cv::Size size) {
    const auto raster = [](const Standout& a, const Standout& b) {
        return a.at.y != b.at.y ? a.at.y < b.at.y : a.at.x < b.at.x;
    };
    std::vector<Standout> sorted;
    const std::vector<Standout>* in = &found;
    if (!std::is_sorted(found.begin(), found.end(), raster)) {
        sorted = found;
        std::sort(sorted.begin(), sorted.end(), raster);
        in = &sorted;
    }
    // The standouts' rows, each with its run of standouts.
    struct Run {
        int y;
        std::size_t begin, end;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < in->size(); ++i) {
        const int y = (*in)[i].at.y;
        if (runs.empty() || runs.back().y != y) runs.push_back({y, i, i});
        runs.back().end = i + 1;
    }
    std::vector<cv::Point> tested;
    tested.reserve(found.size() * 3);
    std::vector<int> columns;
    std::size_t first = 0;  // the first run that may reach the row
    int done = -1;          // the rows above this one are out
    for (const Run& run : runs) {
        for (int y = std::max({run.y - 1, done + 1, 0}); y <= std::min(run.y + 1, size.height - 1); ++y) {
            // The columns of the runs of rows y - 1 to y + 1, merged in order.
            while (runs[first].y < y - 1) ++first;
            columns.clear();
            for (std::size_t r = first; r < runs.size() && runs[r].y <= y + 1; ++r) {
                const std::size_t middle = columns.size();
                for (std::size_t i = runs[r].begin; i < runs[r].end; ++i) columns.push_back((*in)[i].at.x);
                std::inplace_merge(columns.begin(), columns.begin() + static_cast<std::ptrdiff_t>(middle),
                                   columns.end());
            }
            int last = -1;  // the columns up to this one are in
            for (const int x : columns) {
                for (int p = std::max({x - 1, last + 1, 0}); p <= std::min(x + 1, size.width - 1); ++p) {
                    tested.emplace_back(p, y);
                    last = p;
                }
            }
            done = y;
        }
    }
    return tested;
}

std::vector<Standout> findStandouts(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                    const std::vector<const TileNoise*>& noise, const ColourSiteSettings& settings) {
    if (mean.empty() || mean.depth() != CV_32F) throw std::invalid_argument("findStandouts needs a float mean");
    if (backgrounds.size() != static_cast<std::size_t>(mean.channels()) || noise.size() != backgrounds.size()) {
        throw std::invalid_argument("findStandouts: one model per channel");
    }
    const int width = mean.cols, channels = mean.channels();
    const float level = standoutLevel(settings);
    const RowStripes stripes({0, mean.rows});
    std::vector<std::vector<Standout>> parts(static_cast<std::size_t>(stripes.count()));
    cv::parallel_for_(cv::Range(0, stripes.count()), [&](const cv::Range& range) {
        std::vector<float> background(static_cast<std::size_t>(width));
        StandoutRow row(width);
        for (int s = range.start; s < range.end; ++s) {
            for (int y = stripes[s].start; y < stripes[s].end; ++y) {
                for (int c = 0; c < channels; ++c) {
                    backgrounds[static_cast<std::size_t>(c)]->fillRow(y, background.data());
                    row.addChannel(mean.ptr<float>(y), channels, c, background.data(),
                                   *noise[static_cast<std::size_t>(c)], y);
                }
                row.collect(y, level, parts[static_cast<std::size_t>(s)]);
            }
        }
    });
    std::vector<Standout> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::optional<ColourSites> findColourSites(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                           const std::vector<const TileNoise*>& noise,
                                           const std::vector<HotLine>& lines, const ColourSiteSettings& settings,
                                           const std::vector<Standout>* given, std::optional<float> highest) {
    if (mean.empty() || mean.type() != CV_32FC3) throw std::invalid_argument("findColourSites needs a CV_32FC3 mean");
    if (backgrounds.size() != 3 || noise.size() != 3) throw std::invalid_argument("findColourSites: three models");
    const Residuals residuals(mean, backgrounds);

    std::vector<Standout> own;
    if (!given) own = findStandouts(mean, backgrounds, noise, settings);
    const std::vector<Standout>& found = given ? *given : own;
    std::vector<float> channelNoise;
    for (const TileNoise* tiles : noise) {
        std::vector<float> tileNoise(tiles->noise().begin<float>(), tiles->noise().end<float>());
        channelNoise.push_back(upperMedian(tileNoise));
    }
    const std::vector<SiteFootprint::Site> lone =
        loneSites(mean, residuals, found, lines, highest ? *highest : highestValue(mean));
    std::optional<SiteFootprint> footprint = SiteFootprint::learn(lone, 3, channelNoise);
    if (!footprint) return std::nullopt;

    ColourSites sites{*footprint, {}, 0, 0, 0, 0, lone.size()};
    const float multiple = static_cast<float>(areaMultiple(settings.noise, static_cast<double>(mean.total())));
    const SiteNoise siteNoiseModel = siteNoise(mean, backgrounds, *noise[0], sites.footprint, found, multiple);
    bool first = true;
    for (int phase = 0; phase < kPhases; ++phase) {
        const cv::Mat& sigma = siteNoiseModel.sigma[static_cast<std::size_t>(phase)];
        const float lengthening = siteNoiseModel.lengthening[static_cast<std::size_t>(phase)];
        for (auto v = sigma.begin<float>(); v != sigma.end<float>(); ++v) {
            const float threshold = std::max(multiple * lengthening * *v, static_cast<float>(settings.floor));
            sites.noiseLow = first ? *v : std::min(sites.noiseLow, *v);
            sites.noiseHigh = first ? *v : std::max(sites.noiseHigh, *v);
            sites.thresholdLow = first ? threshold : std::min(sites.thresholdLow, threshold);
            sites.thresholdHigh = first ? threshold : std::max(sites.thresholdHigh, threshold);
            first = false;
        }
    }

    const std::vector<cv::Point> tested = pointsAroundStandouts(found, mean.size());

    sites.candidates = testPixels(mean, residuals, tested, sites.footprint, siteNoiseModel, multiple,
                                  static_cast<float>(settings.floor));
    return sites;
}

std::vector<bool> ringingSpots(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                               const ColourSites& sites, const std::vector<cv::Point>& peaks,
                               const std::vector<std::int32_t>& radii, const std::vector<float>& strengths) {
    if (peaks.size() != radii.size() || peaks.size() != strengths.size() || false) {
        throw std::invalid_argument("ringingSpots: one radius and strength per peak, one fit per candidate");
    }
    const Residuals residuals(mean, backgrounds);
    std::vector<float> patch(static_cast<std::size_t>(mean.channels()) * SiteFootprint::kSide * SiteFootprint::kSide);
    std::vector<bool> ringing(peaks.size(), false);
    std::vector<float> window;
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        const float source = kRingingRatio * strengths[i];
        const int x0 = std::max(peaks[i].x - kRingingReach, 0),
                  x1 = std::min(peaks[i].x + kRingingReach, mean.cols - 1);
        const int y0 = std::max(peaks[i].y - kRingingReach, 0),
                  y1 = std::min(peaks[i].y + kRingingReach, mean.rows - 1);
        bool sourced = false;
        for (int y = y0; y <= y1 && !sourced; ++y) {
            for (int x = x0; x <= x1 && !sourced; ++x) {
                if (std::max(std::abs(x - peaks[i].x), std::abs(y - peaks[i].y)) <= radii[i]) continue;
                for (int c = 0; c < mean.channels() && !sourced; ++c) sourced = residuals.at(x, y, c) >= source;
            }
        }
        if (!sourced) sourced = sourcedAtTheSensor(residuals, sites.footprint, peaks[i], radii[i], window);
        if (!sourced) continue;
        residuals.patch(peaks[i].x, peaks[i].y, SiteFootprint::kSpread, patch.data());
        const float fit = sites.footprint.fit(SiteFootprint::phaseOf(peaks[i].x, peaks[i].y), patch.data());
        ringing[i] = fit < kRingingFit;
    }
    return ringing;
}

}  // namespace speckmend
