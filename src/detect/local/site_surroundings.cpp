// The cells around strong hot sites.
#include "detect/local/site_surroundings.h"

#include <algorithm>
#include <stdexcept>

namespace speckmend {

SiteSurroundings::SiteSurroundings(cv::Size size, const std::vector<cv::Point>& sites, int reach)
    : columns_((size.width + kCell - 1) / kCell),
      rows_((size.height + kCell - 1) / kCell),
      cells_(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0) {
    if (size.width < 1 || size.height < 1 || reach < 0) {
        throw std::invalid_argument("SiteSurroundings: an empty frame or a negative reach");
    }
    for (const cv::Point& p : sites) {
        // The cells holding the square's first and last pixel, clipped to
        // the frame: a site beyond the edge may still reach into it.
        const int x0 = std::clamp(p.x - reach, 0, size.width - 1), x1 = std::clamp(p.x + reach, 0, size.width - 1);
        const int y0 = std::clamp(p.y - reach, 0, size.height - 1), y1 = std::clamp(p.y + reach, 0, size.height - 1);
        if (p.x + reach < 0 || p.y + reach < 0 || p.x - reach >= size.width || p.y - reach >= size.height) continue;
        for (int cy = y0 / kCell; cy <= y1 / kCell; ++cy) {
            std::uint8_t* row = cells_.data() + static_cast<std::size_t>(cy) * columns_;
            std::fill(row + x0 / kCell, row + x1 / kCell + 1, std::uint8_t{1});
        }
    }
}

double SiteSurroundings::coveredShare() const {
    const std::size_t covered = static_cast<std::size_t>(std::count(cells_.begin(), cells_.end(), std::uint8_t{1}));
    return static_cast<double>(covered) / static_cast<double>(cells_.size());
}

}  // namespace speckmend
