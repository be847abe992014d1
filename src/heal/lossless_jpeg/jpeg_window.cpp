// Windows of a JPEG: blocks to pixels and back; the reasoning is in the
// header.
#include "heal/lossless_jpeg/jpeg_window.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "heal/jpeg/jpeg_markers.h"

namespace speckmend {

namespace {

int largestFactor(j_decompress_ptr codec, bool horizontal) {
    int largest = 1;
    for (int c = 0; c < codec->num_components; ++c)
        largest = std::max(largest, horizontal ? codec->comp_info[c].h_samp_factor : codec->comp_info[c].v_samp_factor);
    return largest;
}

// Whether any pixel of mask rows [top, bottom) and columns [left, right) is
// set. Blocks are a few pixels wide, so a plain scan beats a per-block
// cv::countNonZero, whose call and dispatch cost more than the pixels; the
// scan reads eight pixels at a time, since nearly all of a window's mask is
// zero and every window scans it once per component.
bool anyRepaired(const cv::Mat& mask, int top, int bottom, int left, int right) {
    for (int y = top; y < bottom; ++y) {
        const unsigned char* row = mask.ptr<unsigned char>(y);
        int x = left;
        for (; x + 8 <= right; x += 8) {
            std::uint64_t eight;
            std::memcpy(&eight, row + x, sizeof eight);
            if (eight != 0) return true;
        }
        for (; x < right; ++x)
            if (row[x] != 0) return true;
    }
    return false;
}

j_common_ptr common(j_compress_ptr codec) { return reinterpret_cast<j_common_ptr>(codec); }
j_common_ptr common(j_decompress_ptr codec) { return reinterpret_cast<j_common_ptr>(codec); }

}  // namespace

cv::Rect JpegGrid::pixels(const cv::Rect& imcus) const {
    const int left = imcus.x * imcuWidth, top = imcus.y * imcuHeight;
    const int right = std::min(width, (imcus.x + imcus.width) * imcuWidth);
    const int bottom = std::min(height, (imcus.y + imcus.height) * imcuHeight);
    return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

JpegGrid gridOf(j_decompress_ptr source) {
    JpegGrid grid;
    grid.width = static_cast<int>(source->image_width);
    grid.height = static_cast<int>(source->image_height);
    // A single component is coded in 8 by 8 MCUs whatever its factors say.
    grid.imcuWidth = source->num_components == 1 ? 8 : 8 * largestFactor(source, true);
    grid.imcuHeight = source->num_components == 1 ? 8 : 8 * largestFactor(source, false);
    return grid;
}

int pixelChannels(j_decompress_ptr source) {
    if (source->num_components == 1 && source->jpeg_color_space == JCS_GRAYSCALE) return 1;
    if (source->num_components == 3 && (source->jpeg_color_space == JCS_YCbCr || source->jpeg_color_space == JCS_RGB))
        return 3;
    if (source->num_components == 4 && (source->jpeg_color_space == JCS_CMYK || source->jpeg_color_space == JCS_YCCK))
        return 4;
    return 0;
}

J_COLOR_SPACE pixelColorSpace(int channels) {
    return channels == 1 ? JCS_GRAYSCALE : channels == 4 ? JCS_CMYK : JCS_EXT_BGR;
}

void writeWindowBlocks(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus,
                       JpegEncoder& encoder, JpegGuard& guard, std::vector<unsigned char>& out, bool headerOnly) {
    encoder.createToMemory(guard, "window", out);
    j_compress_ptr window = &encoder.codec;
    jpeg_copy_critical_parameters(source, window);
    const cv::Rect area = gridOf(source).pixels(imcus);
    window->image_width = static_cast<JDIMENSION>(area.width);
    window->image_height = static_cast<JDIMENSION>(area.height);
    // The pixel decoder is told the colour space, but the donor's reader
    // learns it from these headers, and only an Adobe marker tells YCCK
    // from CMYK; nothing else needs to travel.
    window->write_JFIF_header = FALSE;
    window->write_Adobe_marker = source->num_components == 4;
    window->optimize_coding = FALSE;
    const bool single = source->num_components == 1;
    if (single) window->comp_info[0].h_samp_factor = window->comp_info[0].v_samp_factor = 1;

    jvirt_barray_ptr arrays[MAX_COMPONENTS] = {};
    for (int c = 0; c < source->num_components; ++c) {
        const int h = single ? 1 : source->comp_info[c].h_samp_factor;
        const int v = single ? 1 : source->comp_info[c].v_samp_factor;
        arrays[c] = (*window->mem->request_virt_barray)(
            common(window), JPOOL_IMAGE, headerOnly ? TRUE : FALSE, static_cast<JDIMENSION>(imcus.width * h),
            static_cast<JDIMENSION>(imcus.height * v), static_cast<JDIMENSION>(v));
    }
    (*window->mem->realize_virt_arrays)(common(window));
    for (int c = 0; !headerOnly && c < source->num_components; ++c) {
        const int h = single ? 1 : source->comp_info[c].h_samp_factor;
        const int v = single ? 1 : source->comp_info[c].v_samp_factor;
        const JDIMENSION firstColumn = static_cast<JDIMENSION>(imcus.x * h);
        const std::size_t columns = static_cast<std::size_t>(imcus.width) * h;
        for (int row = 0; row < imcus.height * v; ++row) {
            JBLOCKARRAY from = (*source->mem->access_virt_barray)(common(source), sourceArrays[c],
                                                                  static_cast<JDIMENSION>(imcus.y * v + row), 1, FALSE);
            JBLOCKARRAY to =
                (*window->mem->access_virt_barray)(common(window), arrays[c], static_cast<JDIMENSION>(row), 1, TRUE);
            std::memcpy(to[0][0], from[0][firstColumn], columns * sizeof(JBLOCK));
        }
    }
    jpeg_write_coefficients(window, arrays);
    // A take without arrays discards the blocks: the stream holds the headers.
    BlockTake discard;
    if (headerOnly) takeBlocksInsteadOfCoding(window, discard);
    jpeg_finish_compress(window);
}

void writeWindowHeader(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus,
                       JpegEncoder& encoder, JpegGuard& guard, std::vector<unsigned char>& out) {
    // Nothing of the source's blocks is read for headers only.
    writeWindowBlocks(source, nullptr, cv::Rect(0, 0, 1, 1), encoder, guard, out, true);
    const cv::Rect area = gridOf(source).pixels(imcus);
    // The segments from SOI on are the library's own: every one has a length.
    for (std::size_t at = 2; at + 9 <= out.size() && out[at] == jpeg_marker::kPrefix;) {
        const unsigned char code = out[at + 1];
        if (jpeg_marker::isFrameHeader(code)) {
            out[at + 5] = static_cast<unsigned char>(area.height >> 8);
            out[at + 6] = static_cast<unsigned char>(area.height & 0xFF);
            out[at + 7] = static_cast<unsigned char>(area.width >> 8);
            out[at + 8] = static_cast<unsigned char>(area.width & 0xFF);
            return;
        }
        if (code == jpeg_marker::kSos) break;
        at += 2 + (static_cast<std::size_t>(out[at + 2]) << 8 | out[at + 3]);
    }
    writeWindowBlocks(source, sourceArrays, imcus, encoder, guard, out, true);
}

BlockFeed windowFeed(j_decompress_ptr source, jvirt_barray_ptr* sourceArrays, const cv::Rect& imcus) {
    BlockFeed feed;
    feed.from = source;
    feed.arrays = sourceArrays;
    const bool single = source->num_components == 1;
    for (int c = 0; c < source->num_components; ++c) {
        feed.firstColumn[c] = static_cast<JDIMENSION>(imcus.x * (single ? 1 : source->comp_info[c].h_samp_factor));
        feed.firstRow[c] = static_cast<JDIMENSION>(imcus.y * (single ? 1 : source->comp_info[c].v_samp_factor));
    }
    return feed;
}

void decodeLikeImageReader(std::span<const unsigned char> bytes, J_COLOR_SPACE colorSpace, JpegDecoder& decoder,
                           JpegGuard& guard, cv::Mat& pixels, BlockFeed* feed) {
    decoder.createFromMemory(guard, "window", bytes);
    j_decompress_ptr codec = &decoder.codec;
    jpeg_read_header(codec, TRUE);
    codec->jpeg_color_space = colorSpace;
    // The image reader's own settings: the library's default IDCT and fancy
    // upsampling, blue-green-red or grey output; four components as the
    // library's CMYK (YCCK converted, Adobe's inversion kept).
    codec->out_color_space = pixelColorSpace(pixels.channels());
    jpeg_start_decompress(codec);
    if (feed != nullptr) feedBlocksInsteadOfDecoding(codec, *feed);
    // Rows are decoded straight into the caller's image.
    if (pixels.depth() != CV_8U || static_cast<JDIMENSION>(pixels.cols) != codec->output_width ||
        static_cast<JDIMENSION>(pixels.rows) != codec->output_height || pixels.channels() != codec->output_components)
        raiseJpegError(common(codec), kJpegImageSizeMismatch, pixels.cols, pixels.rows,
                       static_cast<int>(codec->output_width), static_cast<int>(codec->output_height));
    while (codec->output_scanline < codec->output_height) {
        JSAMPROW row = pixels.ptr<JSAMPLE>(static_cast<int>(codec->output_scanline));
        jpeg_read_scanlines(codec, &row, 1);
    }
    jpeg_finish_decompress(codec);
}

void encodeLikeSource(j_decompress_ptr source, const cv::Mat& pixels, JpegEncoder& encoder, JpegGuard& guard,
                      std::vector<unsigned char>& out, BlockTake* take) {
    encoder.createToMemory(guard, "donor", out);
    j_compress_ptr codec = &encoder.codec;
    if (pixels.empty() || pixels.depth() != CV_8U || pixels.channels() != pixelChannels(source))
        raiseJpegError(common(codec), kJpegUnmatchedLayout, source->num_components, source->jpeg_color_space,
                       pixels.channels());
    codec->image_width = static_cast<JDIMENSION>(pixels.cols);
    codec->image_height = static_cast<JDIMENSION>(pixels.rows);
    codec->input_components = pixels.channels();
    codec->in_color_space = pixelColorSpace(pixels.channels());
    jpeg_set_defaults(codec);
    jpeg_set_colorspace(codec, source->jpeg_color_space);
    codec->write_JFIF_header = FALSE;
    // A reader tells YCCK from CMYK by the Adobe marker alone, and the
    // donor's reader checks the colour space against the source's.
    codec->write_Adobe_marker = pixels.channels() == 4;
    codec->optimize_coding = FALSE;
    for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot) {
        const JQUANT_TBL* table = source->quant_tbl_ptrs[slot];
        if (table == nullptr) continue;
        // The decoder takes such a table; the encoder would divide by it.
        for (int k = 0; k < DCTSIZE2; ++k)
            if (table->quantval[k] == 0) raiseJpegError(common(codec), kJpegZeroQuantization, slot);
        if (codec->quant_tbl_ptrs[slot] == nullptr) codec->quant_tbl_ptrs[slot] = jpeg_alloc_quant_table(common(codec));
        std::memcpy(codec->quant_tbl_ptrs[slot]->quantval, table->quantval, sizeof table->quantval);
        codec->quant_tbl_ptrs[slot]->sent_table = FALSE;
    }
    const bool single = source->num_components == 1;
    for (int c = 0; c < source->num_components; ++c) {
        jpeg_component_info& to = codec->comp_info[c];
        const jpeg_component_info& from = source->comp_info[c];
        to.component_id = from.component_id;
        to.h_samp_factor = single ? 1 : from.h_samp_factor;
        to.v_samp_factor = single ? 1 : from.v_samp_factor;
        to.quant_tbl_no = from.quant_tbl_no;
    }
    jpeg_start_compress(codec, TRUE);
    if (take != nullptr) takeBlocksInsteadOfCoding(codec, *take);
    while (codec->next_scanline < codec->image_height) {
        // The library only reads the rows it is given.
        JSAMPROW row = const_cast<JSAMPLE*>(pixels.ptr<JSAMPLE>(static_cast<int>(codec->next_scanline)));
        jpeg_write_scanlines(codec, &row, 1);
    }
    jpeg_finish_compress(codec);
}

jvirt_barray_ptr* readCoefficients(std::span<const unsigned char> bytes, JpegDecoder& decoder, JpegGuard& guard) {
    decoder.createFromMemory(guard, "donor", bytes);
    jpeg_read_header(&decoder.codec, TRUE);
    return jpeg_read_coefficients(&decoder.codec);
}

RepairedBlocks findRepairedBlocks(const cv::Mat& mask, int components, const int* h, const int* v, int maxH, int maxV) {
    if (mask.type() != CV_8UC1 || components < 1 || components > MAX_COMPONENTS || maxH < 1 || maxV < 1)
        throw std::invalid_argument("findRepairedBlocks: 8-bit one-channel mask and a valid sampling needed");
    for (int c = 0; c < components; ++c)
        if (h[c] < 1 || v[c] < 1) throw std::invalid_argument("findRepairedBlocks: sampling factors must be positive");
    RepairedBlocks result;
    result.components = components;
    for (int c = 0; c < components; ++c) {
        // As the library counts them: ceil(size * factor / (8 * largest)).
        const int columns = static_cast<int>((static_cast<long>(mask.cols) * h[c] + 8L * maxH - 1) / (8L * maxH));
        const int rows = static_cast<int>((static_cast<long>(mask.rows) * v[c] + 8L * maxV - 1) / (8L * maxV));
        result.widthInBlocks[c] = columns;
        result.heightInBlocks[c] = rows;
        result.flags[c].assign(static_cast<std::size_t>(columns) * rows, 0);
        for (int row = 0; row < rows; ++row) {
            const int top = static_cast<int>(8L * row * maxV / v[c]);
            const int bottom = std::min<int>(mask.rows, static_cast<int>((8L * (row + 1) * maxV + v[c] - 1) / v[c]));
            for (int column = 0; column < columns; ++column) {
                const int left = static_cast<int>(8L * column * maxH / h[c]);
                const int right =
                    std::min<int>(mask.cols, static_cast<int>((8L * (column + 1) * maxH + h[c] - 1) / h[c]));
                if (left >= right || top >= bottom) continue;
                result.flags[c][static_cast<std::size_t>(row) * columns + column] =
                    anyRepaired(mask, top, bottom, left, right);
            }
        }
    }
    return result;
}

}  // namespace speckmend
