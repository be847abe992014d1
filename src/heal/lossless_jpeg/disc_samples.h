// The repaired samples of the hot pixels' discs in every subsampled
// component of one photo, worked out once for the photo before its windows
// are healed.
//
// The units of discs and how their samples are repaired are described in
// sample_plane.h.
// They are kept apart from the windows of pixels (repair_windows.h): the
// samples' reach is four times the pixels' in 4:2:0, and windows grown by it
// would chain a dense map's hot pixels into windows spanning the photo. Here
// every unit reads the source's own blocks, untouched because nothing is
// replaced yet, and its reach decides nothing about the windows, which keep
// the pixels' margin. A window's refinement then takes the values of its
// own discs (paint), and a sample two discs touch lies in one footprint,
// one iMCU, so both discs are of one window and of one unit: their values
// agree.
//
// Only the discs of units that are not crowded are repaired so; a crowded
// unit's discs and a hot line's band keep the mean of their repaired pixels
// as their samples' target (block_refiner.h), and so does every disc when
// the range cannot be confined to a neighbourhood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <vector>

#include <opencv2/core.hpp>

#include <jpeglib.h>

#include "config/hot_pixel_map.h"

namespace speckmend {

class DiscSamples {
public:
    // discs: the discs' boxes in pixels of the photo (repairAreas), disc i
    // being map.pixels[pixelOf[i]]. Reads the source's coefficient arrays,
    // so it runs inside a guarded step (jpeg_error.h); the photo's own
    // pixels are never decoded.
    void repair(j_decompress_ptr source, jvirt_barray_ptr* arrays, const HotPixelMap& map,
                const std::vector<cv::Rect>& discs, const std::vector<std::size_t>& pixelOf, double range);

    // Whether component c's discs were repaired here.
    bool has(int c) const { return c >= 0 && c < static_cast<int>(planes_.size()) && planes_[c].repaired; }

    // Writes disc `disc`'s repaired box of component c into samples (8-bit,
    // one channel), whose sample (0, 0) is origin of the component's plane;
    // what falls outside samples is left out. Only the samples the disc
    // touches are its repair; the others of its box hold the same values
    // any other disc's box gives them.
    // painted (of samples' size) is set to 255 where it wrote.
    void paint(int c, std::size_t disc, cv::Mat& samples, cv::Mat& painted, cv::Point origin) const;

private:
    struct Plane {
        bool repaired = false;
        std::vector<cv::Rect> boxes;         // of each disc, in samples
        std::vector<std::uint32_t> offsets;  // of each disc's values
        std::vector<unsigned char> values;   // the boxes, row by row
    };
    std::vector<Plane> planes_;
};

}  // namespace speckmend
