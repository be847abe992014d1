// Window planning for the lossless heal; see repair_windows.h.
#include "heal/lossless_jpeg/repair_windows.h"

#include <algorithm>
#include <cstdint>

namespace speckmend {

namespace {

constexpr int kCellSize = 16;

int floorDiv(std::int64_t a, std::int64_t b) { return static_cast<int>(a >= 0 ? a / b : -((-a + b - 1) / b)); }
int ceilDiv(std::int64_t a, std::int64_t b) { return -floorDiv(-a, b); }

bool overlap(const cv::Rect& a, const cv::Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

}  // namespace

std::vector<RepairWindow> planRepairWindows(const std::vector<cv::Rect>& areas, const JpegGrid& grid, int margin) {
    const cv::Rect photo(0, 0, grid.width, grid.height);
    std::vector<RepairWindow> windows;
    for (std::size_t i = 0; i < areas.size(); ++i) {
        const cv::Rect area = areas[i] & photo;
        if (area.empty()) continue;
        // The pixels the inpainting reads, and the cells the transplant may
        // take blocks from.
        const std::int64_t left =
            std::max<std::int64_t>(0, std::min<std::int64_t>(std::int64_t{area.x} - margin,
                                                             std::int64_t{floorDiv(area.x, kCellSize)} * kCellSize));
        const std::int64_t top =
            std::max<std::int64_t>(0, std::min<std::int64_t>(std::int64_t{area.y} - margin,
                                                             std::int64_t{floorDiv(area.y, kCellSize)} * kCellSize));
        const std::int64_t right = std::max<std::int64_t>(std::int64_t{area.br().x} + margin,
                                                          std::int64_t{ceilDiv(area.br().x, kCellSize)} * kCellSize);
        const std::int64_t bottom = std::max<std::int64_t>(std::int64_t{area.br().y} + margin,
                                                           std::int64_t{ceilDiv(area.br().y, kCellSize)} * kCellSize);
        // In whole iMCUs, one more on every side, clipped to the photo.
        const int x0 = std::max(0, floorDiv(left, grid.imcuWidth) - 1);
        const int y0 = std::max(0, floorDiv(top, grid.imcuHeight) - 1);
        const int x1 = std::min(grid.across(), ceilDiv(right, grid.imcuWidth) + 1);
        const int y1 = std::min(grid.down(), ceilDiv(bottom, grid.imcuHeight) + 1);
        windows.push_back({cv::Rect(x0, y0, x1 - x0, y1 - y0), {i}});
    }

    // Merge until no two windows overlap; a merged window may reach others
    // that its parts did not, hence the repeated passes.
    bool merged = true;
    while (merged) {
        merged = false;
        std::sort(windows.begin(), windows.end(),
                  [](const RepairWindow& a, const RepairWindow& b) { return a.imcus.x < b.imcus.x; });
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (windows[i].areas.empty()) continue;
            for (std::size_t j = i + 1; j < windows.size(); ++j) {
                if (windows[j].imcus.x >= windows[i].imcus.x + windows[i].imcus.width) break;
                if (windows[j].areas.empty() || !overlap(windows[i].imcus, windows[j].imcus)) continue;
                windows[i].imcus |= windows[j].imcus;
                windows[i].areas.insert(windows[i].areas.end(), windows[j].areas.begin(), windows[j].areas.end());
                windows[j].areas.clear();
                windows[j].imcus = cv::Rect();
                merged = true;
            }
        }
        std::erase_if(windows, [](const RepairWindow& w) { return w.areas.empty(); });
    }
    for (RepairWindow& window : windows) std::sort(window.areas.begin(), window.areas.end());
    std::sort(windows.begin(), windows.end(), [](const RepairWindow& a, const RepairWindow& b) {
        return a.imcus.y != b.imcus.y ? a.imcus.y < b.imcus.y : a.imcus.x < b.imcus.x;
    });
    return windows;
}

}  // namespace speckmend
