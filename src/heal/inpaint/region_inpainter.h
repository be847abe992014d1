// Inpainting restricted to the neighbourhoods of the masked pixels.
//
// A photo of 24 megapixels with a hundred hot pixels has a few thousand masked
// pixels; cv::inpaint on the whole photo still allocates, dilates and scans
// half a dozen full-size work images. RegionInpainter splits the mask into
// independent rectangles and runs cv::inpaint on each of them alone, with a
// result that is bit-identical to the whole-photo call.
//
// Why a margin of (effective range + 1) is enough. The library works on the
// photo plus a one-pixel frame. For every masked pixel p it reads:
//  - the weighted window of pixels within the range (Euclidean) of p, and for
//    the image gradient of each window pixel its four neighbours: all within
//    Chebyshev distance range + 1 of p;
//  - at the first and last row and column of the image, the window's
//    gradient stencil is clamped inwards; this must only happen where the
//    sub-rectangle's edge is the photo's edge, so no window row or column may
//    lie on a sub-rectangle edge that is inside the photo: that is exactly the
//    range + 1 margin;
//  - the fast-marching arrival times of its four neighbours and, for the
//    Telea method, of the whole window. Telea first marches outwards through
//    the ring of pixels within Chebyshev distance range of the mask (a square
//    dilation), whose cells read their four neighbours: range + 1 again.
// The queue behind both marches is stable (ties leave in insertion order and
// the initial band is inserted in raster order), so pixels of two groups that
// never read each other's state are processed in the same relative order
// whether the groups are inpainted together or apart. Two groups therefore
// stay independent when their expanded rectangles (bounding box + margin) do
// not intersect: their masks are then at least 2 * margin + 1 apart, more
// than the 2 * range + 1 at which their rings could touch. Rectangles are
// clipped to the photo; a clipped side coincides with the photo's edge, where
// the library's own edge handling applies unchanged.
//
// A range the library cannot round to an integer (not finite, or beyond any
// sensible size) is left to the library on the whole photo.
//
// Four channels (the CMYK samples of a four-component JPEG) are beyond the
// library, which inpaints one or three at 8 bits. They are inpainted one
// channel at a time with the same mask, range and method. For three channels
// the library gives exactly that: both methods march over the mask alone and
// mix every channel with the same weights (checked bit for bit, both
// methods, in region_inpainter_test.cpp), so four channels are repaired as a
// three-channel photo would be. At 16 bits the library takes one channel
// only, so 16-bit photos of more are inpainted channel by channel too. Its
// 16-bit inpainting is the 8-bit one on wider samples and reads the same
// neighbourhoods, so the regions stay exact at 16 bits (checked against the
// whole photo in healer_test.cpp).
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// cv::inpaint for 8- or 16-bit images of one, three or four channels; the
// arguments are the library's, and dst may be src (in place). One channel,
// and three at 8 bits, go to the library as they are; everything else is
// inpainted channel by channel (inpaintEachChannel).
void inpaintAnyChannels(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method);

// Inpaints each channel of src as a one-channel image with the same mask,
// range and method; dst may be src.
void inpaintEachChannel(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method);

class RegionInpainter {
public:
    RegionInpainter() = default;

    // mask: 8-bit, one channel, non-zero where pixels are to be reconstructed.
    // range: the inpainting radius that will be passed to cv::inpaint.
    // areas, when given, must together hold every non-zero pixel of the mask
    // (the bounding boxes of the drawn discs, say); they spare a scan of the
    // whole mask.
    RegionInpainter(const cv::Mat& mask, double range, const std::vector<cv::Rect>& areas = {});

    // Writes the whole photo with every masked pixel reconstructed into
    // healed (allocated or reused as photo's size and type). photo (8- or
    // 16-bit, one, three or four channels) must have the mask's size and must not
    // share memory with healed.
    void inpaint(const cv::Mat& photo, cv::Mat& healed, int method) const;

    // The same, in place: image is both the photo and the result. Each
    // rectangle reads and writes only itself, so nothing else is touched.
    void inpaintInPlace(cv::Mat& image, int method) const;

    // The independent rectangles; empty when the mask is empty or the whole
    // photo is inpainted at once (wholePhoto()).
    const std::vector<cv::Rect>& regions() const { return regions_; }
    bool wholePhoto() const { return wholePhoto_; }

    // Pixels kept around every masked pixel for a given range; 0 when no
    // sub-rectangle can be trusted for that range (not a finite number the
    // library rounds sensibly).
    static int marginFor(double range);

    // Groups the non-zero pixels of mask into rectangles whose expansions by
    // margin (clipped to the mask) do not intersect; returns the expanded,
    // clipped rectangles. Exposed so that tests can probe narrower margins.
    static std::vector<cv::Rect> findRegions(const cv::Mat& mask, int margin, const std::vector<cv::Rect>& areas = {});

private:
    cv::Mat mask_;  // shares the caller's buffer
    double range_ = 0.0;
    std::vector<cv::Rect> regions_;
    bool wholePhoto_ = false;
};

}  // namespace speckmend
