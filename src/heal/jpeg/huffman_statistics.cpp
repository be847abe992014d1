// Symbol counting for optimal Huffman tables; see huffman_statistics.h.
#include "heal/jpeg/huffman_statistics.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Exported by the library (its own optimizing pass uses it) but declared
// only in a header it does not install.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace speckmend {

namespace {

// The library's limits for 8-bit samples: magnitude categories of a DC
// difference and of an AC coefficient.
constexpr int kLargestDcBits = 11;
constexpr int kLargestAcBits = 10;

// Position in a block (row by row) of the k-th coefficient in coding order,
// and the coding order of each position.
constexpr int kZigzag[DCTSIZE2] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                   12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                   35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                   58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
constexpr std::array<std::uint8_t, DCTSIZE2> kOrderOf = [] {
    std::array<std::uint8_t, DCTSIZE2> order{};
    for (int k = 0; k < DCTSIZE2; ++k) order[kZigzag[k]] = static_cast<std::uint8_t>(k);
    return order;
}();

using Counts = std::array<long, 257>;

int magnitudeBits(int value) {
    const unsigned magnitude = static_cast<unsigned>(value < 0 ? -value : value);
    return static_cast<int>(std::bit_width(magnitude));
}

// Bit p set where block[p] (row by row) is nonzero.
std::uint64_t nonzeroPositions(const JCOEF* block) {
#if defined(__SSE2__)
    std::uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int part = 0; part < 4; ++part) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * part + 8));
        const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        const auto bits = static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(zeros)));
        mask |= (~bits & 0xFFFFu) << (16 * part);
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int p = 0; p < DCTSIZE2; ++p)
        if (block[p] != 0) mask |= std::uint64_t{1} << p;
    return mask;
#endif
}

// One block's symbols; false when a value is beyond the coding's limits.
bool countBlock(const JCOEF* block, int lastDc, Counts& dc, Counts& ac) {
    const int dcBits = magnitudeBits(block[0] - lastDc);
    if (dcBits > kLargestDcBits) return false;
    ++dc[static_cast<std::size_t>(dcBits)];
    std::uint64_t positions = nonzeroPositions(block) & ~std::uint64_t{1};
    std::uint64_t order = 0;
    for (; positions != 0; positions &= positions - 1)
        order |= std::uint64_t{1} << kOrderOf[static_cast<std::size_t>(std::countr_zero(positions))];
    int previous = 0;
    for (; order != 0; order &= order - 1) {
        const int k = std::countr_zero(order);
        int run = k - previous - 1;
        for (; run > 15; run -= 16) ++ac[0xF0];
        const int bits = magnitudeBits(block[kZigzag[k]]);
        if (bits > kLargestAcBits) return false;
        ++ac[static_cast<std::size_t>((run << 4) | bits)];
        previous = k;
    }
    if (previous < DCTSIZE2 - 1) ++ac[0];
    return true;
}

int largestFactor(j_decompress_ptr codec, bool horizontal) {
    int largest = 1;
    for (int c = 0; c < codec->num_components; ++c)
        largest = std::max(largest, horizontal ? codec->comp_info[c].h_samp_factor : codec->comp_info[c].v_samp_factor);
    return largest;
}

// Whether output codes source's arrays as one sequential scan of all its
// components, with Huffman slots the counting can fill.
bool codesOneSequentialScan(j_decompress_ptr source, j_compress_ptr output) {
    const int components = source->num_components;
    if (components < 1 || components > MAX_COMPS_IN_SCAN || output->num_components != components || output->arith_code)
        return false;
    if (output->scan_info != nullptr) {
        // A script of one sequential scan of every component codes the same
        // symbols whatever order it names them in.
        const jpeg_scan_info& scan = output->scan_info[0];
        if (output->num_scans != 1 || scan.comps_in_scan != components || scan.Ss != 0 || scan.Se != DCTSIZE2 - 1 ||
            scan.Ah != 0 || scan.Al != 0)
            return false;
    }
    for (int c = 0; c < components; ++c) {
        const jpeg_component_info& info = output->comp_info[c];
        if (info.dc_tbl_no < 0 || info.dc_tbl_no >= NUM_HUFF_TBLS || info.ac_tbl_no < 0 ||
            info.ac_tbl_no >= NUM_HUFF_TBLS)
            return false;
    }
    return true;
}

// The symbol counts of one scan, per Huffman slot, and the DC predictors
// the counting carries from block to block.
struct ScanCounts {
    explicit ScanCounts(unsigned restartInterval)
        : dc(NUM_HUFF_TBLS, Counts{}),
          ac(NUM_HUFF_TBLS, Counts{}),
          interval(restartInterval),
          restartsToGo(restartInterval) {}

    // Called before every MCU: the predictors start again at 0 after each
    // restart marker.
    void startMcu() {
        if (interval == 0) return;
        if (restartsToGo == 0) {
            std::fill(std::begin(lastDc), std::end(lastDc), 0);
            restartsToGo = interval;
        }
        --restartsToGo;
    }

    std::vector<Counts> dc, ac;
    int lastDc[MAX_COMPS_IN_SCAN] = {};
    unsigned interval;
    unsigned restartsToGo;
};

// A scan of one component is not interleaved: each block is an MCU.
bool countSingleComponent(j_decompress_ptr source, jvirt_barray_ptr* arrays, j_compress_ptr output,
                          ScanCounts& counts) {
    j_common_ptr common = reinterpret_cast<j_common_ptr>(source);
    const jpeg_component_info& info = source->comp_info[0];
    Counts& dcCounts = counts.dc[static_cast<std::size_t>(output->comp_info[0].dc_tbl_no)];
    Counts& acCounts = counts.ac[static_cast<std::size_t>(output->comp_info[0].ac_tbl_no)];
    for (JDIMENSION row = 0; row < info.height_in_blocks; ++row) {
        JBLOCKARRAY blocks = (*source->mem->access_virt_barray)(common, arrays[0], row, 1, FALSE);
        for (JDIMENSION column = 0; column < info.width_in_blocks; ++column) {
            counts.startMcu();
            const JCOEF* block = blocks[0][column];
            if (!countBlock(block, counts.lastDc[0], dcCounts, acCounts)) return false;
            counts.lastDc[0] = block[0];
        }
    }
    return true;
}

// The blocks of component c in the MCU at (mcuColumn, mcuRow), whose block
// rows are rows, padding blocks of the last MCU column and row included:
// the arrays reach to whole MCUs.
bool countMcuBlocks(j_decompress_ptr source, j_compress_ptr output, int c, JBLOCKARRAY rows, JDIMENSION mcuColumn,
                    ScanCounts& counts) {
    const jpeg_component_info& info = source->comp_info[c];
    const int h = info.h_samp_factor, v = info.v_samp_factor;
    Counts& dcCounts = counts.dc[static_cast<std::size_t>(output->comp_info[c].dc_tbl_no)];
    Counts& acCounts = counts.ac[static_cast<std::size_t>(output->comp_info[c].ac_tbl_no)];
    for (int y = 0; y < v; ++y)
        for (int x = 0; x < h; ++x) {
            const JCOEF* block = rows[y][mcuColumn * static_cast<JDIMENSION>(h) + static_cast<JDIMENSION>(x)];
            if (!countBlock(block, counts.lastDc[c], dcCounts, acCounts)) return false;
            counts.lastDc[c] = block[0];
        }
    return true;
}

bool countInterleaved(j_decompress_ptr source, jvirt_barray_ptr* arrays, j_compress_ptr output, ScanCounts& counts) {
    j_common_ptr common = reinterpret_cast<j_common_ptr>(source);
    const int components = source->num_components;
    const long unitW = 8L * largestFactor(source, true), unitH = 8L * largestFactor(source, false);
    const JDIMENSION mcusPerRow = static_cast<JDIMENSION>((source->image_width + unitW - 1) / unitW);
    const JDIMENSION mcuRows = static_cast<JDIMENSION>((source->image_height + unitH - 1) / unitH);
    JBLOCKARRAY rows[MAX_COMPS_IN_SCAN] = {};
    for (JDIMENSION mcuRow = 0; mcuRow < mcuRows; ++mcuRow) {
        for (int c = 0; c < components; ++c) {
            const JDIMENSION v = static_cast<JDIMENSION>(source->comp_info[c].v_samp_factor);
            rows[c] = (*source->mem->access_virt_barray)(common, arrays[c], mcuRow * v, v, FALSE);
        }
        for (JDIMENSION mcuColumn = 0; mcuColumn < mcusPerRow; ++mcuColumn) {
            counts.startMcu();
            for (int c = 0; c < components; ++c)
                if (!countMcuBlocks(source, output, c, rows[c], mcuColumn, counts)) return false;
        }
    }
    return true;
}

// The library's optimal table for each slot the components use, made once.
void makeTables(j_compress_ptr output, int components, ScanCounts& counts) {
    bool done[2][NUM_HUFF_TBLS] = {};
    for (int c = 0; c < components; ++c) {
        const int dcSlot = output->comp_info[c].dc_tbl_no, acSlot = output->comp_info[c].ac_tbl_no;
        if (!done[0][dcSlot]) {
            JHUFF_TBL*& table = output->dc_huff_tbl_ptrs[dcSlot];
            if (table == nullptr) table = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(output));
            jpeg_gen_optimal_table(output, table, counts.dc[static_cast<std::size_t>(dcSlot)].data());
            done[0][dcSlot] = true;
        }
        if (!done[1][acSlot]) {
            JHUFF_TBL*& table = output->ac_huff_tbl_ptrs[acSlot];
            if (table == nullptr) table = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(output));
            jpeg_gen_optimal_table(output, table, counts.ac[static_cast<std::size_t>(acSlot)].data());
            done[1][acSlot] = true;
        }
    }
}

}  // namespace

bool makeOptimalTables(j_decompress_ptr source, jvirt_barray_ptr* arrays, j_compress_ptr output) {
    if (!codesOneSequentialScan(source, output)) return false;
    ScanCounts counts(output->restart_interval);
    const bool counted = source->num_components == 1 ? countSingleComponent(source, arrays, output, counts)
                                                     : countInterleaved(source, arrays, output, counts);
    if (!counted) return false;
    makeTables(output, source->num_components, counts);
    return true;
}

void extendTable(j_compress_ptr output, const JHUFF_TBL& table, const std::bitset<256>& extra, JHUFF_TBL& out) {
    Counts frequency{};
    int next = 0;
    for (int length = 1; length <= 16; ++length)
        for (int i = 0; i < table.bits[length] && next < 256; ++i, ++next)
            frequency[table.huffval[next]] = 1L << (16 - length);
    for (int symbol = 0; symbol < 256; ++symbol)
        if (extra.test(static_cast<std::size_t>(symbol)) && frequency[static_cast<std::size_t>(symbol)] == 0)
            frequency[static_cast<std::size_t>(symbol)] = 1;
    jpeg_gen_optimal_table(output, &out, frequency.data());
}

}  // namespace speckmend
