// Reading a JPEG to coefficients and writing it back coded as it was; see
// jpeg_rewrite.h.
#include "heal/jpeg/jpeg_rewrite.h"

#include <bitset>
#include <cstring>

#include "heal/jpeg/huffman_statistics.h"
#include "heal/jpeg/jpeg_markers.h"
#include "heal/jpeg/jpeg_scan_script.h"
#include "heal/jpeg/mpf_segment.h"

namespace speckmend {

namespace {

// Position in a block (row by row) of the k-th coefficient in coding order.
constexpr int kZigzag[DCTSIZE2] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                   12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                   35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                   58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

std::bitset<256> symbolsOf(const JHUFF_TBL* table) {
    std::bitset<256> symbols;
    if (table == nullptr) return symbols;
    int count = 0;
    for (int length = 1; length <= 16; ++length) count += table->bits[length];
    for (int i = 0; i < count && i < 256; ++i) symbols.set(table->huffval[i]);
    return symbols;
}

int magnitudeBits(int value) {
    int bits = 0;
    for (unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value); magnitude != 0; magnitude >>= 1)
        ++bits;
    return bits;
}

// Adds the AC symbols that code block to symbols; false when a coefficient
// is beyond what 8-bit Huffman coding allows.
bool addAcSymbols(const JCOEF* block, std::bitset<256>& symbols) {
    int run = 0;
    for (int k = 1; k < DCTSIZE2; ++k) {
        const int value = block[kZigzag[k]];
        if (value == 0) {
            ++run;
            continue;
        }
        if (run > 15) symbols.set(0xF0);
        run &= 15;
        const int bits = magnitudeBits(value);
        if (bits > 10) return false;
        symbols.set(static_cast<std::size_t>((run << 4) | bits));
        run = 0;
    }
    if (run != 0) symbols.set(0x00);
    return true;
}

// Every category of DC difference 8-bit data can have.
std::bitset<256> allDcCategories() {
    std::bitset<256> categories;
    for (int bits = 0; bits <= 11; ++bits) categories.set(static_cast<std::size_t>(bits));
    return categories;
}

bool canCode(const std::bitset<256>& dc, const std::bitset<256>& ac, const JCOEF* block) {
    // A changed block also changes the DC difference of the block after it,
    // which is not known here: every difference 8 bits allow must be codable.
    if ((allDcCategories() & ~dc).any()) return false;
    std::bitset<256> needed;
    return addAcSymbols(block, needed) && (needed & ~ac).none();
}

// Whether the tables can code blocks at all: sequential Huffman, tables
// defined for every component.
bool ownTablesUsable(j_decompress_ptr source) {
    if (source->progressive_mode || source->arith_code) return false;
    for (int c = 0; c < source->num_components; ++c) {
        const jpeg_component_info& info = source->comp_info[c];
        if (info.dc_tbl_no < 0 || info.dc_tbl_no >= NUM_HUFF_TBLS || info.ac_tbl_no < 0 ||
            info.ac_tbl_no >= NUM_HUFF_TBLS || source->dc_huff_tbl_ptrs[info.dc_tbl_no] == nullptr ||
            source->ac_huff_tbl_ptrs[info.ac_tbl_no] == nullptr)
            return false;
    }
    return true;
}

void copyTable(j_compress_ptr output, JHUFF_TBL*& slot, const JHUFF_TBL& table) {
    if (slot == nullptr) slot = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(output));
    std::memcpy(slot->bits, table.bits, sizeof table.bits);
    std::memcpy(slot->huffval, table.huffval, sizeof table.huffval);
    slot->sent_table = FALSE;
}

// The output coded as the source was: its components, tables, restart
// interval, arithmetic or Huffman coding and, with a script, its scans
// (else the library's own for the same mode) and the restart interval of
// the first (keepSourceScans gives each later scan its own). The source's
// own JFIF and Adobe markers are among the kept ones and go out in their
// places.
void setUpLikeSource(j_decompress_ptr source, j_compress_ptr output, const ScanScript* script) {
    jpeg_copy_critical_parameters(source, output);
    // A single component is coded in 8 by 8 MCUs whatever its factors say,
    // and written so.
    if (source->num_components == 1) output->comp_info[0].h_samp_factor = output->comp_info[0].v_samp_factor = 1;
    output->write_JFIF_header = FALSE;
    output->write_Adobe_marker = FALSE;
    output->restart_interval = source->restart_interval;
    output->restart_in_rows = 0;
    output->arith_code = source->arith_code;
    for (int t = 0; t < NUM_ARITH_TBLS; ++t) {
        output->arith_dc_L[t] = source->arith_dc_L[t];
        output->arith_dc_U[t] = source->arith_dc_U[t];
        output->arith_ac_K[t] = source->arith_ac_K[t];
    }
    if (script != nullptr) {
        output->scan_info = script->scans.data();
        output->num_scans = static_cast<int>(script->size());
        // The interval of the first scan: the source's is the last one's.
        output->restart_interval = script->coding.front().restartInterval;
    } else if (source->progressive_mode) {
        jpeg_simple_progression(output);
    }
}

// The source's own Huffman tables for the output, each used one extended
// by the symbols the changed blocks need when extend is set.
void useOwnTables(j_decompress_ptr source, j_compress_ptr output, const std::bitset<256>* changedAcSymbols,
                  bool extend) {
    // Components may share a slot: an extended table holds what every one
    // of them needs.
    std::bitset<256> acExtra[NUM_HUFF_TBLS];
    bool dcUsed[NUM_HUFF_TBLS] = {}, acUsed[NUM_HUFF_TBLS] = {};
    for (int c = 0; c < source->num_components; ++c) {
        acExtra[source->comp_info[c].ac_tbl_no] |= changedAcSymbols[c];
        dcUsed[source->comp_info[c].dc_tbl_no] = acUsed[source->comp_info[c].ac_tbl_no] = true;
    }
    for (int c = 0; c < source->num_components; ++c) {
        const jpeg_component_info& from = source->comp_info[c];
        jpeg_component_info& to = output->comp_info[c];
        to.dc_tbl_no = from.dc_tbl_no;
        to.ac_tbl_no = from.ac_tbl_no;
        copyTable(output, output->dc_huff_tbl_ptrs[from.dc_tbl_no], *source->dc_huff_tbl_ptrs[from.dc_tbl_no]);
        copyTable(output, output->ac_huff_tbl_ptrs[from.ac_tbl_no], *source->ac_huff_tbl_ptrs[from.ac_tbl_no]);
    }
    for (int slot = 0; extend && slot < NUM_HUFF_TBLS; ++slot) {
        // Each table used is extended once, after every copy.
        if (dcUsed[slot])
            extendTable(output, *source->dc_huff_tbl_ptrs[slot], allDcCategories(), *output->dc_huff_tbl_ptrs[slot]);
        if (acUsed[slot])
            extendTable(output, *source->ac_huff_tbl_ptrs[slot], acExtra[slot], *output->ac_huff_tbl_ptrs[slot]);
    }
}

}  // namespace

bool ownTablesCanCode(j_decompress_ptr source, int c, const JCOEF* block) {
    if (c < 0 || c >= source->num_components || !ownTablesUsable(source)) return false;
    const jpeg_component_info& info = source->comp_info[c];
    return canCode(symbolsOf(source->dc_huff_tbl_ptrs[info.dc_tbl_no]),
                   symbolsOf(source->ac_huff_tbl_ptrs[info.ac_tbl_no]), block);
}

void JpegRewrite::noteChangedBlock(int c, const JCOEF* block) {
    if (c >= 0 && c < MAX_COMPONENTS && changesCodable_ && !addAcSymbols(block, changedAcSymbols_[c]))
        changesCodable_ = false;
    if (!ownTablesCodeChanges_) return;
    // Arithmetic and progressive sources are never written with their own
    // Huffman tables, and their table numbers need not name any.
    if (c < 0 || c >= decoder_.codec.num_components || !ownTablesUsable(&decoder_.codec)) {
        ownTablesCodeChanges_ = false;
        return;
    }
    if (!symbolsKnown_[c]) {
        const jpeg_component_info& info = decoder_.codec.comp_info[c];
        dcSymbols_[c] = symbolsOf(decoder_.codec.dc_huff_tbl_ptrs[info.dc_tbl_no]);
        acSymbols_[c] = symbolsOf(decoder_.codec.ac_huff_tbl_ptrs[info.ac_tbl_no]);
        symbolsKnown_[c] = true;
    }
    if (!canCode(dcSymbols_[c], acSymbols_[c], block)) ownTablesCodeChanges_ = false;
}

bool JpegRewrite::read(std::span<const unsigned char> bytes, std::string& diagnostic) {
    return readHeader(bytes, diagnostic) && readCoefficients(diagnostic);
}

bool JpegRewrite::readHeader(std::span<const unsigned char> bytes, std::string& diagnostic) {
    bytes_ = bytes;
    auto step = [this] {
        decoder_.createFromMemory(guard_, "source", bytes_);
        saveSourceMarkers(&decoder_.codec);
        jpeg_read_header(&decoder_.codec, TRUE);
    };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = decoder_.errors.error;
        return false;
    }
    return true;
}

bool JpegRewrite::readCoefficients(std::string& diagnostic) {
    auto step = [this] { arrays_ = jpeg_read_coefficients(&decoder_.codec); };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = decoder_.errors.error;
        return false;
    }
    // The library has read up to and including the EOI marker; a file that
    // ends early has had one made up, outside the file's own bytes.
    const unsigned char* next = decoder_.codec.src->next_input_byte;
    const bool inside = next >= bytes_.data() && next <= bytes_.data() + bytes_.size();
    imageLength_ = inside ? static_cast<std::size_t>(next - bytes_.data()) : bytes_.size();
    script_ = readScanScript(bytes_.first(imageLength_), &decoder_.codec);
    return true;
}

bool JpegRewrite::writeOnce(std::vector<unsigned char>& out, bool keepScans, std::string& diagnostic) {
    j_decompress_ptr source = &decoder_.codec;
    // With one scan every unchanged block was coded with the tables as they
    // stand; a later scan may have redefined a table an earlier one used.
    const bool sequentialHuffman = script_.size() == 1 && ownTablesUsable(source);
    const bool ownTables = ownTablesCodeChanges_ && sequentialHuffman;
    const bool extendedTables = !ownTablesCodeChanges_ && changesCodable_ && sequentialHuffman;
    const bool scripted = keepScans && !script_.empty();
    JpegEncoder encoder;
    auto step = [&] {
        encoder.createToMemory(guard_, "output", out);
        j_compress_ptr output = &encoder.codec;
        setUpLikeSource(source, output, scripted ? &script_ : nullptr);
        // The source's own Huffman tables where they can code every block,
        // extended where they cannot, else tables made for this image (for
        // each scan of several, as an optimizing encoder writes them);
        // arithmetic coding adapts by itself.
        output->optimize_coding = source->arith_code || ownTables || extendedTables ? FALSE : TRUE;
        // The same tables counted here spare the library its counting pass.
        if (output->optimize_coding && makeOptimalTables(source, arrays_, output)) output->optimize_coding = FALSE;
        if (ownTables || extendedTables) useOwnTables(source, output, changedAcSymbols_, extendedTables);
        jpeg_write_coefficients(output, arrays_);
        // Each scan coded as the file had it, its padding blocks too: some
        // cameras code picture data below the image's last row, which no
        // decoder shows but which is the file's.
        ScanKeep keep;
        keep.from = source;
        keep.arrays = arrays_;
        keep.script = scripted ? &script_ : nullptr;
        keepSourceScans(output, keep);
        copySourceMarkers(source, output);
        jpeg_finish_compress(output);
    };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = encoder.errors.error;
        return false;
    }
    return true;
}

bool JpegRewrite::write(std::vector<unsigned char>& out, std::string& diagnostic) {
    out.clear();
    out.reserve(bytes_.size() + (bytes_.size() >> 4) + 4096);
    // A scan script the library does not take (the source's may break its
    // rules) is replaced by the library's own for the same coding.
    if (!writeOnce(out, true, diagnostic) && (script_.empty() || !writeOnce(out, false, diagnostic))) return false;
    placeSourceMarkers(bytes_.first(imageLength_), out);
    const std::size_t written = out.size();
    out.insert(out.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(imageLength_), bytes_.end());
    if (imageLength_ < bytes_.size()) moveMpfOffsets(bytes_, imageLength_, out, written);
    return true;
}

}  // namespace speckmend
