// Huffman tables made for a sequential image without the library's own
// statistics pass.
//
// Written with optimize_coding, the library walks every block twice: once
// to count the symbols, once to code them. Counting here instead, with a
// scan over each block's nonzero coefficients only, and handing the library
// the tables its counting would have made, gives the same bytes in one
// coding pass. The counting follows the library's exactly: blocks in MCU
// order and the DC predictor reset at every restart. The blocks that pad
// the last MCU column and row of an interleaved scan are counted as the
// source's arrays hold them: the encoder is to code them so
// (keepSourceScans, jpeg_scan_script.h), not the library's made-up ones.
#pragma once

#include <bitset>

#include "heal/jpeg/jpeg_codec.h"

namespace speckmend {

// For output (set up from source by jpeg_copy_critical_parameters, its
// restart interval set, written as one sequential scan of all its
// components: the library's default, or a script of that one scan): fills
// the Huffman slots its
// components use with the library's optimal tables for source's arrays.
// Returns false, leaving output as it was, when the image is not one such
// scan or a coefficient is beyond what 8-bit Huffman coding allows; the
// caller then leaves the counting (and the error) to the library.
bool makeOptimalTables(j_decompress_ptr source, jvirt_barray_ptr* arrays, j_compress_ptr output);

// A source's own table with the symbols of extra added (out may be table).
// A camera's tables are made for its image, and a repair adds a few blocks
// whose symbols they may lack. Taking each own symbol's frequency to be
// what its code length says it was and giving every added symbol the least
// frequency, the library's table making keeps the own lengths but for the
// few codes it must lengthen to make room: the file codes to about its own
// size without a pass over its blocks.
void extendTable(j_compress_ptr output, const JHUFF_TBL& table, const std::bitset<256>& extra, JHUFF_TBL& out);

}  // namespace speckmend
