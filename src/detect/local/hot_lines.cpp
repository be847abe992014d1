// Hot stretches of columns and rows, grouped into lines.
#include "detect/local/hot_lines.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <vector>

#include "detect/local/median_select.h"

namespace speckmend {
namespace {

// A hot stretch of one column (row): across is its column (row), [first,
// last] its pixels along it.
struct Stretch {
    int across, first, last;
};

int findRoot(std::vector<int>& parent, int i) {
    while (parent[static_cast<std::size_t>(i)] != i) {
        parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
        i = parent[static_cast<std::size_t>(i)];
    }
    return i;
}

// Neighbouring hot stretches: lines low to high across, [first, last] along.
struct Group {
    int low, high, first, last;
};

// A strong line in a demosaiced JPEG frame lends a share of its height to
// the columns (rows) either side, through the mosaic's neighbours and the
// halved chroma: at half the bar it may be five or more wide, and was
// dropped as a blob while its chroma ringing a block away was mapped in its
// place. Its core, the lines about the strongest that stand above the bar
// and above a quarter of the strongest, is then the line when it is narrow
// enough and the rest of the group (the spread's tail, the ringing) stays
// below half the strongest; `g` is narrowed to it. A blob or a smooth rise
// has no such core: its level falls off slowly. `levelOf(across)`: the
// median significance of that line along the group's span.
bool trimToCore(Group& g, const std::function<float(int)>& levelOf, int widest) {
    constexpr float kCoreShare = 0.25f, kRestShare = 0.5f;
    std::vector<float> levels;
    int strongest = g.low;
    for (int across = g.low; across <= g.high; ++across) {
        levels.push_back(levelOf(across));
        if (levels.back() > levels[static_cast<std::size_t>(strongest - g.low)]) strongest = across;
    }
    const auto at = [&](int across) { return levels[static_cast<std::size_t>(across - g.low)]; };
    if (at(strongest) < 1.0f) return false;
    const float cut = std::max(1.0f, kCoreShare * at(strongest)), rest = kRestShare * at(strongest);
    int low = strongest, high = strongest;
    while (low > g.low && at(low - 1) >= cut) --low;
    while (high < g.high && at(high + 1) >= cut) ++high;
    if (high - low + 1 > widest) return false;
    for (int across = g.low; across <= g.high; ++across) {
        if ((across < low || across > high) && at(across) > rest) return false;
    }
    g.low = low, g.high = high;
    return true;
}

// The lines of one axis. `along[i]` holds the positions along line i that
// stand above the bar, ascending; `at(across, along)` the significance
// there.
std::vector<HotLine> linesOf(const std::vector<std::vector<int>>& along, int length, HotLine::Axis axis,
                             const std::function<float(int, int)>& at, const LineSearch& search) {
    std::vector<Stretch> stretches;
    for (std::size_t i = 0; i < along.size(); ++i) {
        for (const cv::Range& r : hotStretches(along[i], length, search.minLength))
            stretches.push_back({static_cast<int>(i), r.start, r.end - 1});
    }
    // Stretches of neighbouring lines that overlap are one defect.
    std::vector<int> parent(stretches.size());
    std::iota(parent.begin(), parent.end(), 0);
    for (std::size_t a = 0, previous = 0; a < stretches.size(); ++a) {
        while (stretches[previous].across < stretches[a].across - 1) ++previous;
        for (std::size_t b = previous; b < a; ++b) {
            if (stretches[b].across != stretches[a].across - 1) continue;
            if (stretches[b].first <= stretches[a].last && stretches[a].first <= stretches[b].last)
                parent[static_cast<std::size_t>(findRoot(parent, static_cast<int>(a)))] =
                    findRoot(parent, static_cast<int>(b));
        }
    }
    std::vector<Group> groups;
    std::vector<int> groupOf(stretches.size(), -1);
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const auto root = static_cast<std::size_t>(findRoot(parent, static_cast<int>(i)));
        const Stretch& s = stretches[i];
        if (groupOf[root] < 0) {
            groupOf[root] = static_cast<int>(groups.size());
            groups.push_back({s.across, s.across, s.first, s.last});
            continue;
        }
        Group& g = groups[static_cast<std::size_t>(groupOf[root])];
        g.low = std::min(g.low, s.across), g.high = std::max(g.high, s.across);
        g.first = std::min(g.first, s.first), g.last = std::max(g.last, s.last);
    }

    const int lines = static_cast<int>(along.size());
    std::vector<HotLine> found;
    std::vector<float> values;
    // The median significance along the group's span, over the given lines
    // that lie inside the frame; 0 when none does.
    auto level = [&](const Group& g, std::initializer_list<int> acrossLines) {
        values.clear();
        for (const int across : acrossLines) {
            if (across < 0 || across >= lines) continue;
            for (int t = g.first; t <= g.last; ++t) values.push_back(at(across, t));
        }
        return upperMedian(values);
    };
    for (Group g : groups) {
        // The band of a trimmed line still covers the whole group: its spread
        // and the chroma ringing beside it, which would otherwise be mapped as
        // hot pixels all along it.
        const int groupLow = g.low, groupHigh = g.high;
        if (g.high - g.low + 1 > search.widest &&
            !trimToCore(g, [&](int across) { return level(g, {across}); }, search.widest))
            continue;
        float own = 0.0f;
        for (int across = g.low; across <= g.high; ++across) own = std::max(own, level(g, {across}));
        const float side = std::max(level(g, {g.low - 3, g.low - 4}), level(g, {g.high + 3, g.high + 4}));
        if (own - side <= search.share) continue;
        const int position = g.low + (g.high - g.low) / 2;
        const int r = std::max({1, (g.high - g.low + 1) / 2, position - groupLow, groupHigh - position});
        HotLine line{axis, position, r};
        line.from = std::max(0, g.first - search.spread);
        line.to = std::min(length - 1, g.last + search.spread);
        if (line.from <= search.snap) line.from = 0;
        if (line.to >= length - 1 - search.snap) line.to = HotLine::kToEnd;
        found.push_back(line);
    }
    std::sort(found.begin(), found.end(), [](const HotLine& a, const HotLine& b) {
        return a.position != b.position ? a.position < b.position : a.from < b.from;
    });
    return found;
}

}  // namespace

std::vector<cv::Range> hotStretches(const std::vector<int>& hot, int length, int minLength) {
    const int window = std::max(1, std::min(minLength, length));
    std::vector<cv::Range> stretches;
    // Every window with more than half its pixels hot starts, moved as far
    // as it goes, at a hot pixel: so only those windows are tried.
    for (std::size_t i = 0, j = 0; i < hot.size(); ++i) {
        j = std::max(j, i);
        while (j < hot.size() && hot[j] < hot[i] + window) ++j;
        if (2 * static_cast<int>(j - i) <= window) continue;
        const int first = hot[i], last = hot[j - 1];
        if (!stretches.empty() && first <= stretches.back().end) {
            stretches.back().end = std::max(stretches.back().end, last + 1);
        } else {
            stretches.emplace_back(first, last + 1);
        }
    }
    std::erase_if(stretches, [&](const cv::Range& r) { return r.end - r.start < window; });
    return stretches;
}

std::vector<HotLine> findHotLines(const std::vector<cv::Point>& points, cv::Size size,
                                  const SignificanceAt& significance, const LineSearch& search) {
    std::vector<std::vector<int>> columns(static_cast<std::size_t>(size.width));
    std::vector<std::vector<int>> rows(static_cast<std::size_t>(size.height));
    for (const cv::Point& p : points) {
        columns[static_cast<std::size_t>(p.x)].push_back(p.y);
        rows[static_cast<std::size_t>(p.y)].push_back(p.x);
    }
    for (auto& c : columns) std::sort(c.begin(), c.end());
    for (auto& r : rows) std::sort(r.begin(), r.end());
    std::vector<HotLine> lines = linesOf(
        columns, size.height, HotLine::Axis::column, [&](int x, int y) { return significance(x, y); }, search);
    const std::vector<HotLine> rowLines =
        linesOf(rows, size.width, HotLine::Axis::row, [&](int y, int x) { return significance(x, y); }, search);
    lines.insert(lines.end(), rowLines.begin(), rowLines.end());
    return lines;
}

bool inLineBand(const std::vector<HotLine>& lines, int x, int y) {
    return std::any_of(lines.begin(), lines.end(), [&](const HotLine& line) {
        const bool column = line.axis == HotLine::Axis::column;
        const int across = column ? x : y, along = column ? y : x;
        return std::abs(across - line.position) <= line.r && along >= line.from &&
               (line.to == HotLine::kToEnd || along <= line.to);
    });
}

}  // namespace speckmend
