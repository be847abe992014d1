// The per-pixel residual of a row over its tile's bar, taken as the largest
// over the channels: the local scan's significance and the colour site
// test's standout levels are both made of it, row after row of the frame.
#pragma once

#include <opencv2/core/hal/intrin.hpp>

namespace speckmend {

// Columns [x, right) of a tile's residuals over its threshold, a vector at
// a time while a whole one fits; returns where it stopped. Each lane is
// worked out as the single value is (the difference, then the product, and
// of several channels the larger as std::max takes it), so the rest of the
// row can follow one column at a time. Grey and three-channel means only.
inline int residualVectors(const float* in, const float* bg, float* out, int x, int right, int channels, int c,
                           float scale) {
#if CV_SIMD
    constexpr int kLanes = cv::v_float32::nlanes;
    if (channels != 1 && channels != 3) return x;
    const cv::v_float32 scales = cv::vx_setall_f32(scale);
    for (; x + kLanes <= right; x += kLanes) {
        cv::v_float32 value;
        if (channels == 1) {
            value = cv::vx_load(in + x);
        } else {
            cv::v_float32 planes[3];
            cv::v_load_deinterleave(in + x * 3, planes[0], planes[1], planes[2]);
            value = planes[c];
        }
        const cv::v_float32 residual = (value - cv::vx_load(bg + x)) * scales;
        if (c == 0) {
            cv::v_store(out + x, residual);
        } else {
            const cv::v_float32 kept = cv::vx_load(out + x);
            cv::v_store(out + x, cv::v_select(kept < residual, residual, kept));
        }
    }
#endif
    return x;
}

}  // namespace speckmend
