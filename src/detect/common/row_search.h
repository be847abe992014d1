// The scans of a detector's rows for the few values above a bar: most of a
// frame's pixels are far below it, so a vector of them is passed over at a
// time.
#pragma once

#include <opencv2/core/hal/intrin.hpp>

namespace speckmend {

// The first x from `from` on, before `end`, whose value is above `bar`;
// `end` when there is none. NaN is above nothing.
inline int firstAbove(const float* row, int from, int end, float bar) {
    int x = from;
#if CV_SIMD
    const cv::v_float32 bars = cv::vx_setall_f32(bar);
    constexpr int kLanes = cv::v_float32::nlanes;
    while (x + kLanes <= end && !cv::v_check_any(cv::vx_load(row + x) > bars)) x += kLanes;
#endif
    while (x < end && !(row[x] > bar)) ++x;
    return x;
}

}  // namespace speckmend
