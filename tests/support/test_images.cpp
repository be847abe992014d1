// Synthetic photographs for the healing tests.
#include "test_images.h"

#include <opencv2/imgproc.hpp>

namespace speckmend::testing {

cv::Mat noisePhoto(int width, int height, int channels, unsigned seed, int blurSize, double blurSigma) {
    cv::Mat photo(height, width, CV_8UC(channels));
    cv::RNG rng(seed);
    rng.fill(photo, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(photo, photo, cv::Size(blurSize, blurSize), blurSigma);
    return photo;
}

}  // namespace speckmend::testing
