// The noise of a mean dark frame, measured tile by tile, and the detection
// threshold it gives.
//
// The noise of a tile is measured on the residual (mean minus background)
// over a regular sample of the tile's pixels, robustly against the few hot
// pixels a tile holds (upperSigma), and evened out with its neighbours'.
// Each tile's threshold is `multiple` times its noise, never below `floor`,
// so a noisy corner raises the bar there only.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/local_background.h"

namespace speckmend {

// The standard deviation as the upper tail shows it: the distance from the
// median to the 95th percentile over 1.645 (where that percentile lies for
// Gaussian noise). Dark frames with a black level of a few DN have their
// lower half clipped and their upper tail stretched, and it is the upper
// tail that makes false hot pixels; the MAD of such noise puts a threshold
// of "five sigma" near four. Still untouched by the few hot pixels a tile
// holds (they are far fewer than 5 percent of it). Of a sample of fewer than
// 400 values, whose tail says little, the distance from the median to the
// 75th percentile is taken instead (1.4826 times it). 0 for no values;
// reorders `values`.
float upperSigma(std::vector<float>& values);
// The same of values counted in a histogram whose bins lie `unit` apart
// (counts[i] values of (i + any offset) * unit). Linear in the values and
// the bins, for samples too many to reorder.
float upperSigma(const std::vector<std::uint32_t>& counts, float unit);

// A grid of tiles' noise (CV_32FC1) with each tile's value replaced by the
// median of its own and its neighbours' (3 by 3 tiles) where it lies within
// 15 percent of that median.
cv::Mat evenedTileNoise(const cv::Mat& measured);

class TileNoise {
public:
    // Tiles are about kTile pixels square: the frame's width and height are
    // each split evenly, so that no thin strip at an edge is measured on
    // its own.
    static constexpr int kTile = 256;

    // `mean` and `channel` as for the background model made from them.
    TileNoise(const cv::Mat& mean, int channel, const LocalBackground& background, double multiple, double floor);

    // The noise of every channel of `mean`, channel c against
    // backgrounds[c]: the same as each made on its own, in one pass.
    static std::vector<TileNoise> ofChannels(const cv::Mat& mean,
                                             const std::vector<const LocalBackground*>& backgrounds, double multiple,
                                             double floor);

    int tileColumns() const { return noise_.cols; }
    int tileRows() const { return noise_.rows; }
    float noise(int tileX, int tileY) const { return noise_.at<float>(tileY, tileX); }
    float threshold(int tileX, int tileY) const { return threshold_.at<float>(tileY, tileX); }
    float thresholdAt(int x, int y) const { return threshold(x / tileWidth_, y / tileHeight_); }
    float noiseAt(int x, int y) const { return noise(x / tileWidth_, y / tileHeight_); }
    int tileWidth() const { return tileWidth_; }
    int tileHeight() const { return tileHeight_; }

    const cv::Mat& noise() const { return noise_; }           // CV_32FC1, one per tile
    const cv::Mat& thresholds() const { return threshold_; }  // CV_32FC1, one per tile

    // Each tile's threshold made again from its noise, as the constructor
    // makes it: for a bar that is known only once the noise's tail has been
    // measured (channel_tails.h).
    void setThresholds(double multiple, double floor);

private:
    TileNoise() = default;
    // The channels named, against their backgrounds (one each), together.
    static std::vector<TileNoise> measure(const cv::Mat& mean, const std::vector<int>& channelsMeasured,
                                          const std::vector<const LocalBackground*>& backgrounds, double multiple,
                                          double floor);

    int tileWidth_ = kTile;
    int tileHeight_ = kTile;
    cv::Mat noise_;
    cv::Mat threshold_;
};

}  // namespace speckmend
