// The tail of a channel's noise measured for its bar, on frames whose noise
// is known: Gaussian, heavy-tailed everywhere or at the JPEG blocks' corners
// only, and with strong sites ringing below the background.
#include "detect/local/channel_tails.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace speckmend {
namespace {

enum class Tails { gaussian, laplace, laplaceAtCorners };

// Noise of unit standard deviation on a level of 20 DN; Laplace noise has
// the same standard deviation and a tail that at five of them is 60 times
// as long. Every `ringAt`: a 200 DN site with a ring of -8 DN around it.
cv::Mat frame(cv::Size size, Tails tails, const std::vector<cv::Point>& ringAt) {
    cv::Mat mean(size, CV_32FC1);
    cv::Mat uniform(size, CV_32FC1), normal(size, CV_32FC1);
    cv::RNG rng(7);
    rng.fill(uniform, cv::RNG::UNIFORM, -0.5, 0.5);
    rng.fill(normal, cv::RNG::NORMAL, 0.0, 1.0);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const float u = uniform.at<float>(y, x);
            const float laplace = -std::copysign(std::log(1.0f - 2.0f * std::fabs(u)), u) / std::sqrt(2.0f);
            const bool corner = (x % 8 == 0 || x % 8 == 7) && (y % 8 == 0 || y % 8 == 7);
            const bool heavy = tails == Tails::laplace || (tails == Tails::laplaceAtCorners && corner);
            mean.at<float>(y, x) = 20.0f + (heavy ? laplace : normal.at<float>(y, x));
        }
    }
    for (const cv::Point& at : ringAt) {
        mean(cv::Rect(at.x - 6, at.y - 6, 13, 13)).setTo(12.0);
        mean.at<float>(at) = 220.0f;
    }
    return mean;
}

TEST(ChannelLengthening, MeasuresTheTailAtTheBlocksCorners) {
    struct Row {
        const char* name;
        cv::Size size;
        Tails tails;
        bool rings, ringsGiven;  // strong sites ring; they are among the standouts
        float low, high;         // the lengthening expected
    };
    const cv::Size size(800, 600);
    const Row rows[] = {
        {"Gaussian noise keeps its bar", size, Tails::gaussian, false, false, 1.0f, 1.1f},
        // tailLengthening of Laplace noise at 5: about 2
        {"heavy tails everywhere", size, Tails::laplace, false, false, 1.7f, 2.4f},
        {"heavy tails at the corners only", size, Tails::laplaceAtCorners, false, false, 1.5f, 2.4f},
        {"too few corners to read a tail", {400, 300}, Tails::laplace, false, false, 1.0f, 1.0f},
        {"strong sites' rings left out", size, Tails::gaussian, true, true, 1.0f, 1.1f},
        // the reference for the row above: the rings lengthen the lower tail
        {"strong sites' rings measured", size, Tails::gaussian, true, false, 1.3f, 10.0f},
    };
    for (const Row& row : rows) {
        std::vector<cv::Point> sites;
        for (int i = 0; row.rings && i < 40; ++i) sites.push_back({20 + (i * 97) % 760, 20 + (i * 61) % 560});
        const cv::Mat mean = frame(row.size, row.tails, sites);
        const LocalBackground background(mean, 0, 32);
        const TileNoise noise(mean, 0, background, 5.0, 0.0);
        std::vector<Standout> standouts;
        for (const cv::Point& at : sites) {
            if (row.ringsGiven) standouts.push_back({at, 200.0f});
        }
        const float lengthening = channelLengthening(mean, 0, background, noise, standouts, 5.0);
        EXPECT_GE(lengthening, row.low) << row.name;
        EXPECT_LE(lengthening, row.high) << row.name;
    }
}

TEST(ChannelLengthening, LengthensEachChannelsBarAndRefusesOtherImages) {
    // Blue Gaussian, green and red heavy-tailed: only theirs grow.
    const cv::Size size(800, 600);
    std::vector<cv::Mat> planes{frame(size, Tails::gaussian, {}), frame(size, Tails::laplace, {}),
                                frame(size, Tails::laplaceAtCorners, {})};
    cv::Mat mean;
    cv::merge(planes, mean);
    std::vector<LocalBackground> backgrounds;
    std::vector<TileNoise> noise;
    for (int c = 0; c < 3; ++c) backgrounds.emplace_back(mean, c, 32);
    for (int c = 0; c < 3; ++c) noise.emplace_back(mean, c, backgrounds[static_cast<std::size_t>(c)], 5.0, 0.0);
    std::vector<const LocalBackground*> b{&backgrounds[0], &backgrounds[1], &backgrounds[2]};
    std::vector<TileNoise*> n{&noise[0], &noise[1], &noise[2]};
    std::vector<float> before;
    for (const TileNoise& t : noise) before.push_back(t.threshold(0, 0));
    const std::vector<float> lengthening = lengthenChannelBars(mean, b, n, {}, 5.0, 0.0);
    ASSERT_EQ(lengthening.size(), 3u);
    EXPECT_LT(lengthening[0], 1.1f);
    EXPECT_GT(lengthening[1], 1.7f);
    EXPECT_GT(lengthening[2], 1.5f);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_NEAR(noise[c].threshold(0, 0), before[c] * lengthening[c], 1e-3f * before[c]) << c;
    }
    EXPECT_THROW(lengthenChannelBars(planes[0], {b[0]}, {n[0]}, {}, 5.0, 0.0), std::invalid_argument);
}

}  // namespace
}  // namespace speckmend
