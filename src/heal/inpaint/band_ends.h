// The ends of hot line bands, inpainted again with the photo continued past
// its edges.
//
// The image library's inpainting takes the outermost frame of its mask as
// known. A band of a hot column or row that runs to an edge of the photo
// keeps its hot end pixels there, spread a few pixels inwards by the regular
// repair. Inpainted again with the image continued past each such end, the
// band's ends are repaired like the rest of it. A segment's end inside the
// photo needs none of this: the photo's own pixels lie beyond it. Call after
// the regular repair; only the bands' own pixels change.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

// `image`: the repaired photo or window (8 bits, one, three or four channels);
// `mask`: its repair mask; `origin`: the image's top-left pixel in photo
// coordinates, `photoSize` the photo's size. range and method as for the
// inpainting.
void repairBandEnds(cv::Mat& image, const cv::Mat& mask, const std::vector<HotLine>& lines, cv::Point origin,
                    cv::Size photoSize, double range, int method);

}  // namespace speckmend
