// What one ordinary photograph says about each pixel of the sensor: whether
// the pixel's neighbourhood was dark and smooth enough to judge it, and
// whether the pixel stood out there, in the bright direction, as a hot
// pixel does.
//
// Each channel (blue, green, red, or the one grey channel) is judged on its
// own: the residual of every pixel against the median of its 5 by 5
// neighbourhood, against the noise the photo shows there. The noise is the
// larger of two measures: the mean absolute residual of the ring between
// the 5 by 5 and the 9 by 9 square around the pixel (outside the footprint a
// hot site leaves after demosaicing and chroma subsampling, so a hot pixel
// does not raise its own bar), and the robust noise of the smooth pixels of
// its tile (tile_noise.h's upperSigma), so that a ring that happens to be
// flat in JPEG-quantized data does not set a bar of nothing. A neighbourhood
// is judged only when that ring is smooth and its background dark: scene
// detail larger than the footprint, edges and texture all raise the ring.
// The channels then meet in one score per pixel (the residual over its
// threshold, in the channel where it is highest), and a pixel stands out only
// where that score is above 1 and the highest of its 3 by 3 neighbourhood:
// one event per footprint, at its peak, so a light that moves by a pixel
// between photos leaves its events on different pixels.
//
// Memory: the judged plane and the few events of the result and, per
// stripe of rows, a few planes of that stripe.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

struct PhotoJudgementSettings {
    double noise = 5.0;      // threshold in noise units
    double floor = 6.0;      // and never below this many DN
    double smoothest = 3.0;  // largest mean absolute residual of the ring that can judge, DN
    double darkest = 128.0;  // brightest background that can judge, DN
};

// A pixel that stood out, and its residual there in DN.
struct PhotoEvent {
    cv::Point at;
    int strength = 0;
    bool operator==(const PhotoEvent&) const = default;
};

struct PhotoJudgement {
    cv::Mat judged;                  // CV_8UC1: 1 where some channel could judge the pixel
    std::vector<PhotoEvent> events;  // where a pixel stood out, in scan order
};

// `photo`: 8-bit, one channel (grey) or three (blue, green, red); any size.
// std::invalid_argument for other types.
PhotoJudgement judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings);
// The same into `out`, whose planes are reused when they have the size
// already (a thread judging photo after photo allocates them once).
void judgePhoto(const cv::Mat& photo, const PhotoJudgementSettings& settings, PhotoJudgement& out);

}  // namespace speckmend
