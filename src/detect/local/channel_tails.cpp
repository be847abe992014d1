// The tails of a lossy colour frame's channels and the bars lengthened by them.
#include "detect/local/channel_tails.h"

#include <optional>
#include <stdexcept>

#include "detect/local/site_noise.h"
#include "detect/local/site_surroundings.h"

namespace speckmend {
namespace {

// Quantization's errors are largest at the corners of its 8 by 8 blocks,
// where the tail runs longest (at quality 90 the red channel's passes the
// Gaussian's five at a fifth further than over all pixels), and the bar
// must hold there: the sample is every such corner pixel, a sixteenth of
// the frame.
constexpr int kBlock = 8;
bool onBlockCorner(int v) { return v % kBlock == 0 || v % kBlock == kBlock - 1; }
// A tail read at a share of 1e-4 holds a few values only from this many on
// (tailLengthening reads two standard deviations of the count inside it).
constexpr std::size_t kFewestSamples = 20000;

// channelLengthening with the strong sites' ringing, below the background
// as well as above, left out where `leftOut` covers.
float lengtheningOutside(const cv::Mat& mean, int channel, const LocalBackground& background, const TileNoise& noise,
                         const SiteSurroundings* leftOut, double multiple) {
    const int channels = mean.channels();
    std::vector<float> row(static_cast<std::size_t>(mean.cols));
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(mean.cols / 4 + 2) * static_cast<std::size_t>(mean.rows / 4 + 2));
    for (int y = 0; y < mean.rows; ++y) {
        if (!onBlockCorner(y)) continue;
        background.fillRow(y, row.data());
        const float* in = mean.ptr<float>(y);
        for (int x = 0; x < mean.cols; ++x) {
            if (!onBlockCorner(x) || (leftOut && leftOut->covers(x, y))) continue;
            const float sigma = noise.noiseAt(x, y);
            if (sigma > 0.0f) values.push_back((in[x * channels + channel] - row[static_cast<std::size_t>(x)]) / sigma);
        }
    }
    if (values.size() < kFewestSamples) return 1.0f;
    return tailLengthening(values, multiple);
}

}  // namespace

float channelLengthening(const cv::Mat& mean, int channel, const LocalBackground& background, const TileNoise& noise,
                         const std::vector<Standout>& standouts, double multiple) {
    if (mean.empty() || mean.depth() != CV_32F) throw std::invalid_argument("channelLengthening needs a float mean");
    if (channel < 0 || channel >= mean.channels()) throw std::invalid_argument("channelLengthening: no such channel");
    const std::optional<SiteSurroundings> leftOut = strongSiteSurroundings(mean.size(), standouts);
    return lengtheningOutside(mean, channel, background, noise, leftOut ? &*leftOut : nullptr, multiple);
}

std::vector<float> lengthenChannelBars(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                                       const std::vector<TileNoise*>& noise, const std::vector<Standout>& standouts,
                                       double multiple, double floor) {
    if (mean.empty() || mean.type() != CV_32FC3)
        throw std::invalid_argument("lengthenChannelBars needs a CV_32FC3 mean");
    if (backgrounds.size() != 3 || noise.size() != 3) throw std::invalid_argument("lengthenChannelBars: three models");
    std::vector<float> lengthening(3, 1.0f);
    // The strong sites are the same for every channel.
    const std::optional<SiteSurroundings> leftOut = strongSiteSurroundings(mean.size(), standouts);
    cv::parallel_for_(cv::Range(0, 3), [&](const cv::Range& range) {
        for (int c = range.start; c < range.end; ++c) {
            const auto i = static_cast<std::size_t>(c);
            lengthening[i] =
                lengtheningOutside(mean, c, *backgrounds[i], *noise[i], leftOut ? &*leftOut : nullptr, multiple);
        }
    });
    for (std::size_t c = 0; c < 3; ++c) noise[c]->setThresholds(multiple * lengthening[c], floor);
    return lengthening;
}

}  // namespace speckmend
