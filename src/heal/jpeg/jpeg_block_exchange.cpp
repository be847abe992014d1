// The block exchange with libjpeg's codecs; see jpeg_block_exchange.h.
#include "heal/jpeg/jpeg_block_exchange.h"

#include <algorithm>
#include <cstring>

// The entropy module's interface (start_pass, encode_mcu or decode_mcu,
// finish_pass), which the library installs with its headers.
#include <jpegint.h>

namespace speckmend {

namespace {

j_common_ptr common(j_decompress_ptr codec) { return reinterpret_cast<j_common_ptr>(codec); }

// Where block blkn of an MCU lies in its component: the component's index
// and the block's column and row, counted over the whole image. Blocks of
// an MCU come component by component in scan order, each component's rows
// top to bottom; MCUs come row by row.
struct BlockPlace {
    jpeg_component_info* component;
    JDIMENSION column;
    JDIMENSION row;
};

template <typename Codec, typename Visit>
void forEachBlock(Codec codec, JDIMENSION mcu, Visit visit) {
    const JDIMENSION mcuColumn = mcu % codec->MCUs_per_row, mcuRow = mcu / codec->MCUs_per_row;
    int blkn = 0;
    for (int ci = 0; ci < codec->comps_in_scan; ++ci) {
        jpeg_component_info* component = codec->cur_comp_info[ci];
        for (int y = 0; y < component->MCU_height; ++y)
            for (int x = 0; x < component->MCU_width; ++x, ++blkn)
                visit(blkn, BlockPlace{component, mcuColumn * component->MCU_width + static_cast<JDIMENSION>(x),
                                       mcuRow * component->MCU_height + static_cast<JDIMENSION>(y)});
    }
}

boolean feedMcu(j_decompress_ptr decoder, JBLOCKROW* blocks) {
    BlockFeed& feed = *static_cast<BlockFeed*>(decoder->client_data);
    forEachBlock(decoder, feed.nextMcu, [&](int blkn, const BlockPlace& place) {
        JCOEF* to = blocks[blkn][0];
        const jpeg_component_info& component = *place.component;
        if (place.column >= component.width_in_blocks || place.row >= component.height_in_blocks) {
            std::fill(to, to + DCTSIZE2, JCOEF{0});
            return;
        }
        const int c = component.component_index;
        JBLOCKARRAY from = (*feed.from->mem->access_virt_barray)(common(feed.from), feed.arrays[c],
                                                                 feed.firstRow[c] + place.row, 1, FALSE);
        std::memcpy(to, from[0][feed.firstColumn[c] + place.column], sizeof(JBLOCK));
    });
    ++feed.nextMcu;
    return TRUE;
}

boolean takeMcu(j_compress_ptr encoder, JBLOCKROW* blocks) {
    BlockTake& take = *static_cast<BlockTake*>(encoder->client_data);
    if (take.arrays != nullptr) {
        forEachBlock(encoder, take.nextMcu, [&](int blkn, const BlockPlace& place) {
            const int c = place.component->component_index;
            const jpeg_component_info& into = take.into->comp_info[c];
            // The arrays reach to whole MCUs, as the decoder's do.
            const auto columns = static_cast<JDIMENSION>((into.width_in_blocks + into.h_samp_factor - 1) /
                                                         into.h_samp_factor * into.h_samp_factor);
            const auto rows = static_cast<JDIMENSION>((into.height_in_blocks + into.v_samp_factor - 1) /
                                                      into.v_samp_factor * into.v_samp_factor);
            if (place.column >= columns || place.row >= rows) return;
            JBLOCKARRAY to =
                (*take.into->mem->access_virt_barray)(common(take.into), take.arrays[c], place.row, 1, TRUE);
            std::memcpy(to[0][place.column], blocks[blkn][0], sizeof(JBLOCK));
        });
    }
    ++take.nextMcu;
    return TRUE;
}

void finishNothing(j_compress_ptr) {}

// The library's start_pass sets its own encode_mcu and finish_pass; when it
// runs after the exchange was installed (jpeg_write_coefficients starts the
// pass only in jpeg_finish_compress), they are put back to the exchange's.
void startTakingPass(j_compress_ptr encoder, boolean gatherStatistics) {
    BlockTake& take = *static_cast<BlockTake*>(encoder->client_data);
    (*take.libraryStartPass)(encoder, gatherStatistics);
    encoder->entropy->encode_mcu = takeMcu;
    encoder->entropy->finish_pass = finishNothing;
    take.nextMcu = 0;
}

}  // namespace

void pointAtSourcePadding(j_compress_ptr encoder, j_decompress_ptr from, jvirt_barray_ptr* arrays, JDIMENSION mcu,
                          JBLOCKROW* blocks) {
    // Only the MCUs of the last column and row hold padding blocks.
    const JDIMENSION mcuColumn = mcu % encoder->MCUs_per_row, mcuRow = mcu / encoder->MCUs_per_row;
    if (encoder->comps_in_scan < 2 || (mcuColumn + 1 < encoder->MCUs_per_row && mcuRow + 1 < encoder->MCU_rows_in_scan))
        return;
    forEachBlock(encoder, mcu, [&](int blkn, const BlockPlace& place) {
        const jpeg_component_info& component = *place.component;
        if (place.column < component.width_in_blocks && place.row < component.height_in_blocks) return;
        JBLOCKARRAY row =
            (*from->mem->access_virt_barray)(common(from), arrays[component.component_index], place.row, 1, FALSE);
        blocks[blkn] = row[0] + place.column;
    });
}

void feedBlocksInsteadOfDecoding(j_decompress_ptr decoder, BlockFeed& feed) {
    feed.nextMcu = 0;
    decoder->client_data = &feed;
    decoder->entropy->decode_mcu = feedMcu;
}

void takeBlocksInsteadOfCoding(j_compress_ptr encoder, BlockTake& take) {
    take.nextMcu = 0;
    encoder->client_data = &take;
    take.libraryStartPass = encoder->entropy->start_pass;
    encoder->entropy->start_pass = startTakingPass;
    encoder->entropy->encode_mcu = takeMcu;
    encoder->entropy->finish_pass = finishNothing;
}

jvirt_barray_ptr* requestCoefficientArrays(j_decompress_ptr decoder) {
    auto* arrays = static_cast<jvirt_barray_ptr*>((*decoder->mem->alloc_small)(
        common(decoder), JPOOL_IMAGE, sizeof(jvirt_barray_ptr) * static_cast<std::size_t>(decoder->num_components)));
    for (int c = 0; c < decoder->num_components; ++c) {
        const jpeg_component_info& info = decoder->comp_info[c];
        const long h = info.h_samp_factor, v = info.v_samp_factor;
        arrays[c] = (*decoder->mem->request_virt_barray)(
            common(decoder), JPOOL_IMAGE, TRUE, static_cast<JDIMENSION>((info.width_in_blocks + h - 1) / h * h),
            static_cast<JDIMENSION>((info.height_in_blocks + v - 1) / v * v), static_cast<JDIMENSION>(v));
    }
    (*decoder->mem->realize_virt_arrays)(common(decoder));
    return arrays;
}

}  // namespace speckmend
