// libjpeg's decompressor over a memory source, rows written in place.
#include "platform/jpeg_image_decoder.h"

#include <algorithm>
#include <cstdint>

#include <jpeglib.h>

#include "platform/jpeg_error.h"

namespace speckmend {
namespace {

// The image library's reader refuses larger images (its default limit of
// 2^30 pixels and 2^20 per side); they are left to it, so that they fail as
// they always did.
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 30;
constexpr unsigned kLongestSide = 1u << 20;

// Everything the guarded steps touch; they hold no object with a
// destructor (see jpeg_error.h).
struct Decoding {
    jpeg_decompress_struct codec{};
    const std::vector<unsigned char>* bytes = nullptr;
    bool grey = false;
    cv::Mat* image = nullptr;
    bool taken = false;
};

// A grey file of whole blocks across, each block one pixel square of the
// image: its decoded blocks are the output rows themselves (the library's
// grey output is a plain copy of them), so the blocks are decoded straight
// into the image and that copy of every row is saved. A file whose width
// ends inside a block is left to the row interface: the blocks would reach
// past the end of each row.
bool blocksAreRows(const jpeg_decompress_struct& codec) {
    return codec.num_components == 1 && codec.comp_info[0].h_samp_factor == 1 &&
           codec.comp_info[0].v_samp_factor == 1 && codec.image_width % DCTSIZE == 0;
}

// The rows of the last band of blocks below the image go to one spare row.
void decodeBlocks(jpeg_decompress_struct& codec, cv::Mat& image) {
    const int band = codec.max_v_samp_factor * codec.min_DCT_scaled_size;
    JSAMPARRAY spare = (*codec.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&codec), JPOOL_IMAGE,
                                                  static_cast<JDIMENSION>(image.cols), 1);
    JSAMPROW rows[DCTSIZE * MAX_SAMP_FACTOR];
    while (codec.output_scanline < codec.output_height) {
        const int first = static_cast<int>(codec.output_scanline);
        for (int i = 0; i < band; ++i) rows[i] = first + i < image.rows ? image.ptr<JSAMPLE>(first + i) : spare[0];
        JSAMPARRAY planes[1] = {rows};
        jpeg_read_raw_data(&codec, planes, static_cast<JDIMENSION>(band));
    }
}

void decode(Decoding& d) {
    jpeg_decompress_struct& codec = d.codec;
    jpeg_mem_src(&codec, d.bytes->data(), static_cast<unsigned long>(d.bytes->size()));
    jpeg_read_header(&codec, TRUE);
    const bool colour = !d.grey && codec.num_components == 3;
    if ((codec.num_components != 1 && codec.num_components != 3) || codec.image_width > kLongestSide ||
        codec.image_height > kLongestSide ||
        std::uint64_t{codec.image_width} * codec.image_height > kMostPixels) {
        return;
    }
    codec.out_color_space = colour ? JCS_EXT_BGR : JCS_GRAYSCALE;
    const bool blocks = blocksAreRows(codec);
    codec.raw_data_out = blocks ? TRUE : FALSE;
    jpeg_start_decompress(&codec);
    d.image->create(static_cast<int>(codec.output_height), static_cast<int>(codec.output_width),
                    colour ? CV_8UC3 : CV_8UC1);
    if (blocks) {
        decodeBlocks(codec, *d.image);
        jpeg_finish_decompress(&codec);
        d.taken = true;
        return;
    }
    while (codec.output_scanline < codec.output_height) {
        JSAMPROW rows[4];
        const int take = std::min<int>(4, static_cast<int>(codec.output_height - codec.output_scanline));
        for (int i = 0; i < take; ++i) rows[i] = d.image->ptr<JSAMPLE>(static_cast<int>(codec.output_scanline) + i);
        jpeg_read_scanlines(&codec, rows, static_cast<JDIMENSION>(take));
    }
    jpeg_finish_decompress(&codec);
    d.taken = true;
}

}  // namespace

JpegDecoding decodeJpegImage(const std::vector<unsigned char>& bytes, bool grey, cv::Mat& image) {
    image.release();
    if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF) return JpegDecoding::notHandled;
    Decoding d;
    d.bytes = &bytes;
    d.grey = grey;
    d.image = &image;
    JpegGuard guard;
    JpegErrorManager errors;
    d.codec.err = initJpegErrorManager(errors, guard, "frame");
    bool created = false;
    auto step = [&d, &created] {
        jpeg_create_decompress(&d.codec);
        created = true;
        decode(d);
    };
    bool finished = false;
    try {
        finished = runJpegGuarded(guard, step) && d.taken;
    } catch (...) {
        // The image's storage could not be had.
        if (created) jpeg_destroy_decompress(&d.codec);
        throw;
    }
    if (created) jpeg_destroy_decompress(&d.codec);
    if (!finished) {
        image.release();
        return JpegDecoding::notHandled;
    }
    return JpegDecoding::decoded;
}

}  // namespace speckmend
