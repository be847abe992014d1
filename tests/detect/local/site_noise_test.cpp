// The tails of the site estimate's noise and the threshold's multiple for a
// frame's area, each against the formula it stands for.
#include "detect/local/site_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {
namespace {

// The tail's lengthening of noise whose tails are known, against the same
// worked out from the Gaussian's quantiles: Gaussian noise is lengthened by
// no more than the few percent the tail's uncertainty asks for, a lower
// tail that grows longer beyond 2 sigma is lengthened more the further out
// the multiple lies, an upper side stretched near in by its stretch, a
// lower side wider throughout than the upper (a dead zone's) shortened by
// how much narrower the upper body is, and hot sites at the upper tail's
// far end are not taken for noise.
TEST(SiteNoise, TailLengtheningReadsTheTailsOfTheNoise) {
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

// The lengthening selects each quantile within the half of the values that
// holds it: the same values as selecting every one in the whole sample,
// for samples of every size, ties and values in any order.
TEST(SiteNoise, TailLengtheningSelectsAsInTheWholeSample) {
    struct Row {
        const char* name;
        int count;
        int distinct;  // values drawn from this many levels; 0: continuous
        bool sorted;
    };
    const Row rows[] = {
        {"one value", 1, 0, false},
        {"two values", 2, 0, false},
        {"three values", 3, 0, false},
        {"five values", 5, 0, true},
        {"a thousand", 1000, 0, false},
        {"twenty thousand", 20000, 0, false},
        {"twenty thousand in order", 20000, 0, true},
        {"a hundred thousand, far ranks apart", 100000, 0, false},
        {"a hundred thousand of seven levels", 100000, 7, false},
        {"all alike", 30000, 1, false},
    };
    // The lengthening as its formula reads, each quantile selected anew.
    auto reference = [](std::vector<float> values, double multiple) {
        auto select = [&](std::size_t k) {
            std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
            return static_cast<double>(values[k]);
        };
        const double n = static_cast<double>(values.size());
        auto outer = [&](double share) {
            return static_cast<std::size_t>(std::max(0.0, std::floor(share * n - 2.0 * std::sqrt(share * n))));
        };
        const double middle = select(values.size() / 2);
        const double lowTail = middle - select(outer(1e-4));
        const double lowNear = middle - select(outer(1e-3));
        const double highNear = select(values.size() - 1 - outer(1e-3)) - middle;
        const double lowBody = middle - select(outer(1e-2));
        const double highBody = select(values.size() - 1 - outer(1e-2)) - middle;
        double skew = 1.0;
        if (lowNear > 0.0 && highNear >= lowNear) {
            skew = highNear / lowNear;
        } else if (lowNear > 0.0 && lowBody > 0.0 && highBody < lowBody) {
            skew = std::max(0.8, std::min(highBody / lowBody, highNear / lowNear));
        }
        const double far = lowTail / 3.7190, near = lowNear / 3.0902;
        const double growth = std::max(0.0, (far - near) / (3.7190 - 3.0902));
        return static_cast<float>(std::max(1.0, (far + growth * std::max(0.0, multiple - 3.7190)) * skew));
    };
    for (const Row& row : rows) {
        cv::RNG rng(9);
        std::vector<float> values;
        for (int i = 0; i < row.count; ++i) {
            const float v = static_cast<float>(rng.gaussian(1.0));
            values.push_back(row.distinct > 0 ? static_cast<float>(rng.uniform(0, row.distinct))
                                              : v * (v < 0 ? 1.5f : 1.0f));
        }
        if (row.sorted) std::sort(values.begin(), values.end());
        for (const double multiple : {3.0, 5.0, 6.5}) {
            std::vector<float> copy = values;
            EXPECT_EQ(tailLengthening(copy, multiple), reference(values, multiple)) << row.name << " at " << multiple;
        }
    }
}

// The threshold's multiple for a frame's area: unchanged up to the
// reference frame, and beyond it where Gaussian noise passes it as often
// per frame as it passes the given multiple in the reference frame.
TEST(SiteNoise, AreaMultipleKeepsTheFalseAlarmsPerFrame) {
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
