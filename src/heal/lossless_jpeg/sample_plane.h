// The samples of a subsampled component (the chroma of a 4:2:0 or 4:2:2
// photo), repaired at their own resolution.
//
// A hot pixel's colour reaches the camera's chroma samples through its
// downsampling and spreads from there over the chroma block through the
// quantization. The decoder's upsampling then mixes it into every pixel
// within about a sample of them, so the pixels around a repaired disc hold
// the hot pixel's colour, and an inpainting of the pixels carries it back
// into the disc. The refinement (block_refiner.h) therefore takes the target
// of a chroma sample with a repaired pixel in its footprint from the
// component's own samples, decoded from the source's blocks with no
// upsampling, inpainted there. The samples to repair (touched) are grown by
// one sample before the inpainting, so that the ring next to them, where
// the quantization left most of the hot pixel's colour, is not read either;
// only the touched ones are used. The inpainting range is two samples more
// than the pixels' range: measured on hot pixels planted into camera crops
// (bench/heal/run, section 6), the reach that keeps the repair off the ring.
//
// Everything here depends only on the blocks and the mask of the footprints
// it covers, and the inpainting runs cluster by cluster (region_inpainter.h),
// so a window of whole iMCUs that holds sampleMargin pixels around every
// repaired pixel gives the samples the whole photo's planes give.
#pragma once

#include <cstdio>  // before jpeglib.h, which needs FILE

#include <opencv2/core.hpp>

#include <jpeglib.h>

namespace speckmend {

// The inpainting range of the samples for the pixels' range.
double sampleRange(double range);

// Pixels of the photo the repair of samples of step x step pixels reads
// around a repaired pixel (step: the larger of the component's two); 0 when
// the range cannot be confined (RegionInpainter::marginFor).
int sampleMargin(double range, int step);

// The samples of component c for the iMCU rectangle imcus: 8-bit, the
// decoder's transform of the source's blocks rounded and clamped, cut to the
// samples whose footprints (stepX by stepY pixels) meet pixels, the
// rectangle's size in pixels clipped to the photo. Reads the source's
// coefficient arrays, so it runs inside a guarded step (jpeg_error.h).
cv::Mat componentSamples(j_decompress_ptr source, jvirt_barray_ptr array, int c, const cv::Rect& imcus, cv::Size pixels,
                         int stepX, int stepY);

// 255 for every sample whose footprint holds a non-zero pixel of mask
// (8-bit, one channel), 0 elsewhere; the samples cover the mask as above.
cv::Mat touchedSamples(const cv::Mat& mask, int stepX, int stepY);

// Inpaints the touched samples of samples (8-bit, one channel, touched's
// size) as described above, with the pixels' range and method; samples
// next to them may change too and are not to be used.
void repairSamples(cv::Mat& samples, const cv::Mat& touched, double range, int method);

}  // namespace speckmend
