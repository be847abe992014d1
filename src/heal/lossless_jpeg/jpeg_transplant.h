// The block transplant: the output is the source JPEG's own quantized DCT
// coefficients and markers, with only blocks of the 16 by 16 pixel grid
// cells around each repair area taken from a donor, a repaired copy of the
// photo or of a window of it, in tables that both images' blocks are exact
// in. The lossless heal (lossless_jpeg_heal.h), whose donors are windows
// coded with the source's own tables, checks each donor with prepareDrop and
// takes exactly the blocks that hold a repaired pixel; windows may overlap,
// so it places them only after the last window.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/hot_pixel_map.h"
#include "platform/jpeg_error.h"

namespace speckmend {

// The donor a transplant takes blocks from (the healed image, its arrays
// and where its window lies in the source) and the region being copied from
// it. The crop fields are the current region in pixels, already clipped to
// the image; the iMCU fields the same region in whole iMCUs of the source,
// rounded outward. prepareDrop fills the source's geometry, placeRegion and
// placeArea the region.
struct DonorRegion {
    std::uint32_t cropX = 0;
    std::uint32_t cropY = 0;
    std::uint32_t cropWidth = 0;
    std::uint32_t cropHeight = 0;
    j_decompress_ptr healedSource = nullptr;
    jvirt_barray_ptr* healedCoefficients = nullptr;
    int componentCount = 0;
    std::uint32_t imcuX = 0;
    std::uint32_t imcuY = 0;
    std::uint32_t imcuWidth = 0;
    std::uint32_t imcuHeight = 0;
    int imcuSampleWidth = 1;   // the source's largest horizontal sampling factor
    int imcuSampleHeight = 1;  // 1 and 1 for a single-component source
    // Where the donor lies in the source, in iMCUs: the healed image is the
    // source's window of donorImcuWidth x donorImcuHeight iMCUs at
    // (donorImcuX, donorImcuY), clipped to the source. A zero width or height
    // means the whole source.
    std::uint32_t donorImcuX = 0;
    std::uint32_t donorImcuY = 0;
    std::uint32_t donorImcuWidth = 0;
    std::uint32_t donorImcuHeight = 0;
    // Set once both images' blocks are expressed in the output's tables.
    bool quantizationReconciled = false;
};

// The steps below run inside a guarded step, in this order: after both
// inputs' coefficients are read and jpeg_copy_critical_parameters,
// adjustDropParameters, then (with at least one hot pixel) prepareDrop and
// placeRegion per hot pixel.

// Fills the source's geometry and refuses (library error) a healed
// image of another size than its window, or of another component count,
// colour space or relative sampling than the source.
void prepareDrop(j_decompress_ptr source, DonorRegion& region);

// Places the region of one hot pixel: the 16-pixel grid cells that the square
// of half-width r around it touches, clipped to the image. The first region
// with blocks to copy reconciles the quantization; then its blocks are copied.
void placeRegion(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
                 const HotPixel& pixel);

// The same for any repair area given by its pixel bounds (right and bottom
// exclusive): the cells it touches. A hot pixel is the square of half-width r
// around it; a hot column or row is just a long area.
void placeArea(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
               std::int64_t left, std::int64_t top, std::int64_t right, std::int64_t bottom);

// Output parameters beyond the critical ones: 1x1 sampling for a single
// component, the source's image size, no JFIF header behind an Exif first
// marker. The output is written from the source's arrays.
void adjustDropParameters(j_decompress_ptr source, j_compress_ptr output);

// Makes every table entry of the output the greatest common divisor of the
// source's and the healed image's entries (over all components sharing one
// table slot) and requantizes both images' blocks to it, so that both stay
// exact.
void reconcileQuantization(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_decompress_ptr healed,
                           jvirt_barray_ptr* healedArrays, j_compress_ptr output);

// Rescales every block of one component from its own table to newTable, whose
// entries divide the old ones.
void requantize(j_decompress_ptr codec, int component, jvirt_barray_ptr array, const JQUANT_TBL& newTable);

// Copies the blocks of the iMCU rectangle from the healed arrays into the
// source arrays, component by component, clipped to the blocks both images
// have.
// The healed image starts at iMCU (donorImcuX, donorImcuY) of the source.
void copyRegionBlocks(j_decompress_ptr source, j_compress_ptr output, std::uint32_t imcuX, std::uint32_t imcuY,
                      jvirt_barray_ptr* sourceArrays, j_decompress_ptr healed, jvirt_barray_ptr* healedArrays,
                      std::uint32_t imcuWidth, std::uint32_t imcuHeight, std::uint32_t donorImcuX = 0,
                      std::uint32_t donorImcuY = 0);

}  // namespace speckmend
