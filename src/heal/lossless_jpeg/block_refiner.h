// Choosing the quantized coefficients of a repaired block.
//
// An encoder rounds every DCT coefficient to the nearest step of its table:
// the closest point of the quantization grid to the block as a whole, whose
// error spreads evenly over the block's 64 samples. A repaired block has two
// kinds of samples: those whose pixels were reconstructed, which should come
// out as the inpainting made them, and the others, which the source's own
// block decodes exactly and which nobody asked to change. The refinement
// weighs the first kind kRepairedSampleWeight times the second and looks for
// the grid point closest to that target: it starts from the better of the
// encoder's block and the target rounded to the grid, and moves single
// coefficients by one step while the weighted error plus a price for the
// bits falls.
//
// The price keeps two things in check. A block fitted closely to a small
// repaired disc needs many small high-frequency coefficients; those also
// carry the faint remains of the hot pixel that the camera's quantization
// spread over the block (its ringing, and its colour over a subsampled
// chroma block) back into the repair, and they cost bits. And a repaired
// block should not cost more than the source's: bits beyond what the
// source's coefficient spent are priced higher, so that a file with its
// blocks replaced stays the size it was, progressive files too, whose
// scans code an isolated coefficient dearly.
//
// The target of a never-repaired sample is the source's exact sample, not
// the one the encoder recomputes from decoded 8-bit pixels, whose chroma the
// decoder's upsampling and the encoder's downsampling have blurred: blocks
// that had to be replaced lose less of what was there. A subsampled sample
// with any repaired pixel in its footprint is the mean of those pixels
// alone: the source's sample there holds the hot pixel's colour. Better
// still, where the caller has them, is the component's own samples repaired
// at their resolution (sample_plane.h), which the hot pixel's colour that
// the decoder's upsampling spreads around the disc does not reach.
//
// Everything it reads is the block's own: its footprint in the repaired
// pixels, the mask and the samples, the source's block and the table. So a window of the
// photo and the whole photo give the same refined block.
#pragma once

#include <cstdio>  // before jpeglib.h, which needs FILE

#include <opencv2/core.hpp>

#include <jpeglib.h>

namespace speckmend {

// Where one block of component `component` lies: its sampling (h x v of the
// largest maxH x maxV; all 1 for a grey source) and the top-left pixel of
// its footprint in the pixels and mask handed over. samples, for a
// subsampled component, are its samples at their own resolution with the
// touched ones repaired (sample_plane.h), sample (0, 0) covering the pixels'
// top-left pixel, and repairedSamples non-zero where they were: such a
// sample aims at its value there rather than at the mean of the repaired
// pixels in its footprint. Both or neither are given.
struct BlockPlace {
    int component = 0;
    int h = 1, v = 1, maxH = 1, maxV = 1;
    cv::Point origin;
    const cv::Mat* samples = nullptr;
    const cv::Mat* repairedSamples = nullptr;
};

// The squared error of a repaired sample counts this many times that of an
// untouched one. A heavier weight fits the block to the repair at the cost
// of the samples around it, and those are what keeps the camera's ringing of
// the hot pixel out: on hot pixels planted into crops of camera photos the
// error around the spots is lowest near 0.8 (4 leaves it a tenth higher, a
// flat sky's almost twice jpegpixi's), and on the sample shoot the discs
// come out as close as with 4.
inline constexpr float kRepairedSampleWeight = 0.8f;

// The price of a bit of an AC coefficient, and of a bit beyond what the
// source's coefficient spent, as shares of the squared error of one step of
// the table. On hot pixels planted into crops of camera photos 0.1 brings
// the error around the spots down by a tenth (0.05 and 0.2 do less); 2 for
// the growth keeps the 250x250 progressive sample within 1% with 400 hot
// pixels (+0.8%) for about 0.05 of the crops' mean error of 1.3.
inline constexpr float kRateWeight = 0.1f;
inline constexpr float kGrowthWeight = 2.0f;

// Rewrites donor (the encoder's quantized block, natural order) with the
// refined coefficients; a block without a repaired pixel is left as it is.
// source: the source's quantized block at the same place; table: the
// quantization table of both. repaired: the repaired image (8-bit, 1 channel
// grey, 3 channels blue-green-red or 4 channels libjpeg's CMYK) and mask
// (8-bit, one channel, non-zero where repaired), of equal size; footprint
// pixels outside them lie beyond the photo's edge and do not count;
// place.samples and repairedSamples, when given, 8-bit, one channel, of one
// size, covering them. space:
// the source's colour space (grey; YCbCr or RGB; CMYK or YCCK). Throws
// std::invalid_argument on a mismatch of types, sizes or layout, or a zero
// step in the table.
void refineDonorBlock(JCOEF* donor, const JCOEF* source, const JQUANT_TBL& table, J_COLOR_SPACE space,
                      const cv::Mat& repaired, const cv::Mat& mask, const BlockPlace& place);

// The samples a block decodes to before rounding and clamping (natural
// order in, row-major samples out, the level shift added): the decoder's
// transform in floating point.
void decodeBlockSamples(const JCOEF* coefficients, const JQUANT_TBL& table, float* samples);

}  // namespace speckmend
