// The smooth background under a mean dark frame: glow, vignetting and
// black-level gradients, without the hot pixels standing on it.
//
// The frame is cut into square blocks of `window` pixels (a remainder under
// half a window joins the last whole block, so no edge block is so thin
// that an edge defect fills its sample); each block's
// background is the median of a regular sample of its pixels, which a hot
// pixel, a cluster or a hot line crossing the block cannot move by more than
// a fraction of the noise. Between block centres the background is
// interpolated bilinearly, and extrapolated linearly beyond the outer
// centres, so a smooth brightening of tens of DN toward a corner cancels. This costs a few
// operations per pixel, where a per-pixel median over the same window would
// cost hundreds.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/banding.h"

namespace speckmend {

class LocalBackground {
public:
    // `mean`: 32-bit float with one or more channels; the model is made for
    // `channel`. `window` is at least 1.
    LocalBackground(const cv::Mat& mean, int channel, int window);

    // From here on the background includes the banding's row and column
    // offsets (banding.h), one per row and one per column of the frame.
    void setBanding(BandingOffsets banding);

    // The background of row y at every column, into `out` (frame width).
    void fillRow(int y, float* out) const;
    float at(int x, int y) const;

    // The block medians, one per block, rows of blocks from the top.
    const cv::Mat& blocks() const { return blocks_; }
    // The background at each block's centre: the blocks, with the banding
    // once it is set.
    cv::Mat levels() const;

private:
    // A pixel's place between two neighbouring block centres: the first's
    // index and the weight of the second (below 0 or above 1 beyond the
    // outer centres, where the line through the outer two goes on).
    struct Tap {
        int index;
        float weight;
    };
    Tap tap(float pixel, const std::vector<float>& centres) const;
    // The tap of every column (row) of the frame, worked out once: at() is
    // called millions of times on a colour frame, and the taps' division and
    // floor cost more than the interpolation itself. Positions beyond the
    // frame take tap() itself.
    std::vector<Tap> tapsOf(int length, const std::vector<float>& centres) const;
    Tap columnTap(int x) const {
        return x >= 0 && x < width_ ? columnTaps_[static_cast<std::size_t>(x)]
                                    : tap(static_cast<float>(x), columnCentres_);
    }
    Tap rowTap(int y) const {
        return y >= 0 && y < height_ ? rowTaps_[static_cast<std::size_t>(y)] : tap(static_cast<float>(y), rowCentres_);
    }
    void fillSmoothRow(int y, float* out) const;

    int width_;
    int height_;
    int window_;
    cv::Mat blocks_;  // CV_32FC1
    std::vector<float> columnCentres_;
    std::vector<float> rowCentres_;
    std::vector<Tap> columnTaps_;
    std::vector<Tap> rowTaps_;
    BandingOffsets banding_;  // empty until set
};

}  // namespace speckmend
