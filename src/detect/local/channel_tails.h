// The bar of a lossy colour frame's channels when they are tested alone.
//
// A colour JPEG dark whose sites are too few to learn their footprint from
// is tested channel by channel, each pixel's residual against `noise` times
// its tile's noise (tile_noise.h). That multiple assumes Gaussian noise; the
// sparse, blocky errors of quantization are not, and the residual's tail at
// five of its standard deviations is several times as long: a 4-megapixel
// frame of three darks at quality 70 put 146 pixels over it. So, as the
// colour site test does for its own statistic, each channel's tail is
// measured on a sample of rows, in units of each tile's noise and away from
// the strong sites' ringing, and the channel's bar lengthened by it. Frames
// without quantization noise (lossless, or too small to hold a tail worth
// reading) keep the multiple they are given.
//
// Call order: after the channel models and the colour site test, and only
// when the latter found too few sites; then the candidates above the old
// bar are judged again against the new.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/colour_sites.h"
#include "detect/local/local_background.h"
#include "detect/local/tile_noise.h"

namespace speckmend {

// How much longer than Gaussian channel `channel`'s residual over its
// tile's noise is out at `multiple` (tailLengthening), at least 1. The
// surroundings of the `standouts` that stand far out (strong sites, whose
// ringing reaches below the background too) are left out; 1 when fewer
// samples are left than a tail a few dozen long needs.
float channelLengthening(const cv::Mat& mean, int channel, const LocalBackground& background, const TileNoise& noise,
                         const std::vector<Standout>& standouts, double multiple);

// Each channel's tiles thresholded again at `multiple` times its own
// lengthening, never below `floor`; returns the lengthenings, blue green red.
// `mean`: CV_32FC3 with one model per channel.
std::vector<float> lengthenChannelBars(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                       const std::vector<TileNoise*>& noise, const std::vector<Standout>& standouts,
                                       double multiple, double floor);

}  // namespace speckmend
