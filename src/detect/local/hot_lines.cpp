// Grouping of hot columns and rows into lines.
#include "detect/local/hot_lines.h"

#include <algorithm>
#include <cstdlib>

namespace speckmend {

std::vector<HotLine> groupHotLines(const std::vector<std::int32_t>& counts, std::int32_t length, HotLine::Axis axis,
                                   double share) {
    std::vector<HotLine> lines;
    const double needed = share * static_cast<double>(length);
    auto hot = [&](std::size_t i) { return length > 0 && static_cast<double>(counts[i]) > needed; };
    for (std::size_t i = 0; i < counts.size();) {
        if (!hot(i)) {
            ++i;
            continue;
        }
        std::size_t last = i;
        while (last + 1 < counts.size() && hot(last + 1)) ++last;
        const auto first = static_cast<std::int32_t>(i);
        const auto end = static_cast<std::int32_t>(last);
        lines.push_back({axis, first + (end - first) / 2, std::max<std::int32_t>(1, (end - first + 1) / 2)});
        i = last + 1;
    }
    return lines;
}

bool inLineBand(const std::vector<HotLine>& lines, int x, int y) {
    return std::any_of(lines.begin(), lines.end(), [&](const HotLine& line) {
        const int at = line.axis == HotLine::Axis::column ? x : y;
        return std::abs(at - line.position) <= line.r;
    });
}

}  // namespace speckmend
