// Synthetic photographs for the healing tests.
#include "test_images.h"

#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace speckmend::testing {

cv::Mat noisePhoto(int width, int height, int channels, unsigned seed, int blurSize, double blurSigma) {
    cv::Mat photo(height, width, CV_8UC(channels));
    cv::RNG rng(seed);
    rng.fill(photo, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(photo, photo, cv::Size(blurSize, blurSize), blurSigma);
    return photo;
}

cv::Mat deepNoisePhoto(int width, int height, int channels, unsigned seed) {
    cv::Mat photo;
    noisePhoto(width, height, channels, seed).convertTo(photo, CV_16U, 256.0);
    cv::Mat low(height, width, CV_16UC(channels));
    cv::RNG(seed + 1).fill(low, cv::RNG::UNIFORM, 0, 256);
    return photo + low;
}

cv::Mat inpaintWhole(const cv::Mat& photo, const cv::Mat& mask, double range, int method) {
    cv::Mat repaired;
    if (photo.channels() == 1 || (photo.channels() == 3 && photo.depth() == CV_8U)) {
        cv::inpaint(photo, mask, repaired, range, method);
        return repaired;
    }
    std::vector<cv::Mat> channels;
    cv::split(photo, channels);
    for (cv::Mat& channel : channels) {
        cv::Mat one;
        cv::inpaint(channel, mask, one, range, method);
        channel = one;
    }
    cv::merge(channels, repaired);
    return repaired;
}

}  // namespace speckmend::testing
