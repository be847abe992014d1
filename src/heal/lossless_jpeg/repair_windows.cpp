// Window planning for the lossless heal; the reasoning is in the header.
#include "heal/lossless_jpeg/repair_windows.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "heal/inpaint/touching_groups.h"

namespace speckmend {

namespace {

int floorDiv(std::int64_t a, std::int64_t b) { return static_cast<int>(a >= 0 ? a / b : -((-a + b - 1) / b)); }
int ceilDiv(std::int64_t a, std::int64_t b) { return -floorDiv(-a, b); }

bool overlap(const cv::Rect& a, const cv::Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// What one area asks of its window.
struct Need {
    std::size_t area = 0;
    cv::Rect reach;   // pixels its inpainting reads, clipped to the photo
    cv::Rect core;    // iMCUs of the blocks it may replace
    cv::Rect span;    // pixels of both
    cv::Rect window;  // iMCUs: both, with one to spare, clipped to the photo
};

Need needOf(std::size_t index, const cv::Rect& area, const JpegGrid& grid, int margin) {
    const cv::Rect photo(0, 0, grid.width, grid.height);
    Need need;
    need.area = index;
    need.reach = cv::Rect(area.x - margin, area.y - margin, area.width + 2 * margin, area.height + 2 * margin) & photo;
    need.core = coreOf(area, grid);
    need.span = need.reach | grid.pixels(need.core);
    const int x0 = std::max(0, floorDiv(need.span.x, grid.imcuWidth) - 1);
    const int y0 = std::max(0, floorDiv(need.span.y, grid.imcuHeight) - 1);
    const int x1 = std::min(grid.across(), ceilDiv(need.span.br().x, grid.imcuWidth) + 1);
    const int y1 = std::min(grid.down(), ceilDiv(need.span.br().y, grid.imcuHeight) + 1);
    need.window = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    return need;
}

// The areas that must share a window, as windows: chains of areas whose
// reaches meet or whose cores share an iMCU.
std::vector<RepairWindow> groupsOf(const std::vector<Need>& needs) {
    std::vector<RepairWindow> groups;
    for (const std::vector<std::size_t>&members : touchingGroups(
             needs.size(), [&needs](std::size_t i) { return needs[i].span.x; },
             [&needs](std::size_t i) { return needs[i].span.br().x; },
             [&needs](std::size_t a, std::size_t b) {
                 return overlap(needs[a].reach, needs[b].reach) || overlap(needs[a].core, needs[b].core);
             })) {
        RepairWindow& group = groups.emplace_back();
        group.imcus = needs[members.front()].window;
        for (std::size_t i : members) {
            group.imcus |= needs[i].window;
            group.areas.push_back(needs[i].area);
        }
    }
    return groups;
}

// Joins groups into fewer windows where one window costs less than two,
// one pass in reading order, each group into the open window nearby that
// gains most. Open windows are found through tiles of largestSide pixels: a
// window the group may join lies in the tiles it meets or their neighbours.
std::vector<RepairWindow> joined(std::vector<RepairWindow> groups, const JpegGrid& grid, const WindowJoining& joining) {
    std::sort(groups.begin(), groups.end(), [](const RepairWindow& a, const RepairWindow& b) {
        return a.imcus.y != b.imcus.y ? a.imcus.y < b.imcus.y : a.imcus.x < b.imcus.x;
    });
    const int tileWidth = std::max(1, joining.largestSide / grid.imcuWidth);
    const int tileHeight = std::max(1, joining.largestSide / grid.imcuHeight);
    auto pixelArea = [&grid](const cv::Rect& imcus) { return static_cast<long>(grid.pixels(imcus).area()); };
    auto fits = [&grid, &joining](const cv::Rect& imcus) {
        const cv::Rect pixels = grid.pixels(imcus);
        return pixels.width <= joining.largestSide && pixels.height <= joining.largestSide;
    };
    std::unordered_map<std::int64_t, std::vector<std::size_t>> tiles;
    auto forTiles = [&](const cv::Rect& imcus, auto&& visit) {
        for (int ty = imcus.y / tileHeight; ty <= (imcus.br().y - 1) / tileHeight; ++ty)
            for (int tx = imcus.x / tileWidth; tx <= (imcus.br().x - 1) / tileWidth; ++tx)
                visit(std::int64_t{ty} * (grid.across() / tileWidth + 1) + tx);
    };
    std::vector<RepairWindow> windows;
    std::vector<std::size_t> candidates;
    for (RepairWindow& group : groups) {
        // A group wider or taller than any joined window stays alone.
        if (!fits(group.imcus)) {
            windows.push_back(std::move(group));
            continue;
        }
        // A window it may join lies at most a tile away.
        candidates.clear();
        const cv::Rect nearby = cv::Rect(group.imcus.x - tileWidth, group.imcus.y - tileHeight,
                                         group.imcus.width + 2 * tileWidth, group.imcus.height + 2 * tileHeight) &
                                cv::Rect(0, 0, grid.across(), grid.down());
        forTiles(nearby, [&](std::int64_t tile) {
            const auto found = tiles.find(tile);
            if (found != tiles.end()) candidates.insert(candidates.end(), found->second.begin(), found->second.end());
        });
        std::size_t into = windows.size();
        long bestGain = 0;
        for (std::size_t w : candidates) {
            const cv::Rect both = windows[w].imcus | group.imcus;
            if (!fits(both)) continue;
            const long gain =
                pixelArea(windows[w].imcus) + pixelArea(group.imcus) + joining.windowCost - pixelArea(both);
            if (gain > bestGain) into = w, bestGain = gain;
        }
        if (into == windows.size()) {
            windows.push_back(std::move(group));
        } else {
            windows[into].imcus |= group.imcus;
            windows[into].areas.insert(windows[into].areas.end(), group.areas.begin(), group.areas.end());
        }
        forTiles(windows[into].imcus, [&](std::int64_t tile) {
            std::vector<std::size_t>& list = tiles[tile];
            if (std::find(list.begin(), list.end(), into) == list.end()) list.push_back(into);
        });
    }
    return windows;
}

}  // namespace

cv::Rect coreOf(const cv::Rect& area, const JpegGrid& grid) {
    const cv::Rect inside = area & cv::Rect(0, 0, grid.width, grid.height);
    if (inside.empty()) return {};
    const int x0 = inside.x / grid.imcuWidth, y0 = inside.y / grid.imcuHeight;
    const int x1 = ceilDiv(inside.br().x, grid.imcuWidth), y1 = ceilDiv(inside.br().y, grid.imcuHeight);
    return {x0, y0, x1 - x0, y1 - y0};
}

std::vector<RepairWindow> planRepairWindows(const std::vector<cv::Rect>& areas, const JpegGrid& grid, int margin,
                                            const WindowJoining& joining) {
    const cv::Rect photo(0, 0, grid.width, grid.height);
    std::vector<Need> needs;
    for (std::size_t i = 0; i < areas.size(); ++i) {
        const cv::Rect area = areas[i] & photo;
        if (!area.empty()) needs.push_back(needOf(i, area, grid, margin));
    }
    std::vector<RepairWindow> windows = groupsOf(needs);
    if (joining.windowCost > 0) windows = joined(std::move(windows), grid, joining);
    for (RepairWindow& window : windows) std::sort(window.areas.begin(), window.areas.end());
    std::sort(windows.begin(), windows.end(), [](const RepairWindow& a, const RepairWindow& b) {
        return a.imcus.y != b.imcus.y   ? a.imcus.y < b.imcus.y
               : a.imcus.x != b.imcus.x ? a.imcus.x < b.imcus.x
                                        : a.areas.front() < b.areas.front();
    });
    return windows;
}

}  // namespace speckmend
