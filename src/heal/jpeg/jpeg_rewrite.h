// A JPEG file read to its quantized coefficients and written back from them
// coded the way it was: the same markers in the same order, progressive scan
// script or sequential coding with each scan's own restart interval,
// arithmetic or Huffman coding, the blocks that pad its last MCU column and
// row, and the bytes after the end of its image. Between reading and writing
// the caller may change blocks of the coefficient arrays; a file written
// without changes decodes to the same coefficients as the source.
#pragma once

#include <bitset>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "heal/jpeg/jpeg_codec.h"
#include "heal/jpeg/jpeg_scan_script.h"

namespace speckmend {

class JpegRewrite {
public:
    // Reads bytes (which must outlive the object) to coefficients, with
    // every COM and APPn marker kept. False, with the library's message in
    // diagnostic, when they are not a JPEG the library can read.
    bool read(std::span<const unsigned char> bytes, std::string& diagnostic);
    // The same in two steps, so that a caller can look at the header (the
    // image size, say) before the coefficients are decoded and stored.
    bool readHeader(std::span<const unsigned char> bytes, std::string& diagnostic);
    bool readCoefficients(std::string& diagnostic);

    // Writes the (possibly changed) coefficients coded like the source,
    // followed by the source's bytes after its image, with the offsets of a
    // Multi-Picture segment moved to where those bytes now lie. False, with
    // diagnostic set, when the library refuses the coefficients.
    bool write(std::vector<unsigned char>& out, std::string& diagnostic);

    // Tells the rewrite that a block of component c now holds these
    // coefficients. A single-scan sequential Huffman source is written with
    // its own Huffman tables as long as they can code every changed block (so
    // that its size stays what it was), else with its own tables extended by
    // the symbols they lack; any other Huffman source with tables made for
    // each of its scans, as an optimizing encoder makes them.
    void noteChangedBlock(int c, const JCOEF* block);

    j_decompress_ptr source() { return &decoder_.codec; }
    jvirt_barray_ptr* arrays() const { return arrays_; }
    JpegGuard& guard() { return guard_; }
    // Length of the source's main image, from its SOI to its EOI; the rest
    // of the file is kept as it is.
    std::size_t imageLength() const { return imageLength_; }
    // The source's scans as the library describes them, and as the file
    // codes them; empty when they could not be recovered from the file.
    const std::vector<jpeg_scan_info>& scans() const { return script_.scans; }
    const ScanScript& script() const { return script_; }

private:
    bool writeOnce(std::vector<unsigned char>& out, bool keepScans, std::string& diagnostic);

    JpegGuard guard_;
    JpegDecoder decoder_;
    jvirt_barray_ptr* arrays_ = nullptr;
    std::span<const unsigned char> bytes_;
    std::size_t imageLength_ = 0;
    ScanScript script_;
    bool ownTablesCodeChanges_ = true;
    // The AC symbols the changed blocks of each component need; false once
    // a block holds a coefficient no Huffman table of 8-bit data can code.
    std::bitset<256> changedAcSymbols_[MAX_COMPONENTS];
    bool changesCodable_ = true;
    // The symbols each component's own tables code, found at the first
    // changed block.
    bool symbolsKnown_[MAX_COMPONENTS] = {};
    std::bitset<256> dcSymbols_[MAX_COMPONENTS];
    std::bitset<256> acSymbols_[MAX_COMPONENTS];
};

// Whether a sequential Huffman source's own tables, as its components use
// them, have a code for every AC symbol of block (component c) and for
// every DC difference an 8-bit image can have.
bool ownTablesCanCode(j_decompress_ptr source, int c, const JCOEF* block);

}  // namespace speckmend
