// The photos detector's check sheet: a strip per entry with a crop of each
// photo in which it stood out, and only those.
#include "detect/photos/photo_strips.h"

#include <gtest/gtest.h>

namespace speckmend {
namespace {

constexpr int kWidth = 96, kHeight = 72;
const cv::Point kAt(40, 30);

cv::Mat darkPhoto(int index, int hot) {
    cv::Mat photo(kHeight, kWidth, CV_32FC3);
    cv::RNG rng(31 + index);
    rng.fill(photo, cv::RNG::NORMAL, 20.0, 1.5);
    photo.at<cv::Vec3f>(kAt)[2] += static_cast<float>(hot);
    cv::Mat stored;
    photo.convertTo(stored, CV_8UC3);
    return stored;
}

PhotoFindings oneSpot() {
    PhotoFindings found;
    Finding spot;
    spot.peak = kAt;
    spot.radius = 3;
    spot.strength = 50.0f;
    found.findings.spots.push_back(spot);
    found.seen.emplace_back(2, 3);
    return found;
}

// The strip's crop slots: label, then crop after crop (see photo_strips.cpp).
cv::Point slotCentre(int slot, const PhotoStripLayout& layout) {
    const int side = layout.crop * layout.zoom;
    return {190 + slot * (side + 6) + side / 2, 30 + 6 + side / 2};
}

TEST(PhotoStrips, OneCropPerPhotoTheEntryStoodOutIn) {
    const PhotoStripLayout layout;
    PhotoStrips strips(oneSpot(), PhotoJudgementSettings(), layout);
    // Stood out in the first and the third photo, not in the second.
    for (const int hot : {60, 0, 60}) strips.offer(darkPhoto(hot, hot));
    EXPECT_FALSE(strips.full());
    const cv::Mat sheet = strips.render();
    ASSERT_EQ(sheet.type(), CV_8UC3);
    // Each crop is stretched to its centre: the hot pixel shows white in
    // the first two slots, the third slot is empty.
    for (int slot = 0; slot < 2; ++slot) {
        const cv::Vec3b centre = sheet.at<cv::Vec3b>(slotCentre(slot, layout));
        EXPECT_EQ(centre[2], 255) << slot;
    }
    EXPECT_EQ(sheet.at<cv::Vec3b>(slotCentre(2, layout)), cv::Vec3b(32, 32, 32));
}

TEST(PhotoStrips, FullOnceEveryEntryHasItsCrops) {
    PhotoStripLayout layout;
    layout.perEntry = 2;
    PhotoStrips strips(oneSpot(), PhotoJudgementSettings(), layout);
    strips.offer(darkPhoto(1, 60));
    EXPECT_FALSE(strips.full());
    strips.offer(darkPhoto(2, 60));
    EXPECT_TRUE(strips.full());
}

}  // namespace
}  // namespace speckmend
