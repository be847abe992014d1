// Hot sites of a Bayer sensor found through demosaicing and a JPEG at q70
// with 4:2:0, and the ringing around a saturated pixel told from them by its
// shape and its source.
#include "detect/local/colour_sites.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/local/local_detector.h"

namespace speckmend {
namespace {

struct Site {
    cv::Point at;
    float amplitude;  // DN at the sensor
};

// The mean of 8 frames of a sensor of 4 DN black and 2.5 DN of noise, with
// sites on a grid of every phase of the mosaic and a saturated 2x2 patch at
// `saturated`, each demosaiced bilinearly and saved as JPEG (4:2:0).
struct Frame {
    cv::Mat mean;
    std::vector<Site> sites;
};

Frame shoot(cv::Point saturated, int quality) {
    const cv::Size size(512, 384);
    Frame frame;
    const float amplitudes[] = {15.0f, 25.0f, 40.0f, 70.0f, 120.0f, 200.0f};
    int i = 0;
    for (int y = 12; y < size.height - 12; y += 24) {
        for (int x = 12; x < size.width - 12; x += 24, ++i) {
            const cv::Point at(x + (i & 1), y + ((i >> 1) & 1));
            if (std::max(std::abs(at.x - saturated.x), std::abs(at.y - saturated.y)) < 40) continue;
            frame.sites.push_back({at, amplitudes[(i / 4) % 6]});
        }
    }
    // A green site beside the saturated one, where its ringing is: kept for
    // its shape.
    frame.sites.push_back({saturated + cv::Point(14, 1), 40.0f});
    constexpr int kFrames = 8;
    frame.mean = cv::Mat::zeros(size, CV_32FC3);
    cv::RNG rng(11);
    for (int f = 0; f < kFrames; ++f) {
        cv::Mat raw(size, CV_32FC1);
        rng.fill(raw, cv::RNG::NORMAL, 4.0, 2.5);
        for (const Site& site : frame.sites) raw.at<float>(site.at) += site.amplitude;
        raw(cv::Rect(saturated, cv::Size(2, 2))) = 255.0f;
        cv::Mat bytes, colour, decoded;
        raw.convertTo(bytes, CV_8U);
        cv::cvtColor(bytes, colour, cv::COLOR_BayerRG2BGR);
        std::vector<unsigned char> jpeg;
        cv::imencode(".jpg", colour, jpeg, {cv::IMWRITE_JPEG_QUALITY, quality});
        cv::imdecode(jpeg, cv::IMREAD_COLOR).convertTo(decoded, CV_32FC3);
        frame.mean += decoded / kFrames;
    }
    return frame;
}

bool foundNear(const std::vector<Finding>& spots, cv::Point at, int within) {
    return std::any_of(spots.begin(), spots.end(), [&](const Finding& s) {
        return std::max(std::abs(s.peak.x - at.x), std::abs(s.peak.y - at.y)) <= within;
    });
}

TEST(ColourSites, FindsSitesThroughTheJpegAndRejectsRingingNearASaturatedPixel) {
    const cv::Point saturated(256, 192);
    struct Row {
        const char* name;
        int quality;
    };
    const Row rows[] = {{"q90", 90}, {"q95", 95}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Frame frame = shoot(saturated, row.quality);
        LocalDetectorSettings settings;
        settings.lossy = true;
        const LocalDetection detection = detectLocally(frame.mean, settings);
        const Findings& found = detection.findings;

        // Blue sites of 15 and 25 DN keep too little through 4:2:0 to be
        // found every time; all others are.
        int missed = 0;
        for (const Site& site : frame.sites) {
            if (foundNear(found.spots, site.at, 2)) continue;
            ++missed;
            EXPECT_LT(site.amplitude, 40.0f) << site.at;
        }
        EXPECT_LE(missed, static_cast<int>(frame.sites.size()) / 8);
        // The saturated pixel is one entry; the ringing around it none.
        int nearSaturated = 0;
        for (const Finding& s : found.spots) {
            const int d = std::max(std::abs(s.peak.x - saturated.x), std::abs(s.peak.y - saturated.y));
            if (d <= 2) continue;
            const bool planted = std::any_of(frame.sites.begin(), frame.sites.end(), [&](const Site& site) {
                return std::max(std::abs(site.at.x - s.peak.x), std::abs(site.at.y - s.peak.y)) <= 2;
            });
            if (!planted) ++nearSaturated;
        }
        EXPECT_TRUE(foundNear(found.spots, saturated, 2));
        EXPECT_EQ(nearSaturated, 0);
        EXPECT_TRUE(foundNear(found.spots, frame.sites.back().at, 1));
    }
}

// The pixels to test are every pixel whose highest channel stands the level
// above its background in units of its tile's noise: against a plain loop
// over every pixel and channel. Given those, the site test finds what it
// finds on its own.
TEST(ColourSites, StandoutsAreThePixelsAboveTheLevelAndFeedTheTest) {
    struct Row {
        const char* name;
        int quality;
        double noise;  // the threshold's multiple
    };
    const Row rows[] = {{"q90, 5 sigma", 90, 5.0}, {"q70, 5 sigma", 70, 5.0}, {"q90, 3 sigma", 90, 3.0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Frame frame = shoot({256, 192}, row.quality);
        const ColourSiteSettings settings{row.noise, 6.0};
        std::vector<LocalBackground> backgrounds;
        std::vector<TileNoise> noise;
        for (int c = 0; c < 3; ++c) {
            backgrounds.emplace_back(frame.mean, c, 32);
            noise.emplace_back(frame.mean, c, backgrounds.back(), row.noise, 6.0);
        }
        const std::vector<const LocalBackground*> backgroundModels = {&backgrounds[0], &backgrounds[1],
                                                                      &backgrounds[2]};
        const std::vector<const TileNoise*> noiseModels = {&noise[0], &noise[1], &noise[2]};

        std::vector<Standout> expected;
        std::vector<float> bg(static_cast<std::size_t>(frame.mean.cols));
        for (int y = 0; y < frame.mean.rows; ++y) {
            std::vector<float> highest(bg.size(), -1e30f);
            for (int c = 0; c < 3; ++c) {
                backgrounds[static_cast<std::size_t>(c)].fillRow(y, bg.data());
                for (int x = 0; x < frame.mean.cols; ++x) {
                    const float scale = 1.0f / std::max(noise[static_cast<std::size_t>(c)].noiseAt(x, y), 1e-3f);
                    highest[static_cast<std::size_t>(x)] = std::max(
                        highest[static_cast<std::size_t>(x)], (frame.mean.at<cv::Vec3f>(y, x)[c] - bg[x]) * scale);
                }
            }
            for (int x = 0; x < frame.mean.cols; ++x) {
                if (highest[static_cast<std::size_t>(x)] >= standoutLevel(settings))
                    expected.push_back({{x, y}, highest[static_cast<std::size_t>(x)]});
            }
        }
        const std::vector<Standout> found = findStandouts(frame.mean, backgroundModels, noiseModels, settings);
        ASSERT_EQ(found.size(), expected.size());
        ASSERT_GT(found.size(), frame.sites.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            ASSERT_EQ(found[i].at, expected[i].at) << i;
            ASSERT_EQ(found[i].level, expected[i].level) << found[i].at;
        }

        const auto alone = findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings);
        const auto given = findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings, &found);
        ASSERT_TRUE(alone && given);
        ASSERT_EQ(given->candidates.size(), alone->candidates.size());
        EXPECT_FALSE(alone->candidates.empty());
        for (std::size_t i = 0; i < alone->candidates.size(); ++i) {
            EXPECT_EQ(given->candidates[i].at, alone->candidates[i].at) << i;
            EXPECT_EQ(given->candidates[i].significance, alone->candidates[i].significance) << i;
        }
        // Fewer standouts, fewer candidates: the test takes what it is given.
        const std::vector<Standout> half(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(found.size() / 2));
        const auto fewer = findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings, &half);
        ASSERT_TRUE(fewer);
        EXPECT_LT(fewer->candidates.size(), alone->candidates.size());
    }
}

// The tail's lengthening of noise whose tails are known, against the same
// worked out from the Gaussian's quantiles: Gaussian noise is lengthened by
// no more than the few percent the tail's uncertainty asks for, a lower
// tail that grows longer beyond 2 sigma is lengthened more the further out
// the multiple lies, an upper side stretched near in by its stretch, a
// lower side wider throughout than the upper (a dead zone's) shortened by
// how much narrower the upper body is, and hot sites at the upper tail's
// far end are not taken for noise.
TEST(ColourSites, TailLengtheningReadsTheTailsOfTheNoise) {
    struct Row {
        const char* name;
        int count;
        float lowerBeyond2;  // the lower side's stretch beyond 2 sigma
        float upper;         // the upper side's stretch
        int sites;           // values far up the upper tail, per 100000
        double multiple;
        float lowerWide = 1.0f;  // the whole lower side's stretch, after the one beyond 2 sigma
    };
    const Row rows[] = {
        {"Gaussian", 400000, 1.0f, 1.0f, 0, 5.0},
        {"a lower tail 1.3 times as long beyond 2 sigma, at 5", 400000, 1.3f, 1.0f, 0, 5.0},
        {"the same at 3.7 sigma: no growth to carry on", 400000, 1.3f, 1.0f, 0, 3.7},
        {"the same at 6 sigma", 400000, 1.3f, 1.0f, 0, 6.0},
        {"an upper side 1.4 times as wide", 400000, 1.0f, 1.4f, 0, 5.0},
        {"both", 400000, 1.3f, 1.4f, 0, 5.0},
        {"hot sites in the upper tail", 400000, 1.0f, 1.0f, 40, 5.0},
        {"narrower than Gaussian", 400000, 0.7f, 0.8f, 0, 5.0},
        {"a lower side 1.15 times as wide, the upper Gaussian", 400000, 1.0f, 1.0f, 0, 5.0, 1.15f},
        {"the same with hot sites in the upper tail", 400000, 1.0f, 1.0f, 40, 5.0, 1.15f},
        {"a lower side 1.5 times as wide: shortened by a fifth at most", 400000, 1.0f, 1.0f, 0, 5.0, 1.5f},
        {"a lower side 1.2 times as wide, the upper 1.1", 400000, 1.3f, 1.1f, 0, 5.0, 1.2f},
        {"a lower tail twice as long beyond 2 sigma, the upper side 1.1: the near ratio", 400000, 2.0f, 1.1f, 0, 5.0},
    };
    // The Gaussian's quantile below which `share` of it lies, from its tail.
    auto quantile = [](double share) {
        double low = 0.0, high = 10.0;
        for (int i = 0; i < 60; ++i) {
            const double middle = 0.5 * (low + high);
            (0.5 * std::erfc(middle / std::sqrt(2.0)) > share ? low : high) = middle;
        }
        return 0.5 * (low + high);
    };
    for (const Row& row : rows) {
        auto lower = [&](double q) { return row.lowerWide * (q <= 2.0 ? q : 2.0 + (q - 2.0) * row.lowerBeyond2); };
        // The values read: two standard deviations of the count out.
        auto readAt = [&](double share) {
            const double expected = share * row.count;
            const double k = std::max(0.0, std::floor(expected - 2.0 * std::sqrt(expected)));
            return quantile((k + 1.0) / (row.count + 1.0));
        };
        const double far = lower(readAt(1e-4)) / 3.7190, near = lower(readAt(1e-3)) / 3.0902;
        const double growth = std::max(0.0, (far - near) / (3.7190 - 3.0902));
        // The upper side longer near in lengthens; shorter there and in the
        // body at 1e-2, it shortens by the smaller ratio, by a fifth at most.
        const double nearRatio = row.upper * readAt(1e-3) / lower(readAt(1e-3));
        const double bodyRatio = row.upper * readAt(1e-2) / lower(readAt(1e-2));
        const double shorter = std::max(0.8, std::min(bodyRatio, nearRatio));
        const double skew = nearRatio >= 1.0 ? nearRatio : bodyRatio < 1.0 ? shorter : 1.0;
        const double expected = std::max(1.0, (far + growth * std::max(0.0, row.multiple - 3.7190)) * skew);

        cv::RNG rng(5);
        std::vector<float> values;
        for (int i = 0; i < row.count; ++i) {
            float v = static_cast<float>(rng.gaussian(1.0));
            if (v < -2.0f) v = -2.0f + (v + 2.0f) * row.lowerBeyond2;
            if (v < 0.0f) v *= row.lowerWide;
            if (v > 0.0f) v *= row.upper;
            if (i % 100000 < row.sites) v = 30.0f + static_cast<float>(i % 7);
            values.push_back(v);
        }
        const float lengthening = tailLengthening(values, row.multiple);
        // The far tail of a sample is itself a few percent uncertain, and
        // carrying its growth on out doubles that.
        EXPECT_NEAR(lengthening, expected, 0.08 * expected) << row.name;
    }
    std::vector<float> none;
    EXPECT_EQ(tailLengthening(none, 5.0), 1.0f);
}

// The threshold's multiple for a frame's area: unchanged up to the
// reference frame, and beyond it where Gaussian noise passes it as often
// per frame as it passes the given multiple in the reference frame.
TEST(ColourSites, AreaMultipleKeepsTheFalseAlarmsPerFrame) {
    struct Row {
        const char* name;
        double multiple, pixels;
    };
    const Row rows[] = {
        {"a small frame", 5.0, 0.2e6},
        {"the reference frame", 5.0, kReferenceArea},
        {"twice the reference", 5.0, 2 * kReferenceArea},
        {"24 megapixels", 5.0, 24e6},
        {"100 megapixels", 5.0, 100e6},
        {"a low multiple", 3.0, 24e6},
        {"a high multiple", 9.0, 24e6},
    };
    auto tail = [](double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); };
    for (const Row& row : rows) {
        const double z = areaMultiple(row.multiple, row.pixels);
        if (row.pixels <= kReferenceArea) {
            EXPECT_EQ(z, row.multiple) << row.name;
            continue;
        }
        EXPECT_GT(z, row.multiple) << row.name;
        // As many expected false alarms per frame as the reference frame's.
        EXPECT_NEAR(row.pixels * tail(z) / (kReferenceArea * tail(row.multiple)), 1.0, 1e-6) << row.name;
    }
    // 5 sigma at 24 MP: a quarter of the reference's chance per pixel.
    EXPECT_NEAR(areaMultiple(5.0, 24e6), 5.26, 0.01);
}

}  // namespace
}  // namespace speckmend
