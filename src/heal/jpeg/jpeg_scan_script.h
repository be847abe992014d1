// A JPEG file's scans as the file codes them, read from its bytes, and an
// encoder that writes the file's coefficients made to code every scan so.
//
// The library's decoder keeps what the last scan left: one restart interval
// and the table selectors each component had in it. A file may set a
// restart interval for each scan (a DRI between scans) and name other table
// slots in each. The script read here holds, for each scan, what the
// library takes as its scan_info (components, spectral band, successive
// approximation) and, beside it, the restart interval in force and the
// table selectors of its scan header, and for arithmetic coding the
// conditioning its DACs set.
//
// Written through keepSourceScans, each scan gets its restart interval,
// table selectors and conditioning back (the library emits a DRI before a
// scan whose interval differs from the one before, and a DAC before every
// scan of an arithmetic file), and in every interleaved scan the
// blocks that pad the last MCU column and row are coded as the source's
// arrays hold them (the file's own, as the decoder read them) instead of the
// library's made-up ones (DC of the block before, no AC). Huffman tables
// stay the encoder's: the source's own set up before, or those the
// library's statistics pass makes for each scan.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "heal/jpeg/jpeg_codec.h"

namespace speckmend {

// What the file says of one scan beyond the library's scan_info.
struct ScanCoding {
    unsigned restartInterval = 0;  // the DRI in force
    // The SOS table selectors of the scan's components, in scan order.
    int dcSlot[MAX_COMPS_IN_SCAN] = {};
    int acSlot[MAX_COMPS_IN_SCAN] = {};
    // Arithmetic coding's conditioning in force (the DACs so far, over the
    // standard's defaults), by table slot.
    UINT8 dcLower[NUM_ARITH_TBLS] = {}, dcUpper[NUM_ARITH_TBLS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    UINT8 acSplit[NUM_ARITH_TBLS] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
};

struct ScanScript {
    std::vector<jpeg_scan_info> scans;  // as an encoder's scan_info takes them
    std::vector<ScanCoding> coding;     // coding[i] belongs to scans[i]

    bool empty() const { return scans.empty(); }
    std::size_t size() const { return scans.size(); }
};

// The scans of the JPEG in bytes, read from its SOS and DRI segments up
// to its EOI, with component selectors turned into the indices of source's
// components; empty when a segment cannot be matched to them.
ScanScript readScanScript(std::span<const unsigned char> bytes, j_decompress_ptr source);

// An encoder writing from's arrays with script->scans as its scan_info (or
// the library's own scans when script is null), and what keepSourceScans
// needs while it runs.
struct ScanKeep {
    j_decompress_ptr from = nullptr;
    jvirt_barray_ptr* arrays = nullptr;
    // Each scan's restart interval and table selectors; null leaves the
    // encoder's own.
    const ScanScript* script = nullptr;

    // The exchange's own.
    std::size_t scan = 0;
    JDIMENSION nextMcu = 0;
    void (*libraryStartPass)(j_compress_ptr, boolean) = nullptr;
    boolean (*libraryEncodeMcu)(j_compress_ptr, JBLOCKROW*) = nullptr;
};

// Install after jpeg_write_coefficients, before jpeg_finish_compress; keep
// must outlive the compression. Uses the encoder's client_data.
void keepSourceScans(j_compress_ptr encoder, ScanKeep& keep);

}  // namespace speckmend
