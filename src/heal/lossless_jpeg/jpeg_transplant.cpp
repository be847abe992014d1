#include "heal/lossless_jpeg/jpeg_transplant.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

#include <jerror.h>

#include "heal/jpeg/jpeg_markers.h"

namespace speckmend {

namespace {

constexpr int kCellSize = 16;

int largestFactor(j_decompress_ptr codec, bool horizontal) {
    int largest = 1;
    for (int c = 0; c < codec->num_components; ++c) {
        const jpeg_component_info& component = codec->comp_info[c];
        largest = std::max(largest, horizontal ? component.h_samp_factor : component.v_samp_factor);
    }
    return largest;
}

// The table a component's blocks are quantized with: the one latched at its
// first scan, or its slot's when it never had a scan (its blocks are all 0).
const JQUANT_TBL* componentTable(j_decompress_ptr codec, int c) {
    const jpeg_component_info& component = codec->comp_info[c];
    if (component.quant_table != nullptr) return component.quant_table;
    return codec->quant_tbl_ptrs[component.quant_tbl_no];
}

// Whole iMCUs of size `unit` that cover [start, start + length), outward.
void toImcus(std::uint32_t start, std::uint32_t length, int unit, std::uint32_t& first, std::uint32_t& count) {
    const std::uint32_t end = start + length;
    first = start / unit;
    count = (end + unit - 1) / unit - first;
}

}  // namespace

void adjustDropParameters(j_decompress_ptr source, j_compress_ptr output) {
    if (source->num_components == 1) {
        output->comp_info[0].h_samp_factor = 1;
        output->comp_info[0].v_samp_factor = 1;
    }
    output->image_width = source->image_width;
    output->image_height = source->image_height;
    // The Exif block carries the picture's description; a JFIF header in
    // front of it would make the file neither clean Exif nor clean JFIF.
    if (source->marker_list != nullptr && isExifMarker(source->marker_list)) output->write_JFIF_header = FALSE;
}

void prepareDrop(j_decompress_ptr source, DonorRegion& region) {
    j_decompress_ptr healed = region.healedSource;
    region.componentCount = source->num_components;
    region.imcuSampleWidth = source->num_components == 1 ? 1 : largestFactor(source, true);
    region.imcuSampleHeight = source->num_components == 1 ? 1 : largestFactor(source, false);

    // Blocks are copied position for position, so both images must cut the
    // same picture into the same blocks and code them the same way.
    j_common_ptr codec = reinterpret_cast<j_common_ptr>(source);
    // The donor is the source's window, clipped to the source.
    const std::uint64_t unitW = 8u * region.imcuSampleWidth, unitH = 8u * region.imcuSampleHeight;
    auto windowSize = [](std::uint64_t start, std::uint64_t count, std::uint64_t unit, std::uint64_t whole) {
        if (count == 0) return whole;
        const std::uint64_t first = start * unit;
        return first >= whole ? std::uint64_t{0} : std::min(whole, first + count * unit) - first;
    };
    const std::uint64_t expectedWidth =
        windowSize(region.donorImcuX, region.donorImcuWidth, unitW, source->image_width);
    const std::uint64_t expectedHeight =
        windowSize(region.donorImcuY, region.donorImcuHeight, unitH, source->image_height);
    if (healed->image_width != expectedWidth || healed->image_height != expectedHeight)
        raiseJpegError(codec, kJpegHealedSizeMismatch, static_cast<int>(healed->image_width),
                       static_cast<int>(healed->image_height), static_cast<int>(expectedWidth),
                       static_cast<int>(expectedHeight));
    if (healed->num_components != source->num_components)
        raiseJpegError(codec, kJpegComponentCountMismatch, healed->num_components, source->num_components);
    if (healed->jpeg_color_space != source->jpeg_color_space)
        raiseJpegError(codec, kJpegColorSpaceMismatch, healed->jpeg_color_space, source->jpeg_color_space);

    const int sourceMaxH = largestFactor(source, true), sourceMaxV = largestFactor(source, false);
    const int healedMaxH = largestFactor(healed, true), healedMaxV = largestFactor(healed, false);
    for (int c = 0; c < source->num_components; ++c) {
        const int sh = source->comp_info[c].h_samp_factor, hh = healed->comp_info[c].h_samp_factor;
        if (sh * healedMaxH != hh * sourceMaxH)
            ERREXIT6(source, JERR_BAD_DROP_SAMPLING, c, hh, healedMaxH, sh, sourceMaxH, 'h');
    }
    for (int c = 0; c < source->num_components; ++c) {
        const int sv = source->comp_info[c].v_samp_factor, hv = healed->comp_info[c].v_samp_factor;
        if (sv * healedMaxV != hv * sourceMaxV)
            ERREXIT6(source, JERR_BAD_DROP_SAMPLING, c, hv, healedMaxV, sv, sourceMaxV, 'v');
    }
}

namespace {
void placeCells(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
                std::int64_t bx, std::int64_t by, std::int64_t ex, std::int64_t ey);
}  // namespace

void placeRegion(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
                 const HotPixel& pixel) {
    // Cells of the 16-pixel grid; the division truncates toward zero, so a
    // square that reaches up to 15 pixels past the left or top edge starts at
    // cell 0.
    const std::int64_t x = pixel.x, y = pixel.y, r = pixel.r;
    const std::int64_t bx = (x - r) / kCellSize, by = (y - r) / kCellSize;
    const std::int64_t ex = (x + r) / kCellSize, ey = (y + r) / kCellSize;
    if (ex < bx || ey < by) return;
    placeCells(source, sourceArrays, output, region, bx, by, ex, ey);
}

void placeArea(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
               std::int64_t left, std::int64_t top, std::int64_t right, std::int64_t bottom) {
    if (right <= left || bottom <= top) return;
    auto floorCell = [](std::int64_t a) { return a >= 0 ? a / kCellSize : -((-a + kCellSize - 1) / kCellSize); };
    placeCells(source, sourceArrays, output, region, floorCell(left), floorCell(top), floorCell(right - 1),
               floorCell(bottom - 1));
}

namespace {

// Cells bx..ex by by..ey (inclusive) of the 16-pixel grid.
void placeCells(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_compress_ptr output, DonorRegion& region,
                std::int64_t bx, std::int64_t by, std::int64_t ex, std::int64_t ey) {
    // Clipped to the image: a region next to an edge repairs the blocks that
    // exist, partial edge blocks included.
    const std::int64_t left = std::max<std::int64_t>(0, kCellSize * bx);
    const std::int64_t top = std::max<std::int64_t>(0, kCellSize * by);
    const std::int64_t right = std::min<std::int64_t>(source->image_width, kCellSize * (ex + 1));
    const std::int64_t bottom = std::min<std::int64_t>(source->image_height, kCellSize * (ey + 1));
    if (left >= right || top >= bottom) return;
    region.cropX = static_cast<std::uint32_t>(left);
    region.cropY = static_cast<std::uint32_t>(top);
    region.cropWidth = static_cast<std::uint32_t>(right - left);
    region.cropHeight = static_cast<std::uint32_t>(bottom - top);

    // With sampling factors of 1 or 2 a cell is whole iMCUs; with 3 or 4 the
    // iMCU is larger than a cell and the region grows to the iMCUs holding
    // it, so that the hot pixel is always covered.
    toImcus(region.cropX, region.cropWidth, 8 * region.imcuSampleWidth, region.imcuX, region.imcuWidth);
    toImcus(region.cropY, region.cropHeight, 8 * region.imcuSampleHeight, region.imcuY, region.imcuHeight);

    if (!region.quantizationReconciled) {
        reconcileQuantization(source, sourceArrays, region.healedSource, region.healedCoefficients, output);
        region.quantizationReconciled = true;
    }
    copyRegionBlocks(source, output, region.imcuX, region.imcuY, sourceArrays, region.healedSource,
                     region.healedCoefficients, region.imcuWidth, region.imcuHeight, region.donorImcuX,
                     region.donorImcuY);
}

}  // namespace

void reconcileQuantization(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, j_decompress_ptr healed,
                           jvirt_barray_ptr* healedArrays, j_compress_ptr output) {
    const int count = std::min(output->num_components, healed->num_components);
    // First every slot's final table: components sharing a slot (usually the
    // two chroma components) must end up with one table that divides all of
    // their source and healed entries.
    for (int c = 0; c < count; ++c) {
        const JQUANT_TBL* sourceTable = componentTable(source, c);
        const JQUANT_TBL* healedTable = componentTable(healed, c);
        JQUANT_TBL* outputTable = output->quant_tbl_ptrs[output->comp_info[c].quant_tbl_no];
        if (sourceTable == nullptr || healedTable == nullptr || outputTable == nullptr) continue;
        for (int k = 0; k < DCTSIZE2; ++k) {
            if (sourceTable->quantval[k] == healedTable->quantval[k]) continue;
            outputTable->quantval[k] = static_cast<UINT16>(
                std::gcd(std::gcd(outputTable->quantval[k], sourceTable->quantval[k]), healedTable->quantval[k]));
        }
    }
    for (int c = 0; c < count; ++c) {
        const JQUANT_TBL* outputTable = output->quant_tbl_ptrs[output->comp_info[c].quant_tbl_no];
        if (outputTable == nullptr) continue;
        requantize(source, c, sourceArrays[c], *outputTable);
        requantize(healed, c, healedArrays[c], *outputTable);
    }
}

void requantize(j_decompress_ptr codec, int component, jvirt_barray_ptr array, const JQUANT_TBL& newTable) {
    const JQUANT_TBL* table = componentTable(codec, component);
    if (table == nullptr) return;
    int factor[DCTSIZE2];
    bool changes = false;
    for (int k = 0; k < DCTSIZE2; ++k) {
        factor[k] = newTable.quantval[k] == 0 ? 1 : table->quantval[k] / newTable.quantval[k];
        changes = changes || factor[k] != 1;
    }
    if (!changes) return;
    const jpeg_component_info& info = codec->comp_info[component];
    for (JDIMENSION row = 0; row < info.height_in_blocks; ++row) {
        JBLOCKARRAY rows =
            (*codec->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(codec), array, row, 1, TRUE);
        for (JDIMENSION column = 0; column < info.width_in_blocks; ++column) {
            JCOEF* block = rows[0][column];
            for (int k = 0; k < DCTSIZE2; ++k) {
                // Only a corrupt block can leave the 16-bit range; saturated,
                // the encoder refuses it instead of writing a wrapped value.
                const long value = static_cast<long>(block[k]) * factor[k];
                block[k] = static_cast<JCOEF>(
                    std::clamp<long>(value, std::numeric_limits<JCOEF>::min(), std::numeric_limits<JCOEF>::max()));
            }
        }
    }
}

void copyRegionBlocks(j_decompress_ptr source, j_compress_ptr output, std::uint32_t imcuX, std::uint32_t imcuY,
                      jvirt_barray_ptr* sourceArrays, j_decompress_ptr healed, jvirt_barray_ptr* healedArrays,
                      std::uint32_t imcuWidth, std::uint32_t imcuHeight, std::uint32_t donorImcuX,
                      std::uint32_t donorImcuY) {
    const int count = std::min(output->num_components, healed->num_components);
    for (int c = 0; c < count; ++c) {
        const std::uint64_t h = output->comp_info[c].h_samp_factor, v = output->comp_info[c].v_samp_factor;
        // The arrays are padded to whole iMCUs, but only blocks inside
        // width_in_blocks x height_in_blocks are ever written out; the
        // donor's blocks are those of its window, which prepareDrop has
        // matched to the source.
        const std::uint64_t donorColumn = donorImcuX * h, donorRow = donorImcuY * v;
        const std::uint64_t columns = std::min<std::uint64_t>(source->comp_info[c].width_in_blocks,
                                                              donorColumn + healed->comp_info[c].width_in_blocks);
        const std::uint64_t rows = std::min<std::uint64_t>(source->comp_info[c].height_in_blocks,
                                                           donorRow + healed->comp_info[c].height_in_blocks);
        const std::uint64_t firstColumn = std::max(donorColumn, imcuX * h);
        const std::uint64_t endColumn = std::min(columns, (imcuX + imcuWidth) * h);
        const std::uint64_t firstRow = std::max(donorRow, imcuY * v);
        const std::uint64_t endRow = std::min(rows, (imcuY + imcuHeight) * v);
        if (firstColumn >= endColumn) continue;
        for (std::uint64_t row = firstRow; row < endRow; ++row) {
            JBLOCKARRAY target = (*source->mem->access_virt_barray)(
                reinterpret_cast<j_common_ptr>(source), sourceArrays[c], static_cast<JDIMENSION>(row), 1, TRUE);
            JBLOCKARRAY donor =
                (*healed->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(healed), healedArrays[c],
                                                   static_cast<JDIMENSION>(row - donorRow), 1, FALSE);
            std::memcpy(target[0][firstColumn], donor[0][firstColumn - donorColumn],
                        (endColumn - firstColumn) * sizeof(JBLOCK));
        }
    }
}

}  // namespace speckmend
