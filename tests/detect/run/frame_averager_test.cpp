// The mean of the frames: frames added one by one or read from a list on
// several threads, what is refused, and colour frames for the local
// detector.
#include "detect/run/frame_averager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "test_support.h"

namespace speckmend {
namespace {

using testing::TempFolder;

cv::Mat grey(int rows, int cols, int value) { return cv::Mat(rows, cols, CV_8UC1, cv::Scalar(value)); }

float at(const FrameAverager& frames, int row, int column) { return frames.mean().at<float>(row, column); }

// Whether an image's storage holds nothing around it: the library's filters
// read rows there in place of the border they would make.
bool hasNoRowsAround(const cv::Mat& image) {
    cv::Size whole;
    cv::Point offset;
    image.locateROI(whole, offset);
    return whole == image.size() && offset == cv::Point(0, 0);
}

// An element of the sum before finishMean, whatever its type.
double sumAt(const FrameAverager& frames, int row, int column) {
    cv::Mat sum;
    frames.mean().convertTo(sum, CV_64F);
    return sum.at<double>(row, column);
}

TEST(FrameAverager, IsTheSumOverTheFrameCount) {
    FrameAverager frames(false);
    EXPECT_TRUE(frames.mean().empty());
    for (const int value : {10, 20, 40}) ASSERT_EQ(frames.addFrame(grey(4, 6, value)), FrameResult::added);
    EXPECT_EQ(frames.mean().size(), cv::Size(6, 4));
    EXPECT_EQ(sumAt(frames, 2, 3), 70.0);
    frames.finishMean(3);
    EXPECT_FLOAT_EQ(at(frames, 0, 0), 70.0f / 3.0f);
    EXPECT_FLOAT_EQ(at(frames, 3, 5), 70.0f / 3.0f);
}

TEST(FrameAverager, ASingleFrameIsItsOwnMean) {
    FrameAverager frames(false);
    cv::Mat frame(3, 4, CV_8UC1);
    for (int i = 0; i < 12; ++i) frame.data[i] = static_cast<std::uint8_t>(i * 21);
    frames.addFrame(frame);
    frames.finishMean(1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(at(frames, i / 4, i % 4), static_cast<float>(i * 21));
}

TEST(FrameAverager, FramesThatAreNotAddedLeaveTheSumAlone) {
    FrameAverager frames(false);
    // Nothing readable yet: the first frame with a size decides.
    EXPECT_EQ(frames.addFrame(cv::Mat()), FrameResult::unreadable);
    EXPECT_TRUE(frames.mean().empty());
    EXPECT_EQ(frames.addFrame(grey(4, 6, 10)), FrameResult::added);
    EXPECT_EQ(frames.addFrame(cv::Mat()), FrameResult::unreadable);
    EXPECT_EQ(frames.addFrame(grey(6, 4, 50)), FrameResult::badDimension);
    EXPECT_EQ(frames.addFrame(grey(4, 7, 50)), FrameResult::badDimension);
    EXPECT_EQ(frames.addFrame(grey(4, 6, 30)), FrameResult::added);
    EXPECT_EQ(frames.mean().size(), cv::Size(6, 4));
    frames.finishMean(2);
    EXPECT_FLOAT_EQ(at(frames, 1, 1), 20.0f);
}

// The mean handed over stripe by stripe: each stripe's source is the
// finished mean's rows around it, read before any stripe overwrites them,
// an image with nothing around it in its storage, and a pass that writes
// each stripe's own rows back leaves the mean finishMean makes, bit for
// bit. Only a 16-bit sum is handed over so.
TEST(FrameAverager, TheMeanHandedOverInStripesIsTheFinishedOne) {
    struct Row {
        const char* name;
        cv::Size size;
        int type;
        int frames;
        int reach;
        bool handed;
    };
    const Row rows[] = {
        {"one row", {50, 1}, CV_8UC1, 3, 4, true},
        {"two rows", {9, 2}, CV_8UC1, 3, 4, true},
        {"one stripe and a bit", {7, 257}, CV_8UC1, 2, 4, true},
        {"tall: many rounds", {3, 3001}, CV_8UC1, 5, 4, true},
        {"wide and tall", {301, 1100}, CV_8UC1, 2, 4, true},
        {"a reach of more than a stripe", {5, 1500}, CV_8UC1, 2, 200, true},
        {"no reach", {5, 1000}, CV_8UC1, 2, 0, true},
        {"colour", {31, 900}, CV_8UC3, 3, 4, true},
        {"more frames than 16 bits hold", {6, 5}, CV_8UC1, FrameAverager::kMostSixteenBitFrames + 1, 4, false},
        {"16-bit frames", {6, 5}, CV_16UC1, 2, 4, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameAverager finished(true), handed(true);
        cv::RNG rng(static_cast<std::uint64_t>(row.size.area()));
        for (int i = 0; i < row.frames; ++i) {
            cv::Mat frame(row.size, row.type);
            rng.fill(frame, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(row.type) == CV_16U ? 65536 : 256);
            ASSERT_EQ(finished.addFrame(frame), FrameResult::added);
            ASSERT_EQ(handed.addFrame(frame), FrameResult::added);
        }
        finished.finishMean(row.frames);
        const cv::Mat& mean = finished.mean();
        const std::size_t rowBytes = mean.cols * mean.elemSize();
        std::vector<int> written(static_cast<std::size_t>(mean.rows), 0);
        std::mutex guard;
        bool sourcesRight = true;
        const auto work = [&](const cv::Mat& source, cv::Range wide, cv::Range own, cv::Mat& target) {
            const bool right = wide.start == std::max(own.start - row.reach, 0) &&
                               wide.end == std::min(own.end + row.reach, mean.rows) && own.size() >= 1 &&
                               source.type() == mean.type() && source.rows == wide.size() &&
                               target.rows == own.size() && source.isContinuous() && hasNoRowsAround(source) &&
                               std::memcmp(source.data, mean.ptr(wide.start), wide.size() * rowBytes) == 0;
            source.rowRange(own.start - wide.start, own.end - wide.start).copyTo(target);
            std::lock_guard<std::mutex> lock(guard);
            sourcesRight = sourcesRight && right;
            for (int y = own.start; y < own.end; ++y) ++written[static_cast<std::size_t>(y)];
        };
        const int before = cv::getNumThreads();
        cv::setNumThreads(4);
        const bool taken = handed.finishMeanThrough(row.frames, row.reach, work);
        cv::setNumThreads(before);
        ASSERT_EQ(taken, row.handed);
        if (!taken) {
            // Nothing done: the mean is still to be finished.
            EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](int n) { return n == 0; }));
            handed.finishMean(row.frames);
        } else {
            EXPECT_TRUE(sourcesRight);
            EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](int n) { return n == 1; }));
        }
        ASSERT_EQ(handed.mean().type(), mean.type());
        ASSERT_EQ(handed.mean().size(), mean.size());
        EXPECT_EQ(std::memcmp(handed.mean().data, mean.data, mean.rows * rowBytes), 0);
    }
}

// The rounds against what writing floats over the 16-bit sum destroys:
// float rows [a, b) lie on sum rows [2a - H, 2b - H). A round of several
// stripes may destroy no row that it or a later round reads; a round of one
// stripe reads before it writes, so only no row a later round reads.
TEST(FrameAverager, StripeRoundsDestroyNoRowBeforeItIsRead) {
    struct Row {
        int height, reach;
    };
    const Row rows[] = {{1, 4},   {2, 4},    {3, 4},    {255, 4},  {256, 4},    {257, 4},   {513, 4},
                        {514, 4}, {4000, 4}, {4001, 4}, {6000, 0}, {1500, 200}, {900, 500}, {20000, 4}};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.height << " rows, reach " << row.reach);
        const auto rounds = FrameAverager::stripeRounds(row.height, row.reach);
        int next = 0;
        for (std::size_t k = 0; k < rounds.size(); ++k) {
            ASSERT_FALSE(rounds[k].empty());
            const int firstRead = rounds[k].size() > 1    ? rounds[k].front().start - row.reach
                                  : k + 1 < rounds.size() ? rounds[k + 1].front().start - row.reach
                                                          : row.height;
            for (const cv::Range& stripe : rounds[k]) {
                EXPECT_EQ(stripe.start, next);
                EXPECT_TRUE(stripe.size() >= 2 || row.height == 1) << stripe.start;
                next = stripe.end;
                // The last sum row this stripe's floats lie on.
                const int lastDestroyed = 2 * stripe.end - row.height - 1;
                if (k + 1 < rounds.size() || rounds[k].size() > 1) {
                    EXPECT_LT(lastDestroyed, firstRead) << stripe.start;
                }
            }
        }
        EXPECT_EQ(next, row.height);
        // The rows are handed over in a few rounds, not one stripe at a time.
        if (row.height >= 4000 && row.reach < 128) {
            EXPECT_LT(rounds.size(), 12u);
        }
    }
}

TEST(FrameAverager, OnlyGreyBytesAreFrames) {
    FrameAverager frames(false);
    EXPECT_THROW(frames.addFrame(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(1))), std::invalid_argument);
    EXPECT_THROW(frames.addFrame(cv::Mat(4, 4, CV_16UC1, cv::Scalar::all(1))), std::invalid_argument);
    EXPECT_THROW(frames.finishMean(0), std::invalid_argument);
}

TEST(FrameAverager, FramesAddedFromAListAreReportedInOrder) {
    TempFolder folder;
    cv::imwrite(folder / "a.png", grey(5, 7, 10));
    testing::writeFile(folder / "b.png", "not an image");
    cv::imwrite(folder / "c.png", grey(7, 5, 90));  // turned: another size
    cv::imwrite(folder / "d.png", grey(5, 7, 30));
    cv::imwrite(folder / "e.png", grey(5, 7, 50));
    FrameAverager frames(false);
    std::vector<std::string> names;
    for (const char* n : {"a.png", "b.png", "c.png", "d.png", "missing.png", "e.png"}) names.push_back(folder / n);
    std::vector<std::pair<std::string, FrameResult>> reported;
    frames.addFrames(names, [&](const std::string& name, FrameResult result) { reported.emplace_back(name, result); });
    using R = FrameResult;
    const std::vector<std::pair<std::string, R>> expected = {{names[0], R::added},        {names[1], R::unreadable},
                                                             {names[2], R::badDimension}, {names[3], R::added},
                                                             {names[4], R::unreadable},   {names[5], R::added}};
    EXPECT_EQ(reported, expected);
    frames.finishMean(3);
    EXPECT_FLOAT_EQ(at(frames, 4, 6), 30.0f);
}

TEST(FrameAverager, TheFirstReadableEntryInListingOrderDecidesTheSize) {
    // Entries: w = 5x7 frame of 10, t = 7x5 frame of 90, u = not an image.
    // Many entries, so that several readers are busy when the size is
    // decided.
    struct Row {
        const char* name;
        std::string entries;
        float mean;  // at (0, 0) afterwards
    };
    const Row rows[] = {
        {"wide first", "wwtuwtwwuwwtwwwwtwuw", 10.0f},
        {"unreadable ones first", "uuuwtwwtwuwwwtwwtwuw", 10.0f},
        {"turned first", "tuwwtwwutwwwtwwuwwtw", 90.0f},
        {"unreadable, then turned", "uutwwwwwwwwwwwwwwwww", 90.0f},
    };
    using R = FrameResult;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        std::vector<std::string> names;
        std::vector<R> expected;
        char decided = 0;
        int added = 0;
        for (std::size_t i = 0; i < row.entries.size(); ++i) {
            const char kind = row.entries[i];
            names.push_back(folder / ("f" + std::to_string(100 + i) + ".png"));
            if (kind == 'w') cv::imwrite(names.back(), grey(5, 7, 10));
            if (kind == 't') cv::imwrite(names.back(), grey(7, 5, 90));
            if (kind == 'u') testing::writeFile(names.back(), "text");
            if (kind != 'u' && decided == 0) decided = kind;
            expected.push_back(kind == 'u' ? R::unreadable : kind == decided ? R::added : R::badDimension);
            added += kind == decided;
        }
        FrameAverager frames(false);
        std::vector<std::string> reportedNames;
        std::vector<R> reported;
        frames.addFrames(names, [&](const std::string& name, R result) {
            reportedNames.push_back(name);
            reported.push_back(result);
        });
        EXPECT_EQ(reportedNames, names);
        EXPECT_EQ(reported, expected);
        frames.finishMean(added);
        EXPECT_FLOAT_EQ(at(frames, 0, 0), row.mean);
    }
}

TEST(FrameAverager, AFailingReportStopsTheReadersCleanly) {
    TempFolder folder;
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back(folder / ("f" + std::to_string(i) + ".png"));
        cv::imwrite(names.back(), grey(5, 7, 10));
    }
    FrameAverager frames(false);
    int reports = 0;
    EXPECT_THROW(frames.addFrames(names,
                                  [&](const std::string&, FrameResult) {
                                      if (++reports == 2) throw std::runtime_error("console gone");
                                  }),
                 std::runtime_error);
    EXPECT_EQ(reports, 2);
}

// The mean read on several threads is, bit for bit, the one of adding the
// frames one after the other in listing order and scaling the sum: for
// 8-bit frames (whose sums are exact) and for 16-bit ones, here so many that
// their float sums round and the order of adding shows.
TEST(FrameAverager, TheMeanOfManyThreadsIsTheOneOfAddingInListingOrder) {
    struct Row {
        const char* name;
        int type;
        int frames;
        cv::Size size;
    };
    const Row rows[] = {
        {"8-bit grey", CV_8UC1, 12, {613, 97}},
        {"8-bit colour", CV_8UC3, 6, {97, 61}},
        // More than 16 bits hold: the sum turns into floats on the way.
        {"8-bit grey, 300 frames", CV_8UC1, 300, {61, 37}},
        // Large enough for the 16-bit sum to become floats in several rounds.
        {"8-bit colour, 840,000 values", CV_8UC3, 3, {700, 400}},
        {"16-bit grey", CV_16UC1, 300, {64, 48}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempFolder folder;
        std::vector<std::string> names;
        cv::Mat expected;
        cv::RNG rng(static_cast<std::uint64_t>(row.frames));
        for (int i = 0; i < row.frames; ++i) {
            cv::Mat frame(row.size, row.type);
            // 16-bit sums pass 2^24 some 40 frames before the end.
            if (CV_MAT_DEPTH(row.type) == CV_16U)
                rng.fill(frame, cv::RNG::UNIFORM, 50000, 65536);
            else if (row.frames > FrameAverager::kMostSixteenBitFrames)
                rng.fill(frame, cv::RNG::UNIFORM, 200, 256);
            else
                rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
            names.push_back(folder / ("f" + std::to_string(1000 + i) + ".png"));
            ASSERT_TRUE(cv::imwrite(names.back(), frame));
            cv::Mat asFloat;
            frame.convertTo(asFloat, CV_32F);
            if (expected.empty())
                expected = asFloat;
            else
                expected += asFloat;
        }
        expected.convertTo(expected, CV_32F, 1.0 / row.frames, 0.0);
        for (const int threads : {4, 1}) {
            SCOPED_TRACE(threads);
            const int before = cv::getNumThreads();
            cv::setNumThreads(threads);
            FrameAverager frames(true);
            frames.addFrames(names, [](const std::string&, FrameResult result) { EXPECT_EQ(result, FrameResult::added); });
            frames.finishMean(row.frames);
            cv::setNumThreads(before);
            ASSERT_EQ(frames.mean().size(), expected.size());
            ASSERT_EQ(frames.mean().type(), expected.type());
            EXPECT_EQ(std::memcmp(frames.mean().data, expected.data, expected.total() * expected.elemSize()), 0);
        }
    }
}

// ---- Colour frames, for the local detector -------------------------------------

TEST(FrameAverager, ColourFramesKeepTheirChannelsAndRefuseMixedOnes) {
    FrameAverager frames(true);
    EXPECT_EQ(frames.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar(10, 20, 30))), FrameResult::added);
    EXPECT_EQ(frames.addFrame(grey(4, 6, 50)), FrameResult::badDimension);
    EXPECT_EQ(frames.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar(30, 40, 50))), FrameResult::added);
    // 16-bit values are in other units than the 8-bit frames added.
    EXPECT_EQ(frames.addFrame(cv::Mat(4, 6, CV_16UC3, cv::Scalar::all(1))), FrameResult::badDimension);
    EXPECT_THROW(frames.addFrame(cv::Mat(4, 6, CV_32FC3, cv::Scalar::all(1))), std::invalid_argument);
    frames.finishMean(2);
    ASSERT_EQ(frames.mean().type(), CV_32FC3);
    EXPECT_EQ(frames.mean().at<cv::Vec3f>(2, 3), cv::Vec3f(20.0f, 30.0f, 40.0f));
    EXPECT_EQ(frames.valueBits(), 8);
}

TEST(FrameAverager, SixteenBitFramesKeepTheirUnitsAndTellTheBitsTheyUse) {
    struct Row {
        int highest;  // the largest sample added
        int bits;
    };
    const Row rows[] = {{200, 8}, {256, 10}, {4095, 12}, {4096, 14}, {16383, 14}, {16384, 16}, {65535, 16}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.highest);
        FrameAverager frames(true);
        cv::Mat frame(4, 6, CV_16UC1, cv::Scalar(100));
        ASSERT_EQ(frames.addFrame(frame), FrameResult::added);
        frame.at<std::uint16_t>(3, 5) = static_cast<std::uint16_t>(row.highest);
        ASSERT_EQ(frames.addFrame(frame), FrameResult::added);
        EXPECT_EQ(frames.addFrame(grey(4, 6, 100)), FrameResult::badDimension);
        EXPECT_EQ(frames.depth(), CV_16U);
        EXPECT_EQ(frames.valueBits(), row.bits);
        frames.finishMean(2);
        EXPECT_FLOAT_EQ(frames.mean().at<float>(3, 5), (100.0f + static_cast<float>(row.highest)) / 2.0f);
    }
}

TEST(FrameAverager, GreyFramesStayOneChannelWhenColourIsKept) {
    FrameAverager frames(true);
    EXPECT_EQ(frames.addFrame(grey(4, 6, 10)), FrameResult::added);
    EXPECT_EQ(frames.addFrame(cv::Mat(4, 6, CV_8UC3, cv::Scalar::all(9))), FrameResult::badDimension);
    frames.finishMean(1);
    EXPECT_EQ(frames.mean().type(), CV_32FC1);
}

}  // namespace
}  // namespace speckmend
