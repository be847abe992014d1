// Reading a JPEG to coefficients and writing it back coded as it was; see
// jpeg_rewrite.h.
#include "heal/jpeg_rewrite.h"

#include <cstring>

#include "heal/jpeg_transplant.h"
#include "heal/mpf_segment.h"

namespace speckmend {

namespace {

constexpr unsigned char kMarker = 0xFF;
constexpr unsigned char kSos = 0xDA;
constexpr unsigned char kEoi = 0xD9;
constexpr unsigned char kSoi = 0xD8;

bool isRestart(unsigned char code) { return code >= 0xD0 && code <= 0xD7; }

bool sameTable(const JHUFF_TBL& a, const JHUFF_TBL& b) {
    int symbols = 0;
    for (int length = 1; length <= 16; ++length) {
        if (a.bits[length] != b.bits[length]) return false;
        symbols += a.bits[length];
    }
    return symbols <= 256 && std::memcmp(a.huffval, b.huffval, static_cast<std::size_t>(symbols)) == 0;
}

// Every defined table of source is one of the two standard ones of its kind.
bool allStandard(JHUFF_TBL* const* source, JHUFF_TBL* const* standard) {
    for (int slot = 0; slot < NUM_HUFF_TBLS; ++slot) {
        if (source[slot] == nullptr) continue;
        if (!sameTable(*source[slot], *standard[0]) && !sameTable(*source[slot], *standard[1])) return false;
    }
    return true;
}

}  // namespace

std::vector<jpeg_scan_info> readScanScript(std::span<const unsigned char> bytes, j_decompress_ptr source) {
    std::vector<jpeg_scan_info> scans;
    if (bytes.size() < 4 || bytes[0] != kMarker || bytes[1] != kSoi) return {};
    std::size_t at = 2;
    while (at + 1 < bytes.size()) {
        if (bytes[at] != kMarker) return {};
        const unsigned char code = bytes[at + 1];
        if (code == kMarker) {  // fill byte
            ++at;
            continue;
        }
        if (code == kEoi) return scans;
        if (isRestart(code) || code == 0x01) {  // no length field
            at += 2;
            continue;
        }
        if (at + 4 > bytes.size()) return {};
        const std::size_t length = static_cast<std::size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        if (length < 2 || at + 2 + length > bytes.size()) return {};
        if (code == kSos) {
            const unsigned char* header = &bytes[at + 4];
            const int count = header[0];
            if (count < 1 || count > MAX_COMPS_IN_SCAN || length != 6u + 2u * count) return {};
            jpeg_scan_info scan{};
            scan.comps_in_scan = count;
            for (int i = 0; i < count; ++i) {
                const int id = header[1 + 2 * i];
                int index = -1;
                for (int c = 0; c < source->num_components; ++c)
                    if (source->comp_info[c].component_id == id) index = c;
                if (index < 0) return {};
                scan.component_index[i] = index;
            }
            scan.Ss = header[1 + 2 * count];
            scan.Se = header[2 + 2 * count];
            scan.Ah = header[3 + 2 * count] >> 4;
            scan.Al = header[3 + 2 * count] & 0x0F;
            scans.push_back(scan);
            // The entropy-coded data runs to the next marker that is not a
            // stuffed zero or a restart marker.
            at += 2 + length;
            while (at + 1 < bytes.size() &&
                   !(bytes[at] == kMarker && bytes[at + 1] != 0 && bytes[at + 1] != kMarker && !isRestart(bytes[at + 1])))
                ++at;
            continue;
        }
        at += 2 + length;
    }
    // A file that ends without EOI: the library read it to its end too.
    return scans;
}

bool usesStandardHuffmanTables(j_decompress_ptr source, JpegGuard& guard) {
    JpegEncoder standard;
    std::vector<unsigned char> unused;
    bool result = false;
    auto step = [&] {
        standard.createToMemory(guard, "tables", unused);
        standard.codec.in_color_space = JCS_YCbCr;
        standard.codec.input_components = 3;
        jpeg_set_defaults(&standard.codec);
        result = allStandard(source->dc_huff_tbl_ptrs, standard.codec.dc_huff_tbl_ptrs) &&
                 allStandard(source->ac_huff_tbl_ptrs, standard.codec.ac_huff_tbl_ptrs);
    };
    return runJpegGuarded(guard, step) && result;
}

bool JpegRewrite::read(std::span<const unsigned char> bytes, std::string& diagnostic) {
    bytes_ = bytes;
    auto step = [this] {
        decoder_.createFromMemory(guard_, "source", bytes_);
        saveSourceMarkers(&decoder_.codec);
        jpeg_read_header(&decoder_.codec, TRUE);
        arrays_ = jpeg_read_coefficients(&decoder_.codec);
    };
    if (!runJpegGuarded(guard_, step)) {
        diagnostic = decoder_.errors.error;
        return false;
    }
    // The library has read up to and including the EOI marker; a file that
    // ends early has had one made up, outside the file's own bytes.
    const unsigned char* next = decoder_.codec.src->next_input_byte;
    const bool inside = next >= bytes.data() && next <= bytes.data() + bytes.size();
    imageLength_ = inside ? static_cast<std::size_t>(next - bytes.data()) : bytes.size();
    scans_ = readScanScript(bytes.first(imageLength_), &decoder_.codec);
    return true;
}

bool JpegRewrite::writeOnce(std::vector<unsigned char>& out, bool keepScans, std::string& diagnostic) {
    j_decompress_ptr source = &decoder_.codec;
    const bool standardTables = !source->arith_code && usesStandardHuffmanTables(source, guard_);
    JpegEncoder encoder;
    auto step = [&] {
        encoder.createToMemory(guard_, "output", out);
        j_compress_ptr output = &encoder.codec;
        jpeg_copy_critical_parameters(source, output);
        DropRequest request;
        jvirt_barray_ptr* arrays = adjustDropParameters(source, output, arrays_, request);
        // The source's own JFIF and Adobe markers are among the kept ones and
        // go out in their places.
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
        if (keepScans && !scans_.empty()) {
            output->scan_info = scans_.data();
            output->num_scans = static_cast<int>(scans_.size());
        } else if (source->progressive_mode) {
            jpeg_simple_progression(output);
        }
        // Huffman tables made for this image where the source had tables of
        // its own, the standard ones where it had those; arithmetic coding
        // adapts by itself.
        output->optimize_coding = source->arith_code || standardTables ? FALSE : TRUE;
        jpeg_write_coefficients(output, arrays);
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
    if (!writeOnce(out, true, diagnostic) && (scans_.empty() || !writeOnce(out, false, diagnostic))) return false;
    const std::size_t written = out.size();
    out.insert(out.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(imageLength_), bytes_.end());
    if (imageLength_ < bytes_.size()) moveMpfOffsets(bytes_, imageLength_, out, written);
    return true;
}

}  // namespace speckmend
