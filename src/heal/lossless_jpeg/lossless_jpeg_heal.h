// Healing a JPEG photo without re-encoding it: the output is the source file
// with only the coefficient blocks of repaired pixels replaced, built in
// memory from the source's own bytes.
//
// libjpeg call sequence of one in-memory heal (every call inside a guarded
// step, see jpeg_error.h; every codec reads or writes memory):
//   source:  jpeg_create_decompress, jpeg_mem_src, jpeg_save_markers (COM,
//            APP0..APP15), jpeg_read_header, jpeg_read_coefficients (to EOI:
//            what follows is kept as trailing bytes)
//   per window of whole iMCUs (repair_windows.h: windows may overlap; one
//   encoder and one decoder per photo, reset with jpeg_abort between
//   streams; no block is Huffman coded, see jpeg_block_exchange.h):
//     blocks: jpeg_copy_critical_parameters (source -> window), the window's
//            size, request_virt_barray and realize_virt_arrays (zeroed),
//            jpeg_write_coefficients, the entropy module told to discard
//            the blocks, jpeg_finish_compress: the window's headers only
//     pixels: jpeg_mem_src, jpeg_read_header, the source's colour space,
//            out_color_space BGR, grey or CMYK (the image reader's IDCT
//            and fancy upsampling), jpeg_start_decompress, the entropy
//            module fed the source's blocks, jpeg_read_scanlines,
//            jpeg_finish_decompress; then inpainting
//     donor: jpeg_mem_src and jpeg_read_header on the window's headers, its
//            coefficient arrays requested and realized; jpeg_set_defaults,
//            jpeg_set_colorspace (the source's; an Adobe marker only for
//            four components, which tells YCCK from CMYK), its sampling
//            factors and quantization tables, jpeg_start_compress, the
//            entropy module told to hand the blocks to those arrays,
//            jpeg_write_scanlines, jpeg_finish_compress
//     staging: prepareDrop (jpeg_transplant.h) checks the donor against its
//            window; every block with a repaired pixel is refined and kept
//            aside with its place in the source, and written into the
//            source's arrays once no window still to come reaches its row
//   output (jpeg_rewrite.h): jpeg_create_compress, jpeg_copy_critical_parameters, a single
//            component's sampling 1x1, the source's restart interval, coding
//            (arithmetic with its conditioning, or Huffman with the source's
//            own tables or optimized ones) and scan script, no JFIF or Adobe
//            header of the library's own, jpeg_write_coefficients (the
//            source's arrays), copySourceMarkers, jpeg_finish_compress; the
//            source's trailing bytes appended, MPF offsets moved
//   then:    every codec destroyed with its owner (jpeg_codec.h).
#pragma once

#include <span>
#include <string>
#include <vector>

#include "config/hot_pixel_map.h"
#include "heal/lossless_jpeg/repair_windows.h"

namespace speckmend {

struct LosslessHealResult {
    // damaged: the library read the file but warned of damaged data
    // (jpeg_error.h), so the photo it gives is not the one that was taken.
    enum class Outcome { healed, notReadable, damaged, badDimension } outcome = Outcome::notReadable;
    std::vector<unsigned char> file;  // the complete output JPEG when healed
    std::string diagnostic;           // libjpeg's message when notReadable or damaged
};

// source: the whole input file; map: the hot pixel map, whose size is checked
// against the JPEG's stored size (no orientation applied) as soon as the
// header is read, so that a file claiming another size costs no more than its
// header; range and method as in the heal settings. Thread-safe: no globals,
// may run on several photos at once. Never decodes the whole photo. Prints
// nothing and writes no file. joining: how windows are joined
// (repair_windows.h); every way gives the same bytes.
LosslessHealResult healJpegLosslessly(std::span<const unsigned char> source, const HotPixelMap& map, double range,
                                      int method, const WindowJoining& joining = {});

// Judges a JPEG source as healJpegLosslessly does before it repairs anything
// (the size from the header, then whether the data is sound), for a caller
// that decodes the photo with the image reader, which does not tell of
// damage: outcome healed then means the photo may be decoded and healed, and
// file stays empty. Reads every scan but decodes no pixels (see
// jpeg_data_check.h).
LosslessHealResult checkJpegSource(std::span<const unsigned char> source, const HotPixelMap& map);

}  // namespace speckmend
