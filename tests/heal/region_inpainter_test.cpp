// Planning the inpainting regions from given areas instead of a mask scan.
#include "heal/region_inpainter.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "heal/repair_mask.h"

namespace speckmend {
namespace {

// ---------------------------------------------------------------------------
// Former bugs.

TEST(RegionInpainterFormerBugs, AreasGiveTheRegionsAScanOfTheMaskGives) {
    // Small discs anywhere in a larger mask: the regions planned from their
    // boxes must be those a scan of the whole mask finds.
    for (int r = 1; r <= 4; ++r) {
        for (int x = 448; x < 464; ++x) {
            SCOPED_TRACE(::testing::Message() << "disc at " << x << " radius " << r);
            const HotPixelMap map{{{x, 311, r}}, 640, 480};
            cv::Mat mask(480, 640, CV_8UC1, cv::Scalar(0));
            drawRepairMask(map, mask);
            const int margin = RegionInpainter::marginFor(3);
            const std::vector<cv::Rect> fromAreas =
                RegionInpainter::findRegions(mask, margin, repairAreas(map, mask.size()));
            const std::vector<cv::Rect> fromScan = RegionInpainter::findRegions(mask, margin);
            ASSERT_EQ(fromAreas.size(), 1u);
            ASSERT_EQ(fromScan.size(), 1u);
            EXPECT_EQ(fromAreas[0], fromScan[0]);
        }
    }
}

}  // namespace
}  // namespace speckmend
