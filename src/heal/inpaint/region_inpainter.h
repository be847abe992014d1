// Inpainting restricted to the neighbourhoods of the masked pixels.
//
// A photo of 24 megapixels with a hundred hot pixels has a few thousand masked
// pixels; cv::inpaint on the whole photo still allocates, dilates and scans
// half a dozen full-size work images. With thousands of hot pixels it is far
// worse: the library keeps its marching front in a sorted list that every
// insertion walks from the back, so one call over many discs costs about the
// square of their number (9,000 discs in one call: 90 s). RegionInpainter
// groups the masked pixels into clusters that cannot see each other and runs
// cv::inpaint on each cluster alone, with a result that is bit-identical to
// the whole-photo call: the cost grows with the masked pixels, not with the
// photo, and no call ever holds more than one cluster.
//
// How far the library reaches. It works on a rectangle plus a one-pixel
// frame. For every masked pixel p it reads:
//  - the weighted window of pixels within the range (Euclidean) of p, and for
//    the image gradient of each window pixel its four neighbours: all within
//    Chebyshev distance range + 1 of p;
//  - at the first and last row and column of the rectangle, the window's
//    gradient stencil is clamped inwards; this must only happen where the
//    rectangle's edge is the photo's edge, so no window row or column may
//    lie on a rectangle edge that is inside the photo: that is exactly the
//    range + 1 margin;
//  - the fast-marching arrival times of its four neighbours and, for the
//    Telea method, of the whole window. Telea first marches outwards through
//    the ring of pixels within Chebyshev distance range of the mask (a square
//    dilation), whose cells read their four neighbours: range + 1 again.
// Navier-Stokes reads the same window without the outward march, so the
// margin holds for both methods. The rounded range is what the library uses
// (at least 1, at most 100); marginFor gives range + 1.
//
// Why clusters may be inpainted apart. Two masked pixels belong to one
// cluster when the boxes of their areas, each grown by the margin, meet
// (directly or through other areas). Pixels of two clusters are then at
// least 2 * margin + 1 = 2 * range + 3 apart (Chebyshev). Everything a
// cluster's pixels read lies within range + 1 of them; everything another
// cluster changes (its pixels, their arrival times and states, its outward
// ring) lies within range of that cluster: the two never meet, not even
// through a ring cell's four neighbours. The list behind both marches is
// stable (ties leave in insertion order, and the first front is inserted in
// raster order), so a cluster's pixels are processed in the same relative
// order whether other clusters share the call or not. A cluster is therefore
// inpainted alone in the rectangle of its grown boxes, clipped to the photo
// (a clipped side is the photo's edge, where the library's own edge handling
// applies unchanged), with a mask of its own pixels only: masked pixels of
// other clusters that fall inside the rectangle are left out (they are never
// read) and only the cluster's own pixels are written back. Rectangles of
// two clusters may overlap; their pixels never do.
//
// Where this cannot split the work: a cluster is as large as the chain of
// areas that meet. A hot row crossing a hot column, or hot pixels closer
// than 2 * range + 3 all the way across the photo, make one cluster whose
// rectangle spans the photo, and that cluster is one call, as the identity
// with the whole-photo call requires. Random hot pixels on a 10-megapixel
// photo stay far from that: at 20,000 of radius 3 the largest cluster holds
// about 30 of them.
//
// A range the library cannot round to an integer (not finite, or beyond any
// sensible size) is left to the library on the whole photo.
//
// Four channels (the CMYK samples of a four-component JPEG) are beyond the
// library, which inpaints one or three. They are inpainted one channel at a
// time with the same mask, range and method. For three channels the library
// gives exactly that: both methods march over the mask alone and mix every
// channel with the same weights (checked bit for bit, both methods, in
// region_inpainter_test.cpp), so four channels are repaired as a three-channel
// photo would be.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace speckmend {

// cv::inpaint for 8-bit images of one, three or four channels; the
// arguments are the library's, and dst may be src (in place). One and three
// channels go to the library as they are; every other count is inpainted
// channel by channel (inpaintEachChannel).
void inpaintAnyChannels(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method);

// Inpaints each channel of src as a one-channel image with the same mask,
// range and method; dst may be src.
void inpaintEachChannel(const cv::Mat& src, const cv::Mat& mask, cv::Mat& dst, double range, int method);

class RegionInpainter {
public:
    // One cluster: the rectangle handed to the library (its parts grown by
    // the margin, clipped to the mask) and the boxes of its masked pixels.
    // The cluster's pixels are the mask's non-zero pixels inside its parts;
    // no other cluster has a pixel inside them.
    struct Region {
        cv::Rect rect;
        std::vector<cv::Rect> parts;
    };

    RegionInpainter() = default;

    // mask: 8-bit, one channel, non-zero where pixels are to be reconstructed.
    // range: the inpainting radius that will be passed to cv::inpaint.
    // areas, when given, must together hold every non-zero pixel of the mask
    // (the bounding boxes of the drawn discs, say); they spare a scan of the
    // whole mask.
    RegionInpainter(const cv::Mat& mask, double range, const std::vector<cv::Rect>& areas = {});

    // Writes the whole photo with every masked pixel reconstructed into
    // healed (allocated or reused as photo's size and type). photo (8-bit,
    // one, three or four channels) must have the mask's size and must not
    // share memory with healed.
    void inpaint(const cv::Mat& photo, cv::Mat& healed, int method) const;

    // The same, in place: image is both the photo and the result. Only the
    // masked pixels are written.
    void inpaintInPlace(cv::Mat& image, int method) const;

    // The clusters; empty when the mask is empty or the whole photo is
    // inpainted at once (wholePhoto()).
    const std::vector<Region>& regions() const { return regions_; }
    bool wholePhoto() const { return wholePhoto_; }

    // Pixels kept around every masked pixel for a given range; 0 when no
    // sub-rectangle can be trusted for that range (not a finite number the
    // library rounds sensibly).
    static int marginFor(double range);

    // Groups the non-zero pixels of mask into clusters: the boxes of their
    // areas (or of their connected components, without areas) join a
    // cluster when, grown by margin, they meet one of its boxes grown by
    // margin. Exposed so that tests can probe narrower margins.
    static std::vector<Region> findRegions(const cv::Mat& mask, int margin, const std::vector<cv::Rect>& areas = {});

    // Inpaints every region of regions alone, reading source and writing
    // the region's own masked pixels into target (which may be source, and
    // must otherwise hold a copy of it).
    static void inpaintRegions(const cv::Mat& source, cv::Mat& target, const cv::Mat& mask,
                               const std::vector<Region>& regions, double range, int method);

private:
    cv::Mat mask_;  // shares the caller's buffer
    double range_ = 0.0;
    std::vector<Region> regions_;
    bool wholePhoto_ = false;
};

}  // namespace speckmend
