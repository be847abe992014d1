// Cutting a window of whole iMCUs out of a JPEG read to coefficients, and the
// two conversions the lossless heal needs on it: to pixels exactly as the
// image reader decodes the whole photo, and back to blocks exactly as a
// whole-image encode with the source's tables and sampling gives them.
//
// Why a window decodes like the whole photo: the blocks are the source's own,
// dequantized with the same tables and transformed by the same IDCT, and the
// decoder's chroma upsampling reads at most one chroma sample beyond a
// block; only pixels within one iMCU of a window edge that is not the photo's
// own edge can differ. Why it encodes like the whole photo: colour
// conversion is per pixel, downsampling and the DCT stay inside one iMCU, and
// a window's right and bottom edges are either whole iMCUs or the photo's own
// edges, where the encoder pads the same way.
//
// The functions that take a guard run inside a guarded step (jpeg_error.h);
// every object they fill is made by the caller.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <opencv2/core.hpp>

#include "heal/jpeg/jpeg_block_exchange.h"
#include "heal/jpeg/jpeg_codec.h"

namespace speckmend {

// How the photo is cut into iMCUs.
struct JpegGrid {
    int width = 0;  // the photo, in pixels
    int height = 0;
    int imcuWidth = 8;  // one iMCU, in pixels
    int imcuHeight = 8;
    int across() const { return (width + imcuWidth - 1) / imcuWidth; }
    int down() const { return (height + imcuHeight - 1) / imcuHeight; }
    // A rectangle of iMCUs in pixels, clipped to the photo.
    cv::Rect pixels(const cv::Rect& imcus) const;
};

JpegGrid gridOf(j_decompress_ptr source);

// Channels of the pixels a window of this JPEG decodes to: 1 for a grey
// one, 3 (blue, green, red, as the image reader gives them) for a YCbCr or
// RGB one, 4 (the library's CMYK samples) for a CMYK or YCCK one; 0 for any
// other layout, which the window conversions do not handle.
int pixelChannels(j_decompress_ptr source);

// The libjpeg pixel layout of pixels of that many channels.
J_COLOR_SPACE pixelColorSpace(int channels);

// Writes the source's blocks of the iMCU rectangle imcus (inside the photo)
// as a JPEG of its own with the source's tables and sampling. headerOnly:
// the JPEG's headers without its coded blocks, for a decoder that is fed
// the blocks (windowFeed below).
void writeWindowBlocks(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus,
                       JpegEncoder& encoder, JpegGuard& guard, std::vector<unsigned char>& out,
                       bool headerOnly = false);

// The same JPEG as writeWindowBlocks with headerOnly, without the window's
// arrays: the headers of a one-iMCU image with the window's size written
// into its frame header, so that a window of the whole photo costs no more
// than a small one (should the frame header not be found, the window's own
// headers are written).
void writeWindowHeader(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus,
                       JpegEncoder& encoder, JpegGuard& guard, std::vector<unsigned char>& out);

// The feed that gives a decoder of writeWindowBlocks' JPEG the source's
// blocks of the same window.
BlockFeed windowFeed(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus);

// Decodes a JPEG coded like the source (colour space colorSpace) into pixels,
// which the caller made with the JPEG's size and pixelChannels' channel
// count, with the image reader's settings (its IDCT and upsampling; CMYK
// samples for four components, which the image reader would turn into
// blue-green-red). With a feed its blocks come from the feed instead of from
// its coded data.
void decodeLikeImageReader(std::span<const unsigned char> bytes, J_COLOR_SPACE colorSpace, JpegDecoder& decoder,
                           JpegGuard& guard, cv::Mat& pixels, BlockFeed* feed = nullptr);

// Encodes pixels (8-bit, pixelChannels(source) channels) as a baseline JPEG
// with the source's colour space, component layout, sampling factors and
// quantization tables. With a take the blocks go there instead of into out,
// which then holds the headers only.
void encodeLikeSource(j_decompress_ptr source, const cv::Mat& pixels, JpegEncoder& encoder, JpegGuard& guard,
                      std::vector<unsigned char>& out, BlockTake* take = nullptr);

// Reads a JPEG's coefficient arrays (the decoder is made by the caller).
jvirt_barray_ptr* readCoefficients(std::span<const unsigned char> bytes, JpegDecoder& decoder, JpegGuard& guard);

// Which blocks of each component hold a repaired pixel: for a window whose
// mask (non-zero: repaired) is given, flags[c][row * widthInBlocks + column].
struct RepairedBlocks {
    int components = 0;
    int widthInBlocks[MAX_COMPONENTS] = {};
    int heightInBlocks[MAX_COMPONENTS] = {};
    std::vector<unsigned char> flags[MAX_COMPONENTS];
    bool repaired(int c, int column, int row) const {
        return flags[c][static_cast<std::size_t>(row) * widthInBlocks[c] + column] != 0;
    }
};

// The footprint of a block of component c (sampling h x v of the largest
// H x V) is the 8H/h by 8V/v pixels it was downsampled from, clipped to the
// mask. maxH/maxV and the factors are the source's (1 for a grey source).
RepairedBlocks findRepairedBlocks(const cv::Mat& mask, int components, const int* h, const int* v, int maxH, int maxV);

}  // namespace speckmend
