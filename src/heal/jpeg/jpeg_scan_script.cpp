// Reading a file's scans and coding an encoder's scans like them; see
// jpeg_scan_script.h.
#include "heal/jpeg/jpeg_scan_script.h"

#include <algorithm>
#include <cstring>

// The entropy module's interface (start_pass, encode_mcu, finish_pass),
// which the library installs with its headers.
#include <jpegint.h>

#include "heal/jpeg/jpeg_block_exchange.h"
#include "heal/jpeg/jpeg_markers.h"

namespace speckmend {

namespace {

using jpeg_marker::isRestart;
using jpeg_marker::kEoi;
using jpeg_marker::kSoi;
using jpeg_marker::kSos;
constexpr unsigned char kMarker = jpeg_marker::kPrefix;
constexpr unsigned char kDri = 0xDD;
constexpr unsigned char kDac = 0xCC;

std::size_t lengthAt(std::span<const unsigned char> bytes, std::size_t at) {
    return static_cast<std::size_t>(bytes[at]) << 8 | bytes[at + 1];
}

// One SOS header (data: after its length) as the library's scan_info and
// the table selectors beside it; false when it names a component source
// does not have.
bool readScanHeader(std::span<const unsigned char> data, j_decompress_ptr source, jpeg_scan_info& scan,
                    ScanCoding& coding) {
    const int count = data.empty() ? 0 : data[0];
    if (count < 1 || count > MAX_COMPS_IN_SCAN || data.size() != 4u + 2u * static_cast<std::size_t>(count))
        return false;
    scan = jpeg_scan_info{};
    scan.comps_in_scan = count;
    for (int i = 0; i < count; ++i) {
        const int id = data[1 + 2 * i];
        int index = -1;
        for (int c = 0; c < source->num_components; ++c)
            if (source->comp_info[c].component_id == id) index = c;
        if (index < 0) return false;
        scan.component_index[i] = index;
        // A selector that names no slot stands in a field the scan does not
        // use (the decoder refuses the file otherwise): the 0 the library
        // writes there.
        const int dc = data[2 + 2 * i] >> 4, ac = data[2 + 2 * i] & 0x0F;
        coding.dcSlot[i] = dc < NUM_HUFF_TBLS ? dc : 0;
        coding.acSlot[i] = ac < NUM_HUFF_TBLS ? ac : 0;
    }
    scan.Ss = data[1 + 2 * count];
    scan.Se = data[2 + 2 * count];
    scan.Ah = data[3 + 2 * count] >> 4;
    scan.Al = data[3 + 2 * count] & 0x0F;
    return true;
}

// Past the entropy-coded data that starts at `at`: to the next marker that
// is not a stuffed zero or a restart marker; bytes.size() when none follows.
std::size_t pastScanData(std::span<const unsigned char> bytes, std::size_t at) {
    while (at + 1 < bytes.size()) {
        const void* mark = std::memchr(&bytes[at], kMarker, bytes.size() - at - 1);
        if (mark == nullptr) return bytes.size();
        at = static_cast<std::size_t>(static_cast<const unsigned char*>(mark) - bytes.data());
        const unsigned char next = bytes[at + 1];
        if (next != 0 && next != kMarker && !isRestart(next)) return at;
        ++at;
    }
    return bytes.size();
}

}  // namespace

ScanScript readScanScript(std::span<const unsigned char> bytes, j_decompress_ptr source) {
    ScanScript script;
    if (bytes.size() < 4 || bytes[0] != kMarker || bytes[1] != kSoi) return {};
    // The file's state as it goes: what the next scan begins with.
    ScanCoding state;
    std::size_t at = 2;
    while (at + 1 < bytes.size()) {
        if (bytes[at] != kMarker) return {};
        const unsigned char code = bytes[at + 1];
        if (code == kMarker) {  // fill byte
            ++at;
            continue;
        }
        if (code == kEoi) return script;
        if (jpeg_marker::standsAlone(code)) {
            at += 2;
            continue;
        }
        if (at + 4 > bytes.size()) return {};
        const std::size_t length = lengthAt(bytes, at + 2);
        if (length < 2 || at + 2 + length > bytes.size()) return {};
        const std::span<const unsigned char> data = bytes.subspan(at + 4, length - 2);
        if (code == kDri) {
            if (data.size() != 2) return {};
            state.restartInterval = static_cast<unsigned>(lengthAt(data, 0));
        }
        if (code == kDac) {
            for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
                const int slot = data[i] & 0x0F;
                if (slot >= NUM_ARITH_TBLS) return {};
                if (data[i] >> 4) {
                    state.acSplit[slot] = data[i + 1];
                } else {
                    state.dcLower[slot] = data[i + 1] & 0x0F;
                    state.dcUpper[slot] = data[i + 1] >> 4;
                }
            }
        }
        at += 2 + length;
        if (code == kSos) {
            jpeg_scan_info scan;
            if (!readScanHeader(data, source, scan, state)) return {};
            script.scans.push_back(scan);
            script.coding.push_back(state);
            at = pastScanData(bytes, at);
        }
    }
    // A file that ends without EOI: the library read it to its end too.
    return script;
}

namespace {

ScanKeep& keepOf(j_compress_ptr encoder) { return *static_cast<ScanKeep*>(encoder->client_data); }

// The script's scan the encoder is about to code: the first from the last
// one found whose components and band are the encoder's current ones (its
// statistics pass and its output pass find the same).
bool findScan(j_compress_ptr encoder, ScanKeep& keep) {
    const std::vector<jpeg_scan_info>& scans = keep.script->scans;
    for (std::size_t i = keep.scan; i < scans.size(); ++i) {
        const jpeg_scan_info& scan = scans[i];
        bool same = scan.comps_in_scan == encoder->comps_in_scan && scan.Ss == encoder->Ss && scan.Se == encoder->Se &&
                    scan.Ah == encoder->Ah && scan.Al == encoder->Al;
        for (int c = 0; same && c < scan.comps_in_scan; ++c)
            same = encoder->cur_comp_info[c]->component_index == scan.component_index[c];
        if (same) {
            keep.scan = i;
            return true;
        }
    }
    return false;
}

boolean encodeKeepingPadding(j_compress_ptr encoder, JBLOCKROW* blocks) {
    ScanKeep& keep = keepOf(encoder);
    JBLOCKROW mcu[C_MAX_BLOCKS_IN_MCU];
    std::copy(blocks, blocks + encoder->blocks_in_MCU, mcu);
    pointAtSourcePadding(encoder, keep.from, keep.arrays, keep.nextMcu, mcu);
    // Counted only once the library has taken the MCU: a suspending
    // destination would hand the same MCU again.
    const boolean taken = (*keep.libraryEncodeMcu)(encoder, mcu);
    if (taken) ++keep.nextMcu;
    return taken;
}

// Before the library's start_pass, which takes the restart interval and
// the table selectors from the encoder (and before the scan's header, whose
// DAC the library writes from the encoder's conditioning); after it, the library has set its
// own encode_mcu for the pass.
void startPass(j_compress_ptr encoder, boolean gatherStatistics) {
    ScanKeep& keep = keepOf(encoder);
    if (keep.script != nullptr && findScan(encoder, keep)) {
        const ScanCoding& coding = keep.script->coding[keep.scan];
        encoder->restart_interval = coding.restartInterval;
        for (int i = 0; i < encoder->comps_in_scan; ++i) {
            encoder->cur_comp_info[i]->dc_tbl_no = coding.dcSlot[i];
            encoder->cur_comp_info[i]->ac_tbl_no = coding.acSlot[i];
        }
        std::copy(coding.dcLower, coding.dcLower + NUM_ARITH_TBLS, encoder->arith_dc_L);
        std::copy(coding.dcUpper, coding.dcUpper + NUM_ARITH_TBLS, encoder->arith_dc_U);
        std::copy(coding.acSplit, coding.acSplit + NUM_ARITH_TBLS, encoder->arith_ac_K);
    }
    (*keep.libraryStartPass)(encoder, gatherStatistics);
    keep.nextMcu = 0;
    // A scan of one component has no padding blocks. A module that sets
    // encode_mcu only once leaves this exchange's in place.
    if (encoder->comps_in_scan > 1 && encoder->entropy->encode_mcu != encodeKeepingPadding) {
        keep.libraryEncodeMcu = encoder->entropy->encode_mcu;
        encoder->entropy->encode_mcu = encodeKeepingPadding;
    }
}

}  // namespace

void keepSourceScans(j_compress_ptr encoder, ScanKeep& keep) {
    keep.scan = 0;
    keep.nextMcu = 0;
    encoder->client_data = &keep;
    keep.libraryStartPass = encoder->entropy->start_pass;
    encoder->entropy->start_pass = startPass;
}

}  // namespace speckmend
