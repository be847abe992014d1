// The photos detector's statistic on small hand-made folders: each photo
// judged, the folder counted, the verdict taken, as the run does it.
#include "detect/photos/photo_findings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "detect/photos/binomial_test.h"
#include "detect/photos/evidence_counts.h"
#include "detect/photos/photo_judgement.h"

namespace speckmend {
namespace {

constexpr int kWidth = 96, kHeight = 72;

// A dark, smooth photo: 20 DN with 1.5 DN of noise, in colour.
cv::Mat darkPhoto(int index) {
    cv::Mat photo(kHeight, kWidth, CV_32FC3);
    cv::RNG rng(7 + index);
    rng.fill(photo, cv::RNG::NORMAL, 20.0, 1.5);
    cv::Mat stored;
    photo.convertTo(stored, CV_8UC3);
    return stored;
}

void brighten(cv::Mat& photo, cv::Point at, int dn, int channel = 2) {
    uchar& v = photo.at<cv::Vec3b>(at)[channel];
    v = cv::saturate_cast<uchar>(v + dn);
}

// Foliage: grey values anywhere from 0 to 120 DN around `at`, so that
// nothing there can be judged.
void texture(cv::Mat& photo, cv::Point at, int index) {
    cv::RNG rng(900 + index);
    for (int dy = -6; dy <= 6; ++dy) {
        for (int dx = -6; dx <= 6; ++dx)
            photo.at<cv::Vec3b>(at.y + dy, at.x + dx) = cv::Vec3b::all(rng.uniform(0, 121));
    }
}

PhotoFindings decide(int photos, const std::function<void(cv::Mat&, int)>& edit, EvidenceCounts& counts) {
    for (int i = 0; i < photos; ++i) {
        cv::Mat photo = darkPhoto(i);
        edit(photo, i);
        counts.add(judgePhoto(photo, PhotoJudgementSettings()));
    }
    return findHotPixels(counts, photos, PhotoFindingSettings());
}

bool listed(const std::vector<Finding>& list, cv::Point at) {
    return std::any_of(list.begin(), list.end(), [at](const Finding& f) { return f.peak == at; });
}

const cv::Point kAt(40, 30);

struct Case {
    const char* name;
    int photos;
    std::function<void(cv::Mat&, int)> edit;
    bool hot;
    int judged;              // photos that could judge kAt; -1: all of them
    const char* rejectedAs;  // "" when not among the rejected
    int otherSpots = 0;      // spots found elsewhere
};

const Case kCases[] = {
    // Hot pixels.
    {"seen in 3 of 3 dark photos", 3, [](cv::Mat& p, int) { brighten(p, kAt, 40); }, true, -1, ""},
    {"seen in 2 of 2, in green", 2, [](cv::Mat& p, int) { brighten(p, kAt, 30, 1); }, true, -1, ""},
    {"seen in 9 of 10", 10,
     [](cv::Mat& p, int i) {
         if (i != 4) brighten(p, kAt, 40);
     },
     true, -1, ""},
    // Not hot.
    {"bright in one photo only", 5,
     [](cv::Mat& p, int i) {
         if (i == 0) brighten(p, kAt, 80);
     },
     false, -1, ""},
    {"seen in 2 of 3: few photos must all agree", 3,
     [](cv::Mat& p, int i) {
         if (i != 2) brighten(p, kAt, 60);
     },
     false, -1, "chance"},
    {"bright in every photo but judged in none", 3,
     [](cv::Mat& p, int i) {
         texture(p, kAt, i);
         brighten(p, kAt, 100);
     },
     false, 0, ""},
    {"too faint to stand out", 4, [](cv::Mat& p, int) { brighten(p, kAt, 3); }, false, -1, ""},
    // Scene detail that moves: a point light on kAt in 4 photos and beside
    // it in 3 more passes the test on its own but is rejected.
    {"a light that moves by a pixel", 7,
     [](cv::Mat& p, int i) {
         for (int c = 0; c < 3; ++c) brighten(p, i < 4 ? kAt : kAt + cv::Point(1, 0), 90, c);
     },
     false, -1, "moved"},
    // Former bugs.
    // The ringing of a strong site's JPEG blocks is at the same place in
    // every photo: a faint spot 6 pixels from a saturated one was mapped.
    {"faint beside a saturated site", 5,
     [](cv::Mat& p, int) {
         brighten(p, kAt, 20);
         brighten(p, kAt + cv::Point(6, 0), 235);
     },
     false, -1, "ringing", 1},
};

class PhotoStatistic : public ::testing::TestWithParam<Case> {};

TEST_P(PhotoStatistic, Verdict) {
    const Case& c = GetParam();
    EvidenceCounts counts(cv::Size(kWidth, kHeight));
    const PhotoFindings found = decide(c.photos, c.edit, counts);
    EXPECT_EQ(listed(found.findings.spots, kAt), c.hot);
    // Nothing else in a dark folder is hot.
    EXPECT_EQ(static_cast<int>(found.findings.spots.size()), (c.hot ? 1 : 0) + c.otherSpots);
    EXPECT_EQ(counts.judged().at<std::uint16_t>(kAt), c.judged < 0 ? c.photos : c.judged);
    // The chance rate against its definition, pixel by pixel: the lone
    // events over all judgements.
    double judgements = 0.0, lone = 0.0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            judgements += counts.judged().at<std::uint16_t>(y, x);
            lone += counts.bright().at<std::uint16_t>(y, x) == 1 ? 1.0 : 0.0;
        }
    }
    EXPECT_EQ(found.chanceRate, lone / judgements);
    const auto why = std::find_if(found.findings.rejected.begin(), found.findings.rejected.end(),
                                  [](const Finding& f) { return f.peak == kAt; });
    const std::string rejectedAs =
        why == found.findings.rejected.end()
            ? ""
            : found.rejectedWhy[static_cast<std::size_t>(why - found.findings.rejected.begin())];
    EXPECT_EQ(rejectedAs, c.rejectedAs);
    ASSERT_EQ(found.seen.size(), found.findings.spots.size() + found.findings.rejected.size());
    if (c.hot) {
        EXPECT_EQ(found.seen[0].y, c.photos);
        EXPECT_GT(found.findings.spots[0].strength, 15.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, PhotoStatistic, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

// The tail against the sum of its terms, each from the binomial
// coefficient as a product.
double referenceTail(int k, int n, double p) {
    double sum = 0.0;
    for (int i = k; i <= n; ++i) {
        double choose = 1.0;
        for (int j = 1; j <= i; ++j) choose = choose * (n - i + j) / j;
        sum += choose * std::pow(p, i) * std::pow(1.0 - p, n - i);
    }
    return sum;
}

TEST(BinomialTest, TailAgreesWithTheSumOfItsTerms) {
    for (const int n : {1, 3, 10, 40}) {
        for (const double p : {1e-4, 0.01, 0.3}) {
            for (int k = 0; k <= n; k += std::max(1, n / 7)) {
                const double reference = referenceTail(k, n, p);
                EXPECT_NEAR(BinomialTest::upperTail(k, n, p), reference, 1e-9 * std::max(reference, 1e-300) + 1e-300)
                    << k << " of " << n << " at " << p;
            }
        }
    }
}

TEST(BinomialTest, LeastBrightIsTheFirstCountBelowAlpha) {
    const double p = 1e-3, alpha = 1e-8;
    const BinomialTest test(p, alpha, 0.5, 60);
    for (int n = 0; n <= 60; ++n) {
        int least = 2;
        while (least <= n && (least < std::ceil(0.5 * n) || referenceTail(least, n, p) > alpha)) ++least;
        if (n <= 4) least = std::max(least, n);
        EXPECT_EQ(test.leastBright(n), least) << n;
    }
    EXPECT_FALSE(test.isHot(1, 1));
    EXPECT_FALSE(test.isHot(2, 2));  // 1e-6 is not below 1e-8
    EXPECT_TRUE(test.isHot(3, 3));
}

}  // namespace
}  // namespace speckmend
