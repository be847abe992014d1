// Where the JPEG ringing of strong hot sites may lie: every pixel within a
// reach of one of them, on a coarse grid of cells.
//
// A lossy frame spreads a strong site over its colour block and beyond, with
// lobes below the background as well as above. Noise measured on the lower
// tail of a statistic ("no hot site is there") is not free of the sites
// then: their lobes lengthen that tail. The measurement leaves these
// surroundings out instead.
//
// Memory: one byte per cell of kCell x kCell pixels.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

class SiteSurroundings {
public:
    static constexpr int kCell = 4;

    // Covers every pixel of a frame of `size` within `reach` (in x and y)
    // of one of `sites`; a pixel up to kCell - 1 further may be covered too.
    SiteSurroundings(cv::Size size, const std::vector<cv::Point>& sites, int reach);

    bool covers(int x, int y) const {
        return cells_[static_cast<std::size_t>((y / kCell) * columns_ + x / kCell)] != 0;
    }
    // The share of the frame's cells covered, 0 to 1.
    double coveredShare() const;

private:
    int columns_ = 0, rows_ = 0;
    std::vector<std::uint8_t> cells_;
};

}  // namespace speckmend
