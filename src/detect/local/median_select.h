// The k-th smallest of many floats, found by their bits rather than by
// comparisons.
//
// The banding's row medians take thousands of values each, thousands of
// times per channel; partitioning them by comparison mispredicts a branch on
// every other value. Counting the values' bit patterns, most significant
// part first, narrows the candidates to one value in three short passes
// whose loops do not branch on the data. The value found is the one
// std::nth_element puts at k: the k-th in the order of operator<, zeros of
// either sign counted as equal (either may be returned), and no NaN among
// the values.
#pragma once

#include <cstddef>
#include <vector>

namespace speckmend {

// The element std::nth_element(values, k) would leave at k; `values` is
// reordered. k below values.size(), which is not empty
// (std::invalid_argument otherwise).
float selectKth(std::vector<float>& values, std::size_t k);

// selectKth of the middle element, values.size() / 2; 0 for no values.
float upperMedian(std::vector<float>& values);

}  // namespace speckmend
