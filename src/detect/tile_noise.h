// The noise of a mean dark frame, measured tile by tile, and the detection
// threshold it gives.
//
// The noise of a tile is 1.4826 times the median absolute deviation of the
// residual (mean minus background) from its median, over a regular sample of
// the tile's pixels: the standard deviation for Gaussian noise, untouched by
// the few hot pixels a tile holds. Each tile's threshold is `multiple` times
// its noise, never below `floor`, so a noisy corner raises the bar there only.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "detect/local_background.h"

namespace speckmend {

// 1.4826 x MAD of the values; 0 for none. Reorders `values`.
float robustSigma(std::vector<float>& values);

class TileNoise {
public:
    static constexpr int kTile = 256;

    // `mean` and `channel` as for the background model made from them.
    TileNoise(const cv::Mat& mean, int channel, const LocalBackground& background, double multiple, double floor);

    int tileColumns() const { return noise_.cols; }
    int tileRows() const { return noise_.rows; }
    float noise(int tileX, int tileY) const { return noise_.at<float>(tileY, tileX); }
    float threshold(int tileX, int tileY) const { return threshold_.at<float>(tileY, tileX); }
    float thresholdAt(int x, int y) const { return threshold(x / kTile, y / kTile); }

    const cv::Mat& noise() const { return noise_; }          // CV_32FC1, one per tile
    const cv::Mat& thresholds() const { return threshold_; }  // CV_32FC1, one per tile

private:
    cv::Mat noise_;
    cv::Mat threshold_;
};

}  // namespace speckmend
