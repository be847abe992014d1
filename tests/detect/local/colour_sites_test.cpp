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
        // The mean's highest value handed in, as the detector's scan finds
        // it, gives the same test; one far lower takes every site for
        // clipped, and there is then no footprint to learn.
        double highest = 0.0;
        cv::minMaxLoc(frame.mean.reshape(1), nullptr, &highest);
        const auto handed = findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings, &found,
                                            static_cast<float>(highest));
        ASSERT_TRUE(handed);
        ASSERT_EQ(handed->candidates.size(), alone->candidates.size());
        for (std::size_t i = 0; i < alone->candidates.size(); ++i) {
            EXPECT_EQ(handed->candidates[i].at, alone->candidates[i].at) << i;
            EXPECT_EQ(handed->candidates[i].significance, alone->candidates[i].significance) << i;
        }
        EXPECT_FALSE(findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings, &found, 1.0f));
        // Fewer standouts, fewer candidates: the test takes what it is given.
        const std::vector<Standout> half(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(found.size() / 2));
        const auto fewer = findColourSites(frame.mean, backgroundModels, noiseModels, {}, settings, &half);
        ASSERT_TRUE(fewer);
        EXPECT_LT(fewer->candidates.size(), alone->candidates.size());
    }
}

// The pixels around the standouts, against marking every neighbour in a
// set: each once, in raster order, inside the frame, from standouts in
// raster order or in any other.
TEST(ColourSites, PointsAroundStandoutsAreTheNeighboursInRasterOrder) {
    struct Row {
        const char* name;
        std::vector<cv::Point> at;
    };
    const Row rows[] = {
        {"none", {}},
        {"one inside", {{5, 4}}},
        {"the top left corner", {{0, 0}}},
        {"the bottom right corner", {{11, 7}}},
        {"neighbours along a row", {{3, 3}, {4, 3}, {6, 3}}},
        {"a column", {{2, 1}, {2, 2}, {2, 3}, {2, 5}}},
        {"rows two apart share the one between", {{4, 1}, {8, 3}}},
        {"rows far apart", {{1, 0}, {1, 6}}},
        {"the same pixel twice", {{6, 2}, {6, 2}}},
        {"out of raster order", {{9, 6}, {1, 1}, {5, 1}, {3, 4}, {0, 7}}},
        {"a whole row",
         {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}, {5, 4}, {6, 4}, {7, 4}, {8, 4}, {9, 4}, {10, 4}, {11, 4}}},
    };
    const cv::Size size(12, 8);
    for (const Row& row : rows) {
        std::vector<Standout> found;
        for (const cv::Point& p : row.at) found.push_back({p, 1.0f});
        std::vector<cv::Point> expected;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const bool near = std::any_of(row.at.begin(), row.at.end(), [&](const cv::Point& p) {
                    return std::abs(p.x - x) <= 1 && std::abs(p.y - y) <= 1;
                });
                if (near) expected.emplace_back(x, y);
            }
        }
        EXPECT_EQ(pointsAroundStandouts(found, size), expected) << row.name;
    }
}

}  // namespace
}  // namespace speckmend
