// Handing quantized blocks straight to a libjpeg decoder and taking them
// straight from a libjpeg encoder, instead of entropy coding them into a
// stream and decoding that stream again.
//
// A caller that turns blocks into pixels and pixels back into blocks (the
// lossless path does so for every repair window) goes through the codecs
// twice. Both conversions must stay exactly the library's (its IDCT,
// upsampling and colour conversion; its colour conversion, downsampling, DCT
// and quantization), but the Huffman coding in between only carries the
// blocks from one codec to the next. Here the codec's entropy module is told
// to pass them on instead: a decoder gets each MCU's blocks from coefficient
// arrays, an encoder gives each MCU's blocks to coefficient arrays (or
// discards them). What the pixels and blocks are does not change: the entropy
// module sees the blocks the coefficient controller hands it and nothing
// else.
//
// Call order: install on a decoder after jpeg_start_decompress, on an
// encoder after jpeg_start_compress or after jpeg_write_coefficients; the
// codec must code one sequential scan (a stream the encoder of the same
// program wrote: no progressive or multi-scan input), and the exchange must
// outlive the codec's pass. Each uses the codec's client_data.
#pragma once

#include "heal/jpeg/jpeg_codec.h"

namespace speckmend {

// Blocks for a decoder: block (x, y) of component c of the decoded image is
// block (firstColumn[c] + x, firstRow[c] + y) of arrays[c] of `from`.
// Padding blocks of the last MCU column and row are all zero.
struct BlockFeed {
    j_decompress_ptr from = nullptr;
    jvirt_barray_ptr* arrays = nullptr;
    JDIMENSION firstColumn[MAX_COMPONENTS] = {};
    JDIMENSION firstRow[MAX_COMPONENTS] = {};
    JDIMENSION nextMcu = 0;  // the exchange's own count
};

void feedBlocksInsteadOfDecoding(j_decompress_ptr decoder, BlockFeed& feed);

// Where an encoder's blocks go: into arrays[c] of `into` (a decoder whose
// header describes the same image), block (x, y) of component c at (x, y),
// padding blocks included as far as the arrays reach; with no arrays they
// are discarded, and the stream the encoder writes holds its headers only.
struct BlockTake {
    j_decompress_ptr into = nullptr;
    jvirt_barray_ptr* arrays = nullptr;
    JDIMENSION nextMcu = 0;
    void (*libraryStartPass)(j_compress_ptr, boolean) = nullptr;  // the exchange's own
};

void takeBlocksInsteadOfCoding(j_compress_ptr encoder, BlockTake& take);

// Padding blocks for an encoder writing a source's coefficient arrays
// (jpeg_write_coefficients), called with the blocks of the MCU numbered mcu
// of the current scan before the entropy module codes them: in an
// interleaved scan, the entries that stand for the blocks padding the last
// MCU column and row are pointed at those of from's arrays (the source
// file's own, as the decoder read them) instead of the library's made-up
// ones (DC of the block before, no AC).
void pointAtSourcePadding(j_compress_ptr encoder, j_decompress_ptr from, jvirt_barray_ptr* arrays, JDIMENSION mcu,
                          JBLOCKROW* blocks);

// Inside a guarded step: for a decoder whose header has been read, the
// coefficient arrays jpeg_read_coefficients would return for its image
// (one per component, rounded up to whole MCUs), zeroed.
jvirt_barray_ptr* requestCoefficientArrays(j_decompress_ptr decoder);

}  // namespace speckmend
