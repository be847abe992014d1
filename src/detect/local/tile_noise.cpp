// Robust noise per tile and the thresholds it gives.
#include "detect/local/tile_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace speckmend {
namespace {

// One pixel in kSpacing is sampled, on a slanted lattice ((x + kSlant y)
// divisible by kSpacing): every row and every column holds the same small
// share of the samples, so a hot column or row, which a square grid would
// sample whole, weighs no more than its share of the tile. A few thousand
// samples per full tile.
constexpr int kSpacing = 25;
constexpr int kSlant = 7;
// The upper tail is read at the 95th percentile, 1.645 standard deviations
// for Gaussian noise: far enough out to see the skew of clipped noise, far
// enough in that hot pixels and a few hot lines (each under half a percent
// of a tile) move it little.
constexpr double kTailShare = 0.95;
constexpr float kTailSigmas = 1.6449f;
constexpr std::size_t kSmallestTailSample = 400;
// A threshold of zero would make every positive residual hot and divide by
// zero in the significance; this is far below any sensor's noise.
constexpr float kSmallestThreshold = 1e-3f;

}  // namespace

namespace {

// Where upperSigma reads a sample of `n` values in order: the median's rank,
// the tail's rank and the sigmas that lie between them.
struct TailRanks {
    std::size_t median, tail;
    float sigmas;
};

TailRanks tailRanks(std::size_t n) {
    const std::size_t median = n / 2;
    // The upper half's share (2 share - 1) is the whole's share.
    const bool large = n >= kSmallestTailSample;
    const double share = large ? kTailShare : 0.75;
    const auto intoUpper = static_cast<std::size_t>(static_cast<double>(n - median) * (2.0 * share - 1.0));
    return {median, median + intoUpper, large ? kTailSigmas : 0.6745f};
}

}  // namespace

float upperSigma(std::vector<float>& values) {
    if (values.empty()) return 0.0f;
    const TailRanks ranks = tailRanks(values.size());
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(ranks.median);
    std::nth_element(values.begin(), middle, values.end());
    const float median = *middle;
    // The elements past the middle are the upper half, in some order.
    auto tail = values.begin() + static_cast<std::ptrdiff_t>(ranks.tail);
    std::nth_element(middle + 1, tail, values.end());
    return (ranks.tail == ranks.median ? 0.0f : *tail - median) / ranks.sigmas;
}

namespace {

// From `bin` on, with `seen` values in the bins before it, to the bin that
// holds the value of rank `rank` (below the count of all values). Whole
// blocks of bins are passed over by their sums, which need no step to wait
// for the one before: a histogram of a thousand bins holds its values in a
// few dozen of them, and the walk would go bin by bin to them.
void walkTo(const std::vector<std::uint32_t>& counts, std::size_t rank, std::size_t& bin, std::size_t& seen) {
    constexpr std::size_t kBlock = 32;
    while (bin + kBlock <= counts.size()) {
        std::size_t block = 0;
        for (std::size_t i = 0; i < kBlock; ++i) block += counts[bin + i];
        if (seen + block > rank) break;
        seen += block;
        bin += kBlock;
    }
    while (seen + counts[bin] <= rank) seen += counts[bin++];
}

}  // namespace

float upperSigma(const std::vector<std::uint32_t>& counts, float unit) {
    std::size_t n = 0;
    for (const std::uint32_t c : counts) n += c;
    if (n == 0) return 0.0f;
    const TailRanks ranks = tailRanks(n);
    // The bins holding the values of both ranks, in one walk.
    std::size_t seen = 0, bin = 0;
    walkTo(counts, ranks.median, bin, seen);
    const std::size_t medianBin = bin;
    walkTo(counts, ranks.tail, bin, seen);
    return static_cast<float>(bin - medianBin) * unit / ranks.sigmas;
}

cv::Mat evenedTileNoise(const cv::Mat& measured) {
    // Within kSmoothing of the median of its own and its neighbours' values,
    // a tile's sampling error (several percent of its threshold) is evened
    // out, while a tile that really is noisier (a glowing corner) keeps its
    // own.
    constexpr float kSmoothing = 0.15f;
    CV_Assert(measured.type() == CV_32FC1);
    cv::Mat evened(measured.size(), CV_32FC1);
    std::vector<float> around;
    for (int ty = 0; ty < measured.rows; ++ty) {
        for (int tx = 0; tx < measured.cols; ++tx) {
            around.clear();
            for (int y = std::max(ty - 1, 0); y <= std::min(ty + 1, measured.rows - 1); ++y) {
                for (int x = std::max(tx - 1, 0); x <= std::min(tx + 1, measured.cols - 1); ++x)
                    around.push_back(measured.at<float>(y, x));
            }
            auto middle = around.begin() + static_cast<std::ptrdiff_t>(around.size() / 2);
            std::nth_element(around.begin(), middle, around.end());
            const float own = measured.at<float>(ty, tx);
            evened.at<float>(ty, tx) = std::fabs(own - *middle) <= kSmoothing * *middle ? *middle : own;
        }
    }
    return evened;
}

TileNoise::TileNoise(const cv::Mat& mean, int channel, const LocalBackground& background, double multiple,
                     double floor) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("TileNoise needs a float image");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("TileNoise: no such channel");
    *this = std::move(measure(mean, {channel}, {&background}, multiple, floor).front());
}

std::vector<TileNoise> TileNoise::ofChannels(const cv::Mat& mean,
                                             const std::vector<const LocalBackground*>& backgrounds, double multiple,
                                             double floor) {
    if (mean.depth() != CV_32F || mean.empty()) throw std::invalid_argument("TileNoise needs a float image");
    if (backgrounds.size() != static_cast<std::size_t>(mean.channels()))
        throw std::invalid_argument("TileNoise::ofChannels: one background per channel");
    std::vector<int> channels;
    for (int c = 0; c < mean.channels(); ++c) channels.push_back(c);
    return measure(mean, channels, backgrounds, multiple, floor);
}

// The samples of a tile are the same pixels in every channel, so all
// channels are sampled together: one pass over the frame's rows instead of
// one per channel, each value as a pass of its own would take it.
std::vector<TileNoise> TileNoise::measure(const cv::Mat& mean, const std::vector<int>& channelsMeasured,
                                          const std::vector<const LocalBackground*>& backgrounds, double multiple,
                                          double floor) {
    const int channels = mean.channels();
    const std::size_t count = channelsMeasured.size();
    const int columns = std::max(1, (mean.cols + kTile / 2) / kTile);
    const int rows = std::max(1, (mean.rows + kTile / 2) / kTile);
    const int tileWidth = (mean.cols + columns - 1) / columns;
    const int tileHeight = (mean.rows + rows - 1) / rows;
    std::vector<cv::Mat> measured;
    for (std::size_t i = 0; i < count; ++i) measured.emplace_back(rows, columns, CV_32FC1);
    // A colour frame has been demosaiced: in each channel only a quarter
    // (red, blue) or half (green) of the pixels are the sensor's own sites,
    // with their full noise, and the rest are averages of them, with half
    // of it or less. The tail of all pixels together lies well below the
    // sites' own, and "five sigma" of it passed the sites' noise hundreds of
    // times in a 12-bit frame. So each place of the 2 by 2 mosaic is
    // measured apart, and where the noisiest stands clearly above all
    // together it is the tile's: the noise of the sites, where a hot site
    // peaks. Places that agree (a frame that was never a mosaic, or whose
    // compression has evened them out) keep the measure over all pixels,
    // which the largest of four smaller samples would overstate by several
    // percent.
    constexpr float kPlacesApart = 1.15f;
    const int places = channels == 3 ? 4 : 1;
    cv::parallel_for_(cv::Range(0, rows * columns), [&](const cv::Range& range) {
        // residuals[i * places + place]: channel i's values at one place.
        std::vector<std::vector<float>> residuals(count * static_cast<std::size_t>(places));
        for (int t = range.start; t < range.end; ++t) {
            const int tx = t % columns, ty = t / columns;
            const int top = ty * tileHeight, bottom = std::min(top + tileHeight, mean.rows);
            const int left = tx * tileWidth, right = std::min(left + tileWidth, mean.cols);
            // A small tile is sampled whole.
            const int spacing = (bottom - top) * (right - left) < 64 * kSpacing ? 1 : kSpacing;
            for (auto& r : residuals) r.clear();
            for (int y = top; y < bottom; ++y) {
                const float* row = mean.ptr<float>(y);
                const std::int64_t shift = (left + static_cast<std::int64_t>(kSlant) * y) % spacing;
                const int offset = static_cast<int>((spacing - shift) % spacing);
                for (int x = left + offset; x < right; x += spacing) {
                    const std::size_t place = places == 1 ? 0 : static_cast<std::size_t>((y & 1) * 2 + (x & 1));
                    for (std::size_t i = 0; i < count; ++i) {
                        residuals[i * static_cast<std::size_t>(places) + place].push_back(
                            row[x * channels + channelsMeasured[i]] - backgrounds[i]->at(x, y));
                    }
                }
            }
            for (std::size_t i = 0; i < count; ++i) {
                std::vector<float>* own = &residuals[i * static_cast<std::size_t>(places)];
                float noisiest = 0.0f;
                for (int place = 0; place < places && places > 1; ++place)
                    noisiest = std::max(noisiest, upperSigma(own[place]));
                // Reordered by upperSigma, the places still hold every value once.
                for (int place = 1; place < places; ++place)
                    own[0].insert(own[0].end(), own[place].begin(), own[place].end());
                const float all = upperSigma(own[0]);
                measured[i].at<float>(ty, tx) = noisiest > kPlacesApart * all ? noisiest : all;
            }
        }
    });
    std::vector<TileNoise> all;
    for (std::size_t i = 0; i < count; ++i) {
        TileNoise& tiles = all.emplace_back(TileNoise());
        tiles.tileWidth_ = tileWidth;
        tiles.tileHeight_ = tileHeight;
        tiles.noise_ = evenedTileNoise(measured[i]);
        tiles.threshold_.create(rows, columns, CV_32FC1);
        tiles.setThresholds(multiple, floor);
    }
    return all;
}

void TileNoise::setThresholds(double multiple, double floor) {
    for (int ty = 0; ty < noise_.rows; ++ty) {
        for (int tx = 0; tx < noise_.cols; ++tx) {
            const float sigma = noise_.at<float>(ty, tx);
            threshold_.at<float>(ty, tx) =
                std::max({static_cast<float>(multiple * sigma), static_cast<float>(floor), kSmallestThreshold});
        }
    }
}

}  // namespace speckmend
