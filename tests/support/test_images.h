// Synthetic photographs for the healing tests.
#pragma once

#include <opencv2/core.hpp>

namespace speckmend::testing {

// Uniform noise smoothed by a Gaussian, so that the inpainting's gradient
// weights have some structure to work on. The same arguments give the same
// pixels.
cv::Mat noisePhoto(int width, int height, int channels, unsigned seed, int blurSize = 5, double blurSigma = 1.5);

// The same at 16 bits per channel, with random low bits, so that a repair
// that went through 8 bits shows.
cv::Mat deepNoisePhoto(int width, int height, int channels, unsigned seed);

// The library's inpainting of the whole photo; four channels (CMYK samples,
// colour and alpha) and three at 16 bits, which it does not take, one
// channel at a time with the same mask.
cv::Mat inpaintWhole(const cv::Mat& photo, const cv::Mat& mask, double range, int method);

}  // namespace speckmend::testing
