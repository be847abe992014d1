// Hot columns and rows: a stretch of a column (row) whose pixels stand
// above their threshold one after the other is one defect, mapped as one
// line over that stretch instead of hundreds of hot pixels or one huge disc.
// A readout fault makes a column hot from one pixel to the frame's edge, or
// over a short segment; both are lines, whatever share of the frame they
// cover.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

struct LineSearch {
    // A stretch is hot when more than half of every `minLength` pixels along
    // it stand above `share` of their threshold (of a shorter line, its
    // length). Half the threshold: over 32 pixels the noise of a median is a
    // fifth of a pixel's, and a line hot only in places at the full bar
    // would otherwise be mapped as hundreds of hot pixels along it.
    int minLength = 32;
    float share = 0.5f;
    // Neighbouring hot stretches make one line up to this many columns
    // (rows) wide; a wider group is a blob, left to the spots.
    int widest = 4;
    // A line must stand above the columns (rows) 3 and 4 beyond its side
    // by `share` of the threshold, in the median along its span: a smooth
    // ridge (the edge of a light leak) does not.
    // Its ends are widened by `spread` pixels, which demosaicing and the
    // JPEG blocks blur and whose last pixels may fall just under the bar;
    // an end within `snap` pixels of the frame's edge is taken to the edge.
    int spread = 2;
    int snap = 8;
};

// The significance of a pixel: its residual over its threshold (the
// largest over the channels).
using SignificanceAt = std::function<float(int x, int y)>;

// The hot columns, then rows, of a frame of `size`, from the positions
// that stand above `search.share` (any order, each once). Neighbouring hot
// columns make one line, centred on them, whose band of 2r+1 covers them
// all and at least one column either side of a single one. A line that
// reaches both edges is whole (HotLine::whole()).
std::vector<HotLine> findHotLines(const std::vector<cv::Point>& points, cv::Size size,
                                  const SignificanceAt& significance, const LineSearch& search = LineSearch());

// The stretches of one column (row) that are hot under the rule above:
// `hot` holds the positions along it that stand above the bar, ascending;
// `length` is the line's length. Each stretch runs from its first to its
// last such position.
std::vector<cv::Range> hotStretches(const std::vector<int>& hot, int length, int minLength);

// Whether (x, y) lies in the band of one of the lines, within its span.
bool inLineBand(const std::vector<HotLine>& lines, int x, int y);

}  // namespace speckmend
