// The samples of a subsampled component (the chroma of a 4:2:0 or 4:2:2
// photo) and how the hot pixels' discs among them are grouped for their
// repair at that resolution.
//
// A hot pixel's colour reaches the camera's chroma samples through its
// downsampling and spreads from there over the chroma block through the
// quantization. The decoder's upsampling then mixes it into every pixel
// within about a sample of them, so the pixels around a repaired disc hold
// the hot pixel's colour, and an inpainting of the pixels carries it back
// into the disc. The refinement (block_refiner.h) therefore takes the target
// of a chroma sample with a repaired pixel in its footprint from the
// component's own samples, decoded from the source's blocks with no
// upsampling, repaired there. The samples to repair (touched) are grown by
// one sample before they are repaired, so that the ring next to them, where
// the quantization left most of the hot pixel's colour, is not read either;
// only the touched ones are used. The radius they are taken from is two
// samples more than the pixels' range: measured on hot pixels planted into
// camera crops (bench/heal/run, section 6), the reach that keeps the repair
// off the ring.
//
// A lone unit's masked samples are not inpainted but each taken as the mean
// of the unmasked samples within the radius, weighted by the inverse of
// their squared distance (RingFill). The library's inpainting of such a
// unit at that radius cost about 1.4 million instructions a disc, nearly all
// of it its march weighing 121 neighbours of every masked sample in three
// channels: as much as all the rest of a lone disc's heal, so that a photo
// with a few sparse hot pixels paid nearly three times as much per hot
// pixel as one with thousands of crowded ones. Chroma is smooth where a hot
// pixel sits; the mean of the samples around the ring repairs it at least
// as well (section 6) at about a ninth of the cost, and it does not depend
// on the order in which a march visits the samples.
//
// Why the samples are not repaired as one plane. At that radius and with
// the ring, discs 18 samples apart (36 pixels in 4:2:0) still see each
// other, and at a few thousand hot pixels on a photo such chains run across
// it: windows of the photo grown to hold them merged into one, and one
// call of the library's inpainting over all of them costs the square of its
// discs, and even the fill would have to run over them in one piece. So the
// discs are repaired in units that stay small however dense the map: discs
// whose grown samples meet (one hot cluster). A unit is repaired alone in
// its reach (its grown samples widened by the radius and one sample more,
// clipped to the plane: every sample the fill reads) with its grown samples
// masked. A unit whose reach holds the grown samples of another is crowded:
// it would read that one's hot colour, or have to be repaired with it, and
// so its discs keep the target the refinement gives without samples, the
// mean of their repaired pixels.
// Where hot pixels are as far apart as a sensor's usually are, every unit
// is alone and the repair is the whole plane's; in a crowded map it is not,
// and the crowded discs are repaired as before this repair existed, at a
// cost per hot pixel that stays flat. Everything depends only on the map
// and the source's blocks, never on how the photo is cut into windows.
#pragma once

#include <cstddef>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <vector>

#include <opencv2/core.hpp>

#include <jpeglib.h>

namespace speckmend {

// The touched samples are grown by this many samples before they are repaired.
inline constexpr int kSkippedSampleRing = 1;

// The radius the samples are repaired from for the pixels' range (rounded
// as an inpainting range is, RegionInpainter::marginFor less one).
double sampleRange(double range);

// The masked samples of a lone unit taken from the unmasked ones around
// them (see above).
class RingFill {
public:
    // radius: in samples, at least 1.
    explicit RingFill(int radius);

    // The value of sample at of samples (8-bit, one channel): the mean of
    // the samples within the radius (Euclidean) that are zero in masked (of
    // samples' size) and inside samples, each weighted by the inverse of its
    // squared distance, added up row by row, rounded. False when there is
    // none.
    bool fill(const cv::Mat& samples, const cv::Mat& masked, cv::Point at, unsigned char& value) const;

    // The same for count planes (one to three) of masked's size at once,
    // values[k] from planes[k]; they share the weights. Throws
    // std::invalid_argument for another count.
    static constexpr int kMostPlanes = 3;
    bool fill(const cv::Mat* planes, int count, const cv::Mat& masked, cv::Point at, unsigned char* values) const;

    int radius() const { return radius_; }

private:
    struct Offset {
        int dx, dy;
        float weight;
    };
    int radius_;
    std::vector<Offset> offsets_;  // row by row
};

// A box of touched samples grown by the ring and clipped to a plane of size
// plane: the samples a disc keeps from being read. Empty when the box has no
// sample in the plane.
cv::Rect ringedSamples(const cv::Rect& touched, cv::Size plane);

// The samples of a photo's rectangle of pixels whose footprints (stepX by
// stepY pixels) hold a pixel of area: the box of the samples an area may
// touch (area: a disc's box, say), empty for an empty area.
cv::Rect samplesOf(const cv::Rect& area, int stepX, int stepY);

// 255 for every sample whose footprint holds a non-zero pixel of mask
// (8-bit, one channel), 0 elsewhere; sample (0, 0) covers the mask's
// top-left pixel, the samples cover the mask (rounded up).
cv::Mat touchedSamples(const cv::Mat& mask, int stepX, int stepY);

// One unit of discs repaired together (see above): indices into the boxes
// it was planned from, ascending, and its reach in samples.
struct SampleUnit {
    std::vector<std::size_t> discs;
    cv::Rect reach;
};

// The units of discs whose touched boxes (in samples), grown by the ring,
// meet, directly or through others; reach: their grown boxes widened by
// margin samples, all clipped to a plane of size plane. Empty boxes are
// left out. Units come in the order of their first discs.
std::vector<SampleUnit> planSampleUnits(const std::vector<cv::Rect>& touchedBoxes, cv::Size plane, int margin);

// The samples of component c in the rectangle rect of its plane: 8-bit,
// the decoder's transform of the source's blocks rounded and clamped.
// Reads the source's coefficient arrays, so it runs inside a guarded step
// (jpeg_error.h).
cv::Mat decodeSampleRect(j_decompress_ptr source, jvirt_barray_ptr array, int c, const cv::Rect& rect);

}  // namespace speckmend
