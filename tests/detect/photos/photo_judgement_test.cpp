// One photo's judgement against a plain reference: which pixels could
// judge, per channel, taken straight from the definition (the median of the
// 5 by 5 square, the mean absolute residual of the ring to the 9 by 9, the
// dark background), on the frame mirrored at its edges; and a judgement
// reused for the next photo equals a fresh one.
#include "detect/photos/photo_judgement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace speckmend {
namespace {

int mirror(int i, int n) {
    while (i < 0 || i >= n) i = i < 0 ? -i - 1 : 2 * n - i - 1;
    return i;
}

// Plain, and slow: every pixel's ring asks for 56 medians. Each median is
// kept once worked out (for up to kReach pixels beyond the frame, where the
// rings reach), which changes no result and keeps the tests quick under the
// sanitizers.
struct Reference {
    static constexpr int kReach = 4;
    const cv::Mat& photo;
    int channel;
    mutable cv::Mat medians = cv::Mat(photo.rows + 2 * kReach, photo.cols + 2 * kReach, CV_32S, cv::Scalar(-1));

    int at(int y, int x) const {
        const uchar* row = photo.ptr<uchar>(mirror(y, photo.rows));
        return row[mirror(x, photo.cols) * photo.channels() + channel];
    }
    int median(int y, int x) const {
        const bool kept = y >= -kReach && x >= -kReach && y < photo.rows + kReach && x < photo.cols + kReach;
        if (!kept) return medianOf(y, x);
        int& m = medians.at<int>(y + kReach, x + kReach);
        if (m < 0) m = medianOf(y, x);
        return m;
    }
    int medianOf(int y, int x) const {
        std::vector<int> values;
        for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2; dx <= 2; ++dx) values.push_back(at(y + dy, x + dx));
        }
        std::sort(values.begin(), values.end());
        return values[12];
    }
    bool judgeable(int y, int x, const PhotoJudgementSettings& settings) const {
        int ring = 0;
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                if (std::abs(dy) <= 2 && std::abs(dx) <= 2) continue;
                ring += std::abs(at(y + dy, x + dx) - median(y + dy, x + dx));
            }
        }
        return ring <= settings.smoothest * 56 && median(y, x) <= settings.darkest;
    }
};

// One reference per channel, each keeping its medians.
std::vector<Reference> referencesOf(const cv::Mat& photo) {
    std::vector<Reference> references;
    for (int ch = 0; ch < photo.channels(); ++ch) references.push_back({photo, ch});
    return references;
}

// Dark sky, a bright wall, foliage and an edge, with noise: every reason
// to judge a pixel or not, near the edges of the frame as well.
cv::Mat scene(cv::Size size, int channels, int seed) {
    cv::Mat photo(size, CV_32FC(channels));
    cv::RNG rng(seed);
    rng.fill(photo, cv::RNG::NORMAL, 20.0, 1.2);
    photo(cv::Rect(size.width / 2, 0, size.width - size.width / 2, size.height / 3)) += cv::Scalar::all(150);
    for (int y = size.height / 2; y < size.height; ++y) {
        for (int x = 0; x < size.width / 3; ++x) {
            float* p = photo.ptr<float>(y) + x * channels;
            for (int c = 0; c < channels; ++c) p[c] += static_cast<float>(rng.uniform(0, 60));
        }
    }
    cv::line(photo, {0, size.height - 1}, {size.width - 1, size.height / 4}, cv::Scalar::all(90), 2);
    cv::Mat stored;
    photo.convertTo(stored, CV_8UC(channels));
    return stored;
}

PhotoJudgementSettings withDarkest(double darkest) {
    PhotoJudgementSettings settings;
    settings.darkest = darkest;
    return settings;
}

struct JudgementCase {
    const char* name;
    cv::Size size;
    int channels;
    PhotoJudgementSettings settings = {};
    bool someJudged = true;  // some pixel of the scene can judge
};

const JudgementCase kJudgementCases[] = {
    {"colour", {96, 72}, 3},
    {"grey", {40, 30}, 1},
    // More rows than a stripe and not a multiple of it.
    {"several stripes", {30, 150}, 3},
    // A stripe has the median rows it shares with the one above from it:
    // a last stripe of one row, and stripes that fill the frame exactly.
    {"a last stripe of one row", {40, 129}, 3},
    {"whole stripes", {24, 192}, 1},
    // The channels' planes lie side by side, an odd number of columns
    // apart: abutting where the frame is an odd number wide, with a column
    // between them where it is even.
    {"planes that abut", {41, 70}, 3},
    {"planes that abut, several stripes", {67, 140}, 3},
    // Limits beyond the range of the pixels, which are compared as bytes:
    // every background is dark, or none is.
    {"every background dark", {96, 72}, 3, withDarkest(300.0)},
    {"the brightest background dark", {96, 72}, 3, withDarkest(255.0)},
    {"no background dark", {96, 72}, 3, withDarkest(-1.0), false},
    // Former bugs.
    // Narrower and lower than the margins: mirrored again and again.
    {"smaller than the margins", {5, 4}, 3, {}, false},
};

class PhotoJudgementReference : public ::testing::TestWithParam<JudgementCase> {};

TEST_P(PhotoJudgementReference, JudgedWhereSomeChannelCould) {
    const JudgementCase& c = GetParam();
    const cv::Mat photo = scene(c.size, c.channels, 3);
    const PhotoJudgementSettings& settings = c.settings;
    const PhotoJudgement judged = judgePhoto(photo, settings);
    const std::vector<Reference> references = referencesOf(photo);
    int differ = 0, some = 0;
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            bool expected = false;
            for (const Reference& reference : references)
                expected = expected || reference.judgeable(y, x, settings);
            some += expected;
            if ((judged.judged.at<uchar>(y, x) != 0) != expected) ++differ;
            EXPECT_LE(judged.judged.at<uchar>(y, x), 1);
        }
    }
    EXPECT_EQ(differ, 0);
    if (c.someJudged) {
        EXPECT_GT(some, 0);
    }
    // Events are in scan order, where the pixel could judge.
    for (std::size_t i = 0; i < judged.events.size(); ++i) {
        const cv::Point at = judged.events[i].at;
        EXPECT_TRUE(judged.judged.at<uchar>(at)) << at;
        EXPECT_GT(judged.events[i].strength, 0) << at;
        if (i > 0) {
            const cv::Point before = judged.events[i - 1].at;
            EXPECT_TRUE(before.y < at.y || (before.y == at.y && before.x < at.x)) << at;
        }
    }
}

// A pixel stands out by its residual against the median of its square: an
// event's strength is that residual, in DN, in a channel that could judge
// it, and at least half the floor. A planted site that stands 30 DN above
// its median where its channel can judge is an event: its ring, which it
// does not reach, has a mean absolute residual of 3 DN at most, which sets
// a bar below 19 DN, and the tile's noise is that of such smooth pixels.
TEST_P(PhotoJudgementReference, EventsStandAboveTheirMedian) {
    const JudgementCase& c = GetParam();
    cv::Mat photo = scene(c.size, c.channels, 4);
    std::vector<std::pair<cv::Point, int>> planted;
    for (int i = 0; i < 12; ++i) {
        const cv::Point at(i * 11 % c.size.width, i * 13 % c.size.height);
        uchar* p = photo.ptr<uchar>(at.y) + at.x * c.channels;
        p[i % c.channels] = static_cast<uchar>(std::min(255, p[i % c.channels] + 40));
        planted.emplace_back(at, i % c.channels);
    }
    const PhotoJudgement judged = judgePhoto(photo, c.settings);
    if (c.someJudged) {
        EXPECT_FALSE(judged.events.empty());
    }
    const std::vector<Reference> references = referencesOf(photo);
    for (const auto& [at, channel] : planted) {
        const Reference& reference = references[static_cast<std::size_t>(channel)];
        if (!reference.judgeable(at.y, at.x, c.settings)) continue;
        if (reference.at(at.y, at.x) - reference.median(at.y, at.x) < 30) continue;
        const bool found =
            std::any_of(judged.events.begin(), judged.events.end(), [&](const PhotoEvent& e) { return e.at == at; });
        EXPECT_TRUE(found) << "planted at " << at;
    }
    for (const PhotoEvent& e : judged.events) {
        bool explained = false;
        for (const Reference& reference : references) {
            const int residual = reference.at(e.at.y, e.at.x) - reference.median(e.at.y, e.at.x);
            explained = explained || (residual == e.strength && reference.judgeable(e.at.y, e.at.x, c.settings));
        }
        EXPECT_TRUE(explained) << e.at << " strength " << e.strength;
        EXPECT_GE(e.strength, std::ceil(0.5 * c.settings.floor)) << e.at;
    }
}

// A thread judges photo after photo into the same judgement: what the last
// one left must not show in the next.
TEST_P(PhotoJudgementReference, ReusedEqualsFresh) {
    const JudgementCase& c = GetParam();
    cv::Mat first = scene(c.size, c.channels, 5);
    for (int i = 0; i < 6; ++i) {
        const cv::Point at(i * 7 % c.size.width, i * 5 % c.size.height);
        uchar* p = first.ptr<uchar>(at.y) + at.x * c.channels;
        p[0] = 255;
    }
    PhotoJudgement reused;
    judgePhoto(first, PhotoJudgementSettings(), reused);
    if (c.size.area() > 100) {
        ASSERT_FALSE(reused.events.empty());
    }
    const cv::Mat second = scene(c.size, c.channels, 6);
    judgePhoto(second, PhotoJudgementSettings(), reused);
    const PhotoJudgement fresh = judgePhoto(second, PhotoJudgementSettings());
    EXPECT_EQ(cv::countNonZero(reused.judged != fresh.judged), 0);
    EXPECT_EQ(reused.events, fresh.events);
}

INSTANTIATE_TEST_SUITE_P(Photos, PhotoJudgementReference, ::testing::ValuesIn(kJudgementCases),
                         [](const ::testing::TestParamInfo<JudgementCase>& info) {
                             std::string name;
                             for (const char* ch = info.param.name; *ch; ++ch)
                                 name += std::isalnum(static_cast<unsigned char>(*ch)) ? *ch : '_';
                             return name;
                         });

}  // namespace
}  // namespace speckmend
