// The footprint of a colour site learnt from sites of a known shape: the
// bilinear spread of one site of a Bayer mosaic, which puts four times a red
// or blue site's amplitude and twice a green one's into its channel.
#include "detect/local/site_footprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {
namespace {

constexpr int kSpread = SiteFootprint::kSpread;
constexpr int kSide = SiteFootprint::kSide;

// The channel a phase's site shows in: red (2) at phase 0, blue (0) at 3.
int colourOf(int phase) { return phase == 0 ? 2 : (phase == 3 ? 0 : 1); }

// The residual of a site of `amplitude` at `phase` as bilinear demosaicing
// leaves it, plus Gaussian noise; `wave` adds a ripple across the patch (a
// ringing pattern) instead of the site when set.
std::vector<float> patchOf(int phase, float amplitude, float noise, cv::RNG& rng, bool wave = false) {
    std::vector<float> r(3 * kSide * kSide, 0.0f);
    const int c = colourOf(phase);
    for (int dy = -kSpread; dy <= kSpread; ++dy) {
        for (int dx = -kSpread; dx <= kSpread; ++dx) {
            float v = 0.0f;
            if (wave) {
                v = amplitude * std::cos(0.4f * static_cast<float>(dx + dy));
            } else if (c == 1) {
                v = dx == 0 && dy == 0 ? amplitude : (std::abs(dx) + std::abs(dy) == 1 ? amplitude / 4 : 0.0f);
            } else if (std::abs(dx) <= 1 && std::abs(dy) <= 1) {
                v = amplitude / static_cast<float>(1 << (std::abs(dx) + std::abs(dy)));
            }
            r[static_cast<std::size_t>((c * kSide + dy + kSpread) * kSide + dx + kSpread)] = v;
        }
    }
    for (float& v : r) v += static_cast<float>(rng.gaussian(noise));
    return r;
}

std::vector<SiteFootprint::Site> sites(int perPhase, float noise, cv::RNG& rng) {
    std::vector<SiteFootprint::Site> all;
    for (int phase = 0; phase < SiteFootprint::kPhases; ++phase) {
        for (int i = 0; i < perPhase; ++i) {
            all.push_back({phase, patchOf(phase, 20.0f + 5.0f * static_cast<float>(i % 17), noise, rng)});
        }
    }
    return all;
}

// The core (kCoreSide square per channel) of a full patch.
std::vector<float> coreOf(const std::vector<float>& patch) {
    std::vector<float> core;
    for (int c = 0; c < 3; ++c) {
        for (int dy = -SiteFootprint::kCore; dy <= SiteFootprint::kCore; ++dy) {
            for (int dx = -SiteFootprint::kCore; dx <= SiteFootprint::kCore; ++dx)
                core.push_back(patch[static_cast<std::size_t>((c * kSide + dy + kSpread) * kSide + dx + kSpread)]);
        }
    }
    return core;
}

TEST(SiteFootprint, LearnsTheShapeAndMeasuresAmplitudesAtTheSensor) {
    cv::RNG rng(5);
    const std::vector<float> noise{0.5f, 0.5f, 0.5f};
    const auto footprint = SiteFootprint::learn(sites(40, 0.5f, rng), 3, noise);
    ASSERT_TRUE(footprint.has_value());
    struct Row {
        int phase;
        float amplitude;
    };
    const Row rows[] = {{0, 9.0f}, {0, 150.0f}, {1, 12.0f}, {2, 40.0f}, {3, 9.0f}, {3, 75.0f}};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "phase " << row.phase << ", " << row.amplitude << " DN");
        EXPECT_EQ(footprint->colour(row.phase), colourOf(row.phase));
        const std::vector<float> patch = patchOf(row.phase, row.amplitude, 0.0f, rng);
        EXPECT_NEAR(footprint->amplitude(row.phase, coreOf(patch).data()), row.amplitude, 0.05f * row.amplitude);
        EXPECT_GT(footprint->fit(row.phase, patch.data()), 0.98f);
        // At the frame's edge, from what lies inside: as large, but noisier.
        constexpr int kCoreSide = SiteFootprint::kCoreSide;
        bool inside[kCoreSide * kCoreSide];
        for (int edge = 0; edge < 3; ++edge) {
            for (int k = 0; k < kCoreSide * kCoreSide; ++k) {
                inside[k] = edge == 0 || (edge == 1 ? k % kCoreSide != 0 : k >= kCoreSide && k % kCoreSide != 0);
            }
            float gain = 0.0f;
            const float a = footprint->amplitudeInside(row.phase, coreOf(patch).data(), inside, gain);
            EXPECT_NEAR(a, row.amplitude, 0.05f * row.amplitude) << "edge " << edge;
            if (edge == 0) {
                EXPECT_NEAR(gain, 1.0f, 1e-3f);
            }
            if (edge > 0) {
                EXPECT_GT(gain, 1.01f) << "edge " << edge;
            }
        }
        // A ripple as strong has not the shape.
        const std::vector<float> ripple = patchOf(row.phase, row.amplitude, 0.0f, rng, true);
        EXPECT_LT(footprint->fit(row.phase, ripple.data()), 0.5f);
    }
}

TEST(SiteFootprint, APhaseShortOfSitesTakesItsPartnersShapeMirrored) {
    const std::vector<float> noise{0.5f, 0.5f, 0.5f};
    struct Row {
        const char* name;
        std::vector<int> shortPhases;  // phases with one site too few
        bool learns;
    };
    const Row rows[] = {
        {"every phase has enough", {}, true},       {"blue from red", {3}, true},
        {"one green from the other", {1}, true},    {"red and blue both short", {0, 3}, false},
        {"every phase short", {0, 1, 2, 3}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        cv::RNG rng(7);
        std::vector<SiteFootprint::Site> given;
        for (const SiteFootprint::Site& site : sites(SiteFootprint::kFewestSites, 0.5f, rng)) {
            const bool isShort =
                std::find(row.shortPhases.begin(), row.shortPhases.end(), site.phase) != row.shortPhases.end();
            const bool firstOfPhase =
                std::none_of(given.begin(), given.end(), [&](const auto& s) { return s.phase == site.phase; });
            if (!(isShort && firstOfPhase)) given.push_back(site);
        }
        const auto footprint = SiteFootprint::learn(given, 3, noise);
        ASSERT_EQ(footprint.has_value(), row.learns);
        if (!footprint) continue;
        for (int phase = 0; phase < SiteFootprint::kPhases; ++phase) {
            EXPECT_EQ(footprint->colour(phase), colourOf(phase)) << "phase " << phase;
            const std::vector<float> patch = patchOf(phase, 30.0f, 0.0f, rng);
            // Eight noisy sites per phase fix the scale to within a tenth.
            EXPECT_NEAR(footprint->amplitude(phase, coreOf(patch).data()), 30.0f, 3.0f) << "phase " << phase;
        }
    }
    EXPECT_THROW(SiteFootprint::learn({}, 3, {0.5f}), std::invalid_argument);
}

// A row's amplitudes worked out together, against amplitude() at each
// pixel from its gathered core: the same value, bit for bit, at both
// phases of a row of either parity, for spans of any length and start
// (vector-wide or not, even or odd), and rows that hold sites as well as
// noise.
TEST(SiteFootprint, AmplitudeRowGivesEachPixelsAmplitude) {
    cv::RNG rng(8);
    const std::vector<float> noise{0.5f, 0.7f, 0.6f};
    const auto footprint = SiteFootprint::learn(sites(40, 0.5f, rng), 3, noise);
    ASSERT_TRUE(footprint.has_value());
    struct Row {
        const char* name;
        int y, width, from, to;
    };
    const Row rows[] = {
        {"a long row", 0, 80, 1, 79},   {"an odd row", 7, 80, 1, 79},
        {"an odd start", 2, 64, 3, 61}, {"an even start", 3, 64, 2, 60},
        {"one pixel", 1, 9, 4, 5},      {"a span shorter than a vector", 4, 9, 1, 4},
        {"none", 5, 9, 4, 4},
    };
    constexpr int kCoreSide = SiteFootprint::kCoreSide;
    for (const Row& row : rows) {
        // Residual rows of noise with a few sites' worth of height here
        // and there.
        std::vector<std::vector<float>> residual(3 * kCoreSide, std::vector<float>(row.width));
        for (auto& line : residual) {
            for (float& v : line) v = static_cast<float>(rng.gaussian(1.0)) + (rng.uniform(0, 9) == 0 ? 25.0f : 0.0f);
        }
        std::vector<const float*> pointers;
        for (const auto& line : residual) pointers.push_back(line.data());
        std::vector<float> out(static_cast<std::size_t>(row.width), -1.0f);
        footprint->amplitudeRow(row.y, pointers.data(), row.from, row.to, out.data());
        for (int x = 0; x < row.width; ++x) {
            if (x < row.from || x >= row.to) {
                EXPECT_EQ(out[static_cast<std::size_t>(x)], -1.0f) << row.name << ": column " << x << " written";
                continue;
            }
            std::vector<float> core;
            for (int c = 0; c < 3; ++c) {
                for (int dy = 0; dy < kCoreSide; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx)
                        core.push_back(residual[static_cast<std::size_t>(c * kCoreSide + dy)][x + dx]);
                }
            }
            EXPECT_EQ(out[static_cast<std::size_t>(x)],
                      footprint->amplitude(SiteFootprint::phaseOf(x, row.y), core.data()))
                << row.name << ": column " << x;
        }
    }
}

}  // namespace
}  // namespace speckmend
