// Learning a hot site's footprint from the frame's own lone hot sites.
#include "detect/local/site_footprint.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <opencv2/core/hal/intrin.hpp>

namespace speckmend {
namespace {

// The weights of blue, green and red in luma, as JPEG's colour conversion
// (and most others) takes them.
constexpr float kLumaWeight[] = {0.114f, 0.587f, 0.299f};

// Median and scale are refined in turn, each site's scale fitted to the
// median shape of all: a few rounds settle it.
constexpr int kRounds = 3;

float median(std::vector<float>& values) {
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The median shape of the sites, each divided by its own scale first; sites
// whose scale is not positive (a fit gone wrong) take no part.
std::vector<float> medianShape(const std::vector<const SiteFootprint::Site*>& sites, const std::vector<float>& scales,
                               std::size_t size) {
    std::vector<float> shape(size, 0.0f);
    std::vector<float> values;
    for (std::size_t k = 0; k < size; ++k) {
        values.clear();
        for (std::size_t i = 0; i < sites.size(); ++i) {
            if (scales[i] > 0.0f) values.push_back(sites[i]->residual[k] / scales[i]);
        }
        if (!values.empty()) shape[k] = median(values);
    }
    return shape;
}

std::size_t cell(int c, int dx, int dy) {
    constexpr int kSide = SiteFootprint::kSide, kSpread = SiteFootprint::kSpread;
    return static_cast<std::size_t>((c * kSide + dy + kSpread) * kSide + dx + kSpread);
}

// The median shape of one phase's sites and each site's scale fitted to it,
// in turn; nothing when the shape comes out empty.
std::optional<std::vector<float>> fittedShape(const std::vector<const SiteFootprint::Site*>& own, int channels,
                                              std::size_t size) {
    // First scales: each site's highest channel at its centre.
    std::vector<float> scales(own.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        float highest = 0.0f;
        for (int c = 0; c < channels; ++c) highest = std::max(highest, own[i]->residual[cell(c, 0, 0)]);
        scales[i] = highest;
    }
    std::vector<float> shape;
    for (int round = 0; round < kRounds; ++round) {
        shape = medianShape(own, scales, size);
        double norm = 0.0;
        for (float t : shape) norm += static_cast<double>(t) * t;
        if (!(norm > 0.0)) return std::nullopt;
        for (std::size_t i = 0; i < own.size(); ++i) {
            double dot = 0.0;
            for (std::size_t k = 0; k < size; ++k) dot += static_cast<double>(shape[k]) * own[i]->residual[k];
            scales[i] = static_cast<float>(dot / norm);
        }
    }
    return shape;
}

// A phase with too few sites of its own (blue ones after 4:2:0 at low
// quality) takes its partner's shape mirrored: the two greens are each
// other's transpose, red and blue each other's point reflection with their
// channels swapped, as demosaicing and the halved chroma's blocks treat them
// alike. Only the colour conversion's weights differ, which the amplitude's
// scale takes from each phase's own colour. Three channels only.
std::vector<float> mirroredShape(const std::vector<float>& from, int phase) {
    constexpr int kSpread = SiteFootprint::kSpread;
    std::vector<float> shape(from.size(), 0.0f);
    const bool green = phase == 1 || phase == 2;
    for (int c = 0; c < 3; ++c) {
        const int fromChannel = green ? c : 2 - c;
        for (int dy = -kSpread; dy <= kSpread; ++dy) {
            for (int dx = -kSpread; dx <= kSpread; ++dx) {
                shape[cell(c, dx, dy)] = green ? from[cell(fromChannel, dy, dx)] : from[cell(fromChannel, -dx, -dy)];
            }
        }
    }
    return shape;
}

}  // namespace

std::optional<SiteFootprint> SiteFootprint::learn(const std::vector<Site>& sites, int channels,
                                                  const std::vector<float>& channelNoise) {
    if (channels < 1 || static_cast<int>(channelNoise.size()) != channels) {
        throw std::invalid_argument("SiteFootprint::learn: one noise per channel");
    }
    const std::size_t size = static_cast<std::size_t>(channels) * kSide * kSide;
    std::array<std::vector<const Site*>, kPhases> byPhase;
    for (const Site& site : sites) {
        if (site.phase < 0 || site.phase >= kPhases || site.residual.size() != size) {
            throw std::invalid_argument("SiteFootprint::learn: a site of another shape");
        }
        byPhase[static_cast<std::size_t>(site.phase)].push_back(&site);
    }
    SiteFootprint footprint;
    footprint.channels_ = channels;
    for (float n : channelNoise) footprint.weight_.push_back(1.0f / std::max(1e-6f, n * n));
    std::array<bool, kPhases> learnt{};
    for (int phase = 0; phase < kPhases; ++phase) {
        const auto& own = byPhase[static_cast<std::size_t>(phase)];
        if (own.size() < kFewestSites) continue;
        std::optional<std::vector<float>> shape = fittedShape(own, channels, size);
        if (!shape) return std::nullopt;
        footprint.shape_[static_cast<std::size_t>(phase)] = std::move(*shape);
        footprint.learnt_[static_cast<std::size_t>(phase)] = own.size();
        learnt[static_cast<std::size_t>(phase)] = true;
    }
    for (int phase = 0; phase < kPhases; ++phase) {
        if (learnt[static_cast<std::size_t>(phase)]) continue;
        const int partner = kPhases - 1 - phase;
        if (channels != 3 || !learnt[static_cast<std::size_t>(partner)]) return std::nullopt;
        footprint.shape_[static_cast<std::size_t>(phase)] =
            mirroredShape(footprint.shape_[static_cast<std::size_t>(partner)], phase);
    }
    for (int phase = 0; phase < kPhases; ++phase) {
        const auto& shape = footprint.shape_[static_cast<std::size_t>(phase)];
        double best = -1e30;
        for (int c = 0; c < channels; ++c) {
            double total = 0.0;
            for (int k = 0; k < kSide * kSide; ++k) total += shape[static_cast<std::size_t>(c * kSide * kSide + k)];
            if (total > best) best = total, footprint.colour_[static_cast<std::size_t>(phase)] = c;
        }
    }

    // The scale of each phase's shape in DN at the sensor (see the header).
    for (int phase = 0; phase < kPhases; ++phase) {
        const int colour = footprint.colour_[static_cast<std::size_t>(phase)];
        int sameColour = 0;
        for (int other = 0; other < kPhases; ++other)
            sameColour += footprint.colour_[static_cast<std::size_t>(other)] == colour;
        auto& shape = footprint.shape_[static_cast<std::size_t>(phase)];
        double total = 0.0;
        for (int k = 0; k < kSide * kSide; ++k) total += shape[static_cast<std::size_t>(colour * kSide * kSide + k)];
        double amplitude = total * sameColour / kPhases;
        if (channels == 3) {
            double luma = 0.0;
            for (int c = 0; c < 3; ++c) luma += kLumaWeight[c] * shape[index(c, 0, 0)];
            amplitude = std::max(amplitude, luma / kLumaWeight[colour]);
        }
        if (!(amplitude > 0.0)) return std::nullopt;
        for (float& t : shape) t = static_cast<float>(t / amplitude);

        // The core's matched filter for noise that differs by channel.
        auto& filter = footprint.filter_[static_cast<std::size_t>(phase)];
        filter.assign(static_cast<std::size_t>(channels) * kCoreSide * kCoreSide, 0.0f);
        double response = 0.0;
        for (int c = 0; c < channels; ++c) {
            const double weight = 1.0 / std::max(1e-6, static_cast<double>(channelNoise[static_cast<std::size_t>(c)]) *
                                                           channelNoise[static_cast<std::size_t>(c)]);
            for (int dy = -kCore; dy <= kCore; ++dy) {
                for (int dx = -kCore; dx <= kCore; ++dx) {
                    const double t = shape[index(c, dx, dy)];
                    filter[static_cast<std::size_t>((c * kCoreSide + dy + kCore) * kCoreSide + dx + kCore)] =
                        static_cast<float>(t * weight);
                    response += t * t * weight;
                }
            }
        }
        if (!(response > 0.0)) return std::nullopt;
        for (float& f : filter) f = static_cast<float>(f / response);
    }
    return footprint;
}

float SiteFootprint::amplitude(int phase, const float* core) const {
    const auto& filter = filter_[static_cast<std::size_t>(phase)];
    float sum = 0.0f;
    for (std::size_t k = 0; k < filter.size(); ++k) sum += filter[k] * core[k];
    return sum;
}

void SiteFootprint::amplitudeRow(int y, const float* const* rows, int from, int to, float* out) const {
    const std::size_t terms = static_cast<std::size_t>(channels_) * kCoreSide * kCoreSide;
    // Where term k of the core lies: its row and its column offset.
    auto rowOf = [&](std::size_t k) { return rows[k / kCoreSide]; };
    auto offsetOf = [](std::size_t k) { return static_cast<int>(k % kCoreSide) - kCore; };
    int x = from;
#if CV_SIMD
    // Neighbouring columns lie at the two phases of the row, so the lanes'
    // filters alternate; a vector starting at an even column takes
    // lanes[0], one at an odd column lanes[1].
    constexpr int kLanes = cv::v_float32::nlanes;
    std::vector<float> lanes[2];
    for (int start = 0; start < 2; ++start) {
        lanes[start].resize(terms * kLanes);
        for (std::size_t k = 0; k < terms; ++k) {
            for (int i = 0; i < kLanes; ++i)
                lanes[start][k * kLanes + i] = filter_[static_cast<std::size_t>(phaseOf(start + i, y))][k];
        }
    }
    for (; x + kLanes <= to; x += kLanes) {
        const float* filter = lanes[x & 1].data();
        cv::v_float32 sum = cv::vx_setzero_f32();
        for (std::size_t k = 0; k < terms; ++k) {
            const cv::v_float32 product = cv::vx_load(filter + k * kLanes) * cv::vx_load(rowOf(k) + x + offsetOf(k));
            sum = sum + product;
        }
        cv::v_store(out + x, sum);
    }
#endif
    std::vector<float> core(terms);
    for (; x < to; ++x) {
        for (std::size_t k = 0; k < terms; ++k) core[k] = rowOf(k)[x + offsetOf(k)];
        out[x] = amplitude(phaseOf(x, y), core.data());
    }
}

float SiteFootprint::amplitudeInside(int phase, const float* core, const bool* inside, float& noiseGain) const {
    const auto& filter = filter_[static_cast<std::size_t>(phase)];
    const auto& shape = shape_[static_cast<std::size_t>(phase)];
    double sum = 0.0, response = 0.0, varianceInside = 0.0, varianceWhole = 0.0;
    std::size_t k = 0;
    for (int c = 0; c < channels_; ++c) {
        const double variance = 1.0 / weight_[static_cast<std::size_t>(c)];
        std::size_t pixel = 0;
        for (int dy = -kCore; dy <= kCore; ++dy) {
            for (int dx = -kCore; dx <= kCore; ++dx, ++k, ++pixel) {
                const double f = filter[k];
                varianceWhole += f * f * variance;
                if (!inside[pixel]) continue;
                sum += f * core[k];
                response += f * shape[index(c, dx, dy)];
                varianceInside += f * f * variance;
            }
        }
    }
    if (!(response > 0.0) || !(varianceWhole > 0.0)) {
        noiseGain = std::numeric_limits<float>::infinity();
        return 0.0f;
    }
    noiseGain = static_cast<float>(std::sqrt(varianceInside / varianceWhole) / response);
    return static_cast<float>(sum / response);
}

float SiteFootprint::fit(int phase, const float* patch, int reach) const {
    if (reach < 0 || reach > kSpread) throw std::invalid_argument("SiteFootprint::fit: reach beyond the spread");
    const auto& shape = shape_[static_cast<std::size_t>(phase)];
    double dot = 0.0, own = 0.0, theirs = 0.0;
    const float* v = patch;
    for (int c = 0; c < channels_; ++c) {
        const double weight = weight_[static_cast<std::size_t>(c)];
        for (int dy = -reach; dy <= reach; ++dy) {
            for (int dx = -reach; dx <= reach; ++dx, ++v) {
                const double t = shape[index(c, dx, dy)];
                dot += weight * t * *v;
                own += weight * *v * *v;
                theirs += weight * t * t;
            }
        }
    }
    return own > 0.0 && theirs > 0.0 ? static_cast<float>(dot / std::sqrt(own * theirs)) : 0.0f;
}

}  // namespace speckmend
