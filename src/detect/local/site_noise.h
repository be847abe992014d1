// The noise of a colour site's estimated amplitude (site_footprint.h), the
// statistic the colour site test judges every pixel by.
//
// JPEG noise is not the sensor's Gaussian noise: quantization leaves sparse,
// blocky errors whose tails are long, and halved chroma makes them coarse.
// So the noise is that of the statistic itself, measured on a sample of rows
// tile by tile and phase by phase from the upper tail as in tile_noise.h;
// and since hot sites crowd the upper tail of a whole frame, the tail's
// length beyond Gaussian is read from the lower tail, and the threshold
// lengthened by it.
#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/local/local_background.h"
#include "detect/local/site_footprint.h"
#include "detect/local/site_surroundings.h"
#include "detect/local/tile_noise.h"

namespace speckmend {

// Noise below this is taken as this: a tile of a flat synthetic frame has
// none, and the site test divides by it.
inline constexpr float kSmallestSiteNoise = 1e-3f;

// The noise of the footprint's estimate, per tile (the channels' tiling)
// and phase, and how much longer than Gaussian its tail is, per phase.
struct SiteNoise {
    int tileWidth = 1, tileHeight = 1;
    std::array<cv::Mat, SiteFootprint::kPhases> sigma;  // CV_32FC1 over the tiles
    std::array<float, SiteFootprint::kPhases> lengthening{1.0f, 1.0f, 1.0f, 1.0f};

    float at(int x, int y, int phase) const {
        return sigma[static_cast<std::size_t>(phase)].at<float>(y / tileHeight, x / tileWidth);
    }
};

// How much longer than Gaussian the upper tail of `values` (noise in units
// of its standard deviation) is out at `multiple` of them, at least 1. The
// lower tail's length is read at shares of 1e-3 and 1e-4 of the values (two
// standard deviations of the count further out, as a tail of a few dozen
// values may fall short by chance), and
// where it grows from one to the other (JPEG noise: sparse, blocky errors)
// the growth is carried on out to `multiple`, which lies a long way beyond
// what the sample can show. That is then taken times how much further the
// upper side reaches than the lower at 1e-3: the upper tail's own far end
// is the hot sites', nearer in they are too few to move it, and a dark
// frame's noise is skewed upwards (its lower side clipped at black). Where
// the upper side is the shorter both at 1e-3 and in the body at 1e-2 (the
// dead zone of a low quality's quantizer), it is taken times the smaller of
// the two ratios instead, down to 0.8: hot sites are too few to move the
// body much, and they only lengthen the upper side. 1 for no values;
// reorders `values`.
float tailLengthening(std::vector<float>& values, double multiple);

// The threshold's multiple of the statistic's noise for a frame of `pixels`:
// `multiple` up to kReferenceArea, and beyond it raised so that the chance
// of Gaussian noise passing it shrinks as the frame grows. Each pixel is a
// chance for the noise to pass, so a fixed multiple would give a frame four
// times the size four times the false hot pixels; this keeps them to the
// reference frame's number. Smaller frames keep the multiple they are given.
constexpr double kReferenceArea = 6e6;
double areaMultiple(double multiple, double pixels);

// The noise of the footprint's estimate over `mean` (32-bit float, three
// channels, with the models of each channel), per tile of `tiles` and phase,
// and each phase's tail lengthening out at `multiple`; the pixels `skip`
// covers, if any, are left out. Works on several threads; the phases are
// measured apart, so the result does not depend on their number.
SiteNoise measureSiteNoise(const cv::Mat& mean, const std::vector<const LocalBackground*>& backgrounds,
                           const TileNoise& tiles, const SiteFootprint& footprint, const SiteSurroundings* skip,
                           double multiple);

}  // namespace speckmend
