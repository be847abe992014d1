// Sampling the site estimate's noise and reading its tails.
#include "detect/local/site_noise.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "detect/local/median_select.h"

namespace speckmend {
namespace {

// The statistic's noise is measured on every pixel of one row in
// kSampleRowStride (fewer in low tiles, at least a dozen rows each): an odd
// stride meets every row of the mosaic and of the JPEG blocks alike.
constexpr int kSampleRowStride = 5;
constexpr int kFewestSampleRows = 12;
constexpr std::size_t kFewestTileSamples = 64;
// The lower tail at a share of kTailShare lies kTailSigmas below the median
// for Gaussian noise; read only from enough samples to hold a few there
// (smaller frames take the tiles' noise as Gaussian).
constexpr double kTailShare = 1e-4;
constexpr double kTailSigmas = 3.7190;
// and at kNearShare, kNearSigmas.
constexpr double kNearShare = 1e-3;
constexpr double kNearSigmas = 3.0902;
// The body of the noise, at kBodyShare, holds thousands of values where a
// few hundred sites move it by a percent or two. Below high quality the
// quantizer's dead zone leaves the statistic's lower side longer than its
// upper (the body's upper side a tenth narrower at quality 70), and the
// lower tail then overstates the upper; that is taken off, down to
// kShortestSkew, when the near tail agrees: by the nearer tail's ratio where
// it is the smaller (sites only ever lengthen the upper side, so the
// smaller ratio is the one they moved less).
constexpr double kBodyShare = 1e-2;
constexpr double kShortestSkew = 0.8;
constexpr std::size_t kFewestTailSamples = 20000;
constexpr int kPhases = SiteFootprint::kPhases;
constexpr int kCore = SiteFootprint::kCore;
constexpr int kCoreSide = SiteFootprint::kCoreSide;

// The footprint's estimate at every pixel of the sampled rows, by tile and
// phase: samples[(ty * columns + tx) * kPhases + phase].
// Pixels `skip` covers are left out.
std::vector<std::vector<float>> siteNoiseSamples(const cv::Mat& mean,
                                                 const std::vector<const LocalBackground*>& backgrounds,
                                                 const TileNoise& tiles, const SiteFootprint& footprint,
                                                 const SiteSurroundings* skip) {
    const int width = mean.cols, height = mean.rows, channels = mean.channels();
    const int columns = tiles.tileColumns(), rows = tiles.tileRows();
    const int tileWidth = tiles.tileWidth(), tileHeight = tiles.tileHeight();
    const int stride = std::max(1, std::min(kSampleRowStride, tileHeight / kFewestSampleRows)) | 1;
    std::vector<std::vector<float>> samples(static_cast<std::size_t>(rows) * columns * kPhases);
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
        // The core's rows of residuals per channel around the sampled row.
        std::vector<float> residual(static_cast<std::size_t>(kCoreSide * channels) * width);
        std::vector<float> background(static_cast<std::size_t>(width));
        // Channel by channel, the rows above, at and below the sampled row.
        std::vector<const float*> rowsOfCore;
        for (int c = 0; c < channels; ++c) {
            for (int dy = 0; dy < kCoreSide; ++dy)
                rowsOfCore.push_back(residual.data() + static_cast<std::size_t>(dy * channels + c) * width);
        }
        std::vector<float> estimates(static_cast<std::size_t>(width));
        float core[3 * kCoreSide * kCoreSide];
        for (int ty = range.start; ty < range.end; ++ty) {
            const int top = ty * tileHeight, bottom = std::min(top + tileHeight, height);
            // Room for every sample a tile can have at each phase: grown
            // by doubling, the samples would hold half as much again in
            // room they never use, at the run's peak of memory.
            const int sampledRows = top + stride / 2 < bottom ? (bottom - 1 - top - stride / 2) / stride + 1 : 0;
            for (int tx = 0; tx < columns; ++tx) {
                const int tileColumns = std::min(tileWidth, width - tx * tileWidth);
                for (int phase = 0; phase < kPhases; ++phase) {
                    samples[(static_cast<std::size_t>(ty) * columns + tx) * kPhases + phase].reserve(
                        static_cast<std::size_t>((sampledRows + 1) / 2) * ((tileColumns + 1) / 2));
                }
            }
            for (int y = top + stride / 2; y < bottom; y += stride) {
                for (int dy = -kCore; dy <= kCore; ++dy) {
                    const int row = std::clamp(y + dy, 0, height - 1);
                    const float* in = mean.ptr<float>(row);
                    for (int c = 0; c < channels; ++c) {
                        backgrounds[static_cast<std::size_t>(c)]->fillRow(row, background.data());
                        float* out = residual.data() + static_cast<std::size_t>((dy + kCore) * channels + c) * width;
                        for (int x = 0; x < width; ++x) out[x] = in[x * channels + c] - background[x];
                    }
                }
                // Inside the row a vector of columns at a time; at its ends,
                // where the core reaches past the frame, from the nearest
                // column inside.
                if (width >= 3) footprint.amplitudeRow(y, rowsOfCore.data(), 1, width - 1, estimates.data());
                for (int x = 0; x < width; x = x == 0 && width >= 3 ? width - 1 : x + 1) {
                    float* to = core;
                    for (int c = 0; c < channels; ++c) {
                        for (int dy = 0; dy < kCoreSide; ++dy) {
                            const float* from = rowsOfCore[static_cast<std::size_t>(c * kCoreSide + dy)];
                            for (int dx = -kCore; dx <= kCore; ++dx) *to++ = from[std::clamp(x + dx, 0, width - 1)];
                        }
                    }
                    estimates[static_cast<std::size_t>(x)] = footprint.amplitude(SiteFootprint::phaseOf(x, y), core);
                }
                for (int x = 0; x < width; ++x) {
                    if (skip && skip->covers(x, y)) continue;
                    const int phase = SiteFootprint::phaseOf(x, y);
                    const std::size_t tile = static_cast<std::size_t>(ty) * columns + x / tileWidth;
                    samples[tile * kPhases + phase].push_back(estimates[static_cast<std::size_t>(x)]);
                }
            }
        }
    });
    return samples;
}

// The noise of the estimate at `phase`, tile by tile, and its tail's
// lengthening, from siteNoiseSamples' samples, into `noise`; writes only
// what belongs to `phase`. Reorders the phase's samples in place: all that
// is read of them are order statistics, which no order changes.
void measurePhase(std::vector<std::vector<float>>& samples, int rows, int columns, int phase, double multiple,
                  SiteNoise& noise) {
    cv::Mat measured(rows, columns, CV_32FC1);
    std::vector<float> all;
    for (int t = 0; t < rows * columns; ++t) {
        std::vector<float>& values = samples[static_cast<std::size_t>(t) * kPhases + phase];
        measured.at<float>(t / columns, t % columns) =
            values.size() >= kFewestTileSamples ? upperSigma(values) : std::numeric_limits<float>::quiet_NaN();
    }
    // Tiles with too few samples (a thin frame) take the phase's median.
    std::vector<float> known;
    for (int t = 0; t < rows * columns; ++t) {
        const float v = measured.at<float>(t / columns, t % columns);
        if (!std::isnan(v)) known.push_back(v);
    }
    if (known.empty()) {
        for (int t = 0; t < rows * columns; ++t) {
            const auto& values = samples[static_cast<std::size_t>(t) * kPhases + phase];
            all.insert(all.end(), values.begin(), values.end());
        }
        known.push_back(upperSigma(all));
        all.clear();
    }
    const float typical = upperMedian(known);
    for (int t = 0; t < rows * columns; ++t) {
        float& v = measured.at<float>(t / columns, t % columns);
        if (std::isnan(v)) v = typical;
    }
    cv::Mat& sigma = noise.sigma[static_cast<std::size_t>(phase)];
    sigma = cv::max(evenedTileNoise(measured), kSmallestSiteNoise);
    // The lower tail in units of each tile's noise.
    std::size_t count = 0;
    for (int t = 0; t < rows * columns; ++t) count += samples[static_cast<std::size_t>(t) * kPhases + phase].size();
    all.reserve(count);
    for (int t = 0; t < rows * columns; ++t) {
        const float s = sigma.at<float>(t / columns, t % columns);
        for (float v : samples[static_cast<std::size_t>(t) * kPhases + phase]) all.push_back(v / s);
    }
    if (all.size() >= kFewestTailSamples) {
        noise.lengthening[static_cast<std::size_t>(phase)] = tailLengthening(all, multiple);
    }
}

}  // namespace

SiteNoise measureSiteNoise(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                           const TileNoise& tiles, const SiteFootprint& footprint, const SiteSurroundings* skip,
                           double multiple) {
    const int columns = tiles.tileColumns(), rows = tiles.tileRows();
    SiteNoise noise;
    noise.tileWidth = tiles.tileWidth();
    noise.tileHeight = tiles.tileHeight();
    std::vector<std::vector<float>> samples = siteNoiseSamples(mean, backgrounds, tiles, footprint, skip);

    // The phases are measured apart, in parallel: most of the work is
    // selecting quantiles of a million samples, one phase after the other a
    // stretch on a single core.
    cv::parallel_for_(cv::Range(0, kPhases), [&](const cv::Range& range) {
        for (int phase = range.start; phase < range.end; ++phase)
            measurePhase(samples, rows, columns, phase, multiple, noise);
    });
    return noise;
}

float tailLengthening(std::vector<float>& values, double multiple) {
    if (values.empty()) return 1.0f;
    // Once the median is in place, the values below it are the lower half
    // and those above it the upper: each tail's value is selected within
    // its half, the nearer after the further within what lies beyond it
    // (the same values as selecting in the whole, in half the work).
    const auto at = [&](std::size_t k) { return values.begin() + static_cast<std::ptrdiff_t>(k); };
    const auto select = [&](std::size_t from, std::size_t k, std::size_t to) {
        if (k < to) std::nth_element(at(from), at(k), at(to));
        return static_cast<double>(*at(k));
    };
    // A tail of a few values says little: the value taken is the one the
    // tail holds with some certainty, two standard deviations of the count
    // further out.
    const std::size_t count = values.size();
    const double n = static_cast<double>(count);
    auto outer = [&](double share) {
        const double expected = share * n;
        return static_cast<std::size_t>(std::max(0.0, std::floor(expected - 2.0 * std::sqrt(expected))));
    };
    const std::size_t half = count / 2, farRank = outer(kTailShare), nearRank = outer(kNearShare);
    const double middle = select(0, half, count);
    // The ranks lie below the median's (a thousandth of the values and
    // less), the further at or below the nearer.
    const double lowTail = middle - select(0, farRank, half);
    const double lowNear =
        middle - (nearRank == farRank ? static_cast<double>(*at(farRank)) : select(farRank + 1, nearRank, half));
    const std::size_t upperFrom = half + 1 < count ? half + 1 : half, highNearRank = count - 1 - nearRank;
    const double highNear = select(upperFrom, highNearRank, count) - middle;
    // The body's ranks lie nearer the median still, each between it and its
    // side's near rank.
    const std::size_t bodyRank = outer(kBodyShare), highBodyRank = count - 1 - bodyRank;
    const double lowBody =
        middle - (bodyRank == nearRank ? static_cast<double>(*at(nearRank)) : select(nearRank + 1, bodyRank, half));
    double highBody = 0.0;
    if (bodyRank == nearRank) {
        highBody = static_cast<double>(*at(highNearRank)) - middle;
    } else if (highBodyRank >= upperFrom) {
        highBody = select(upperFrom, highBodyRank, highNearRank) - middle;
    } else {
        highBody = select(0, highBodyRank, count) - middle;  // a sample too small to have halves
    }
    double skew = 1.0;
    if (lowNear > 0.0 && highNear >= lowNear) {
        skew = highNear / lowNear;
    } else if (lowNear > 0.0 && lowBody > 0.0 && highBody < lowBody) {
        skew = std::max(kShortestSkew, std::min(highBody / lowBody, highNear / lowNear));
    }
    const double far = lowTail / kTailSigmas, near = lowNear / kNearSigmas;
    const double growth = std::max(0.0, (far - near) / (kTailSigmas - kNearSigmas));
    const double atMultiple = far + growth * std::max(0.0, multiple - kTailSigmas);
    return static_cast<float>(std::max(1.0, atMultiple * skew));
}

double areaMultiple(double multiple, double pixels) {
    if (!(pixels > kReferenceArea)) return multiple;
    auto tail = [](double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); };
    const double wanted = tail(multiple) * kReferenceArea / pixels;
    // The tail falls monotonically; it halves within a sigma out here.
    double low = multiple, high = multiple + 1.0;
    while (tail(high) > wanted) high += 1.0;
    for (int i = 0; i < 60; ++i) {
        const double middle = 0.5 * (low + high);
        (tail(middle) > wanted ? low : high) = middle;
    }
    return 0.5 * (low + high);
}

}  // namespace speckmend
