// Fixed-pattern banding: offsets that lift or lower whole rows or columns of
// a sensor by a few DN, in bands of many rows or columns, the same in every
// frame. The block medians of the background follow a band only where it
// fills a block; near a band's edges, and where a row band crosses a column
// band, the rest stands out as a pattern of steps, which a threshold of a
// few DN takes for hot pixels.
//
// The offsets are measured on the residual against the background: the
// median along each row (a row band lifts all of it, while glow, hot pixels
// and column bands lift a minority), then the median down each column of
// what the row offsets leave. A hot column or row is one to four lines
// wide and stands alone; a band is wider. So only the part of the medians
// that a running median over kBandWidth rows (columns) keeps counts as
// banding: it passes a step of any height and removes a narrow spike, and
// hot lines stay in the residual for the line search.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

class LocalBackground;

struct BandingOffsets {
    std::vector<float> rows;     // one per row of the frame
    std::vector<float> columns;  // one per column
};

// Of a window of this many rows (columns), a band must fill more than half
// to count. Of the form 4k + 1, so that a pattern alternating from one row
// to the next (the two phases of a colour mosaic) comes through as it is.
inline constexpr int kBandWidth = 9;

// The banding of `channel` of the 32-bit float `mean`, against
// `background`, which must not hold offsets yet. `rowMedians`, if given:
// the channel's bandingRowMedians, so that only the rows the column
// medians are taken over are read here.
BandingOffsets measureBanding(const cv::Mat& mean, int channel, const LocalBackground& background,
                              const std::vector<float>* rowMedians = nullptr);

// The medians along the rows that measureBanding starts from, of every
// channel of `mean` against its background (one per channel, none holding
// offsets yet), in one pass over the frame: a channel at a time, each pass
// would read the whole interleaved frame. The same values as
// measureBanding's own.
std::vector<std::vector<float>> bandingRowMedians(const cv::Mat& mean,
                                                  const std::vector<const LocalBackground*>& backgrounds);

// The banding of `channel` of `mean` as whole steps: the running median of
// the plain row medians, then of the column medians of what those leave.
// Unlike measureBanding's, these offsets hold each band's full height, so
// that the frame less them is smooth, crossings included; they also hold
// whatever smooth trend the frame has (glow, gradients), which does no
// harm to a background made from the frame less them and given them back.
BandingOffsets measureBandSteps(const cv::Mat& mean, int channel);

// The largest offset either way, rows and columns; 0 for none.
float largestOffset(const BandingOffsets& banding);

// The running median over `window` values (odd), the window shrunk to what
// lies inside at either end.
std::vector<float> runningMedian(const std::vector<float>& values, int window);

}  // namespace speckmend
