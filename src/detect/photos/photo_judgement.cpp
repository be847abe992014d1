// Judging one photograph, stripe by stripe.
#include "detect/photos/photo_judgement.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "detect/local/tile_noise.h"

namespace speckmend {
namespace {

constexpr int kStripe = 64;
// Rows read above and below a stripe: 2 for the median, 4 for the ring, 1
// for the peak test, so that a stripe's pixels are judged as in the whole.
constexpr int kMargin = 7;
constexpr int kTileWidth = 192;
constexpr int kRingPixels = 9 * 9 - 5 * 5;
// The mean absolute deviation of Gaussian noise is 0.798 standard deviations.
constexpr float kMeanAbsoluteToSigma = 1.2533f;

struct StripeJudgement {
    cv::Mat score;     // CV_32FC1: residual over threshold, in the channel where it is highest
    cv::Mat residual;  // CV_8UC1: that channel's residual, 0 when not above its background
    cv::Mat judged;    // CV_8UC1
};

// The planes of one stripe, kept from stripe to stripe so that a photo
// allocates them once.
struct Workspace {
    std::vector<cv::Mat> planes;
    cv::Mat median, residual, magnitude, wide, narrow, judgeable;
    std::vector<std::vector<float>> samples, filteredSamples;
    StripeJudgement stripe;
};

// A hot site that went through demosaicing lies over its 3 by 3 neighbours
// with half and a quarter of its height; the residual weighted with that
// footprint keeps 56 percent of the site's height and 38 percent of the
// noise of independent pixels, so a faint site (a blue one, which JPEG's
// subsampled chroma spreads most) stands out where its peak alone does not.
constexpr float kFootprintNoise = 0.375f;
constexpr float kFootprintFloor = 0.5f;

// The noise of a tile is measured on one pixel in kSampleSpacing, on a
// slanted lattice as tile_noise.cpp samples: about 600 values of a
// full tile (192 by 78 rows), enough for its 95th percentile.
constexpr int kSampleSpacing = 25;
constexpr int kSampleSlant = 7;

// The residual weighted with the footprint, at (x, y) of `residual`
// (CV_16SC1), the frame's edge repeated.
float footprintAt(const cv::Mat& residual, int x, int y) {
    const int up = std::max(y - 1, 0), down = std::min(y + 1, residual.rows - 1);
    const int left = std::max(x - 1, 0), right = std::min(x + 1, residual.cols - 1);
    const short* a = residual.ptr<short>(up);
    const short* b = residual.ptr<short>(y);
    const short* c = residual.ptr<short>(down);
    const int sum = a[left] + 2 * a[x] + a[right] + 2 * (b[left] + 2 * b[x] + b[right]) + c[left] + 2 * c[x] + c[right];
    return static_cast<float>(sum) * (1.0f / 16.0f);
}

// Which pixels of the channel in `work` can judge (a smooth ring, a dark
// background), and the noise of each tile of `tileWidth` columns, measured
// on those pixels.
void markJudgeable(bool footprint, const PhotoJudgementSettings& settings, int tileWidth, Workspace& work,
                   std::vector<float>& tileSigma, std::vector<float>& tileSigmaFiltered) {
    const cv::Mat& residual = work.residual;
    const int smoothestSum = static_cast<int>(settings.smoothest * kRingPixels);
    const int darkest = static_cast<int>(settings.darkest);
    const int rows = residual.rows, cols = residual.cols;
    cv::Mat& judgeable = work.judgeable;
    judgeable.create(residual.size(), CV_8UC1);
    std::vector<std::vector<float>>& samples = work.samples;
    std::vector<std::vector<float>>& filteredSamples = work.filteredSamples;
    samples.resize(tileSigma.size());
    filteredSamples.resize(tileSigma.size());
    for (std::size_t t = 0; t < tileSigma.size(); ++t) {
        samples[t].clear();
        filteredSamples[t].clear();
    }
    for (int y = 0; y < rows; ++y) {
        const short* r = residual.ptr<short>(y);
        const uchar* m = work.median.ptr<uchar>(y);
        const std::uint16_t* w = work.wide.ptr<std::uint16_t>(y);
        const std::uint16_t* n = work.narrow.ptr<std::uint16_t>(y);
        uchar* j = judgeable.ptr<uchar>(y);
        for (int x = 0; x < cols; ++x) j[x] = (w[x] - n[x] <= smoothestSum && m[x] <= darkest) ? 1 : 0;
        for (int x = (kSampleSpacing - (kSampleSlant * y) % kSampleSpacing) % kSampleSpacing; x < cols;
             x += kSampleSpacing) {
            if (!j[x]) continue;
            const std::size_t tile = static_cast<std::size_t>(x / tileWidth);
            samples[tile].push_back(static_cast<float>(r[x]));
            if (footprint) filteredSamples[tile].push_back(footprintAt(residual, x, y));
        }
    }
    for (std::size_t t = 0; t < samples.size(); ++t) {
        tileSigma[t] = upperSigma(samples[t]);
        tileSigmaFiltered[t] = upperSigma(filteredSamples[t]);
    }
}

// One channel of rows [from, to) into the stripe's running judgement;
// `footprint` for the channels of a demosaiced photo.
void judgeChannel(const cv::Mat& plane, bool footprint, const PhotoJudgementSettings& settings, Workspace& work) {
    cv::Mat& median = work.median;
    cv::Mat& residual = work.residual;
    cv::Mat& magnitude = work.magnitude;
    cv::Mat& wide = work.wide;
    cv::Mat& narrow = work.narrow;
    StripeJudgement& stripe = work.stripe;
    cv::medianBlur(plane, median, 5);
    cv::subtract(plane, median, residual, cv::noArray(), CV_16S);
    cv::absdiff(plane, median, magnitude);
    // Sums of up to 81 values of 255 fit 16 bits.
    cv::boxFilter(magnitude, wide, CV_16U, cv::Size(9, 9), cv::Point(-1, -1), false, cv::BORDER_REFLECT);
    cv::boxFilter(magnitude, narrow, CV_16U, cv::Size(5, 5), cv::Point(-1, -1), false, cv::BORDER_REFLECT);

    const int cols = plane.cols, rows = plane.rows;
    const int tiles = std::max(1, (cols + kTileWidth / 2) / kTileWidth);
    const int tileWidth = (cols + tiles - 1) / tiles;
    std::vector<float> tileSigma(static_cast<std::size_t>(tiles)), tileSigmaFiltered(tileSigma.size());
    markJudgeable(footprint, settings, tileWidth, work, tileSigma, tileSigmaFiltered);
    const cv::Mat& judgeable = work.judgeable;

    const float multiple = static_cast<float>(settings.noise);
    const float floor = static_cast<float>(settings.floor);
    // Neither score can pass 1 below the lower floor where the pixel is the
    // peak of its footprint (the weighted mean is below its largest term),
    // and only peaks count: the many pixels of smaller residual are skipped.
    const int least = std::max(1, static_cast<int>(std::ceil(kFootprintFloor * floor)));
    cv::max(stripe.judged, judgeable, stripe.judged);
    for (int y = 0; y < rows; ++y) {
        const short* r = residual.ptr<short>(y);
        const std::uint16_t* w = wide.ptr<std::uint16_t>(y);
        const std::uint16_t* n = narrow.ptr<std::uint16_t>(y);
        const uchar* j = judgeable.ptr<uchar>(y);
        float* score = stripe.score.ptr<float>(y);
        uchar* strongest = stripe.residual.ptr<uchar>(y);
        for (int x = 0; x < cols; ++x) {
            const int above = r[x];
            if (above < least || !j[x]) continue;
            const std::size_t tile = static_cast<std::size_t>(x / tileWidth);
            const float ring = kMeanAbsoluteToSigma * static_cast<float>(w[x] - n[x]) / kRingPixels;
            const float sigma = std::max(tileSigma[tile], ring);
            float s = static_cast<float>(above) / std::max(floor, multiple * sigma);
            if (footprint) {
                const float f = footprintAt(residual, x, y);
                const float sigmaFiltered = std::max(tileSigmaFiltered[tile], kFootprintNoise * ring);
                s = std::max(s, f / std::max(kFootprintFloor * floor, multiple * sigmaFiltered));
            }
            if (s > score[x]) {
                score[x] = s;
                strongest[x] = static_cast<uchar>(above);
            }
        }
    }
}

void judgeStripe(const cv::Mat& photo, int top, int bottom, const PhotoJudgementSettings& settings, Workspace& work,
                 PhotoJudgement& out) {
    const int from = std::max(0, top - kMargin), to = std::min(photo.rows, bottom + kMargin);
    std::vector<cv::Mat>& planes = work.planes;
    cv::split(photo.rowRange(from, to), planes);
    StripeJudgement& stripe = work.stripe;
    const cv::Size size(photo.cols, to - from);
    stripe.score.create(size, CV_32FC1);
    stripe.score.setTo(0);
    stripe.residual.create(size, CV_8UC1);
    stripe.residual.setTo(0);
    stripe.judged.create(size, CV_8UC1);
    stripe.judged.setTo(0);
    for (const cv::Mat& plane : planes) judgeChannel(plane, planes.size() == 3, settings, work);

    for (int y = top; y < bottom; ++y) {
        const int row = y - from;
        const float* score = stripe.score.ptr<float>(row);
        const float* above = row > 0 ? stripe.score.ptr<float>(row - 1) : nullptr;
        const float* below = row + 1 < size.height ? stripe.score.ptr<float>(row + 1) : nullptr;
        std::copy_n(stripe.judged.ptr<uchar>(row), photo.cols, out.judged.ptr<uchar>(y));
        uchar* bright = out.bright.ptr<uchar>(y);
        uchar* strength = out.strength.ptr<uchar>(y);
        const uchar* residual = stripe.residual.ptr<uchar>(row);
        for (int x = 0; x < photo.cols; ++x) {
            const float s = score[x];
            if (s <= 1.0f) continue;
            bool peak = true;
            for (int dx = -1; dx <= 1 && peak; ++dx) {
                const int nx = x + dx;
                if (nx < 0 || nx >= photo.cols) continue;
                // Ties go to the first in scan order, so a flat top gives one event.
                if (above && above[nx] >= s) peak = false;
                if (below && below[nx] > s) peak = false;
                if (dx != 0 && (dx < 0 ? score[nx] >= s : score[nx] > s)) peak = false;
            }
            if (!peak) continue;
            bright[x] = 1;
            strength[x] = residual[x];
        }
    }
}

}  // namespace

void judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings, PhotoJudgement& out) {
    if (photo.empty() || photo.depth() != CV_8U || (photo.channels() != 1 && photo.channels() != 3)) {
        throw std::invalid_argument("judgePhoto needs an 8-bit photo of one or three channels");
    }
    out.judged.create(photo.size(), CV_8UC1);
    out.bright.create(photo.size(), CV_8UC1);
    out.bright.setTo(0);
    out.strength.create(photo.size(), CV_8UC1);
    out.strength.setTo(0);
    Workspace work;
    for (int top = 0; top < photo.rows; top += kStripe) {
        judgeStripe(photo, top, std::min(top + kStripe, photo.rows), settings, work, out);
    }
}

PhotoJudgement judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings) {
    PhotoJudgement out;
    judgePhoto(photo, settings, out);
    return out;
}

}  // namespace speckmend
