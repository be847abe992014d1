// Groups of items that touch, directly or through others: the clusters of
// the region inpainter and the windows of the lossless heal that must be
// one. Items are swept by their left edges, so an item is compared only
// with those that start before its right edge; with thousands of small
// areas that is a handful each, not all of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace speckmend {

// count items; left(i) and right(i) bound item i horizontally (right
// exclusive), and touch(i, j) may only hold for items whose bounds overlap.
// Returns every group as the ascending indices of its items, the groups in
// the order of their first items.
template <typename Left, typename Right, typename Touch>
std::vector<std::vector<std::size_t>> touchingGroups(std::size_t count, Left left, Right right, Touch touch) {
    std::vector<std::size_t> order(count), parent(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = parent[i] = i;
    auto rootOf = [&parent](std::size_t i) {
        while (parent[i] != i) {
            parent[i] = parent[parent[i]];
            i = parent[i];
        }
        return i;
    };
    std::stable_sort(order.begin(), order.end(), [&left](std::size_t a, std::size_t b) { return left(a) < left(b); });
    for (std::size_t a = 0; a < order.size(); ++a) {
        for (std::size_t b = a + 1; b < order.size() && left(order[b]) < right(order[a]); ++b) {
            const std::size_t one = rootOf(order[a]), other = rootOf(order[b]);
            if (one != other && touch(order[a], order[b])) parent[one] = other;
        }
    }
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> groupOf(count, count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t root = rootOf(i);
        if (groupOf[root] == count) {
            groupOf[root] = groups.size();
            groups.emplace_back();
        }
        groups[groupOf[root]].push_back(i);
    }
    return groups;
}

}  // namespace speckmend
