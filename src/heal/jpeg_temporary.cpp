#include "heal/jpeg_temporary.h"

#include <opencv2/imgproc.hpp>

#include "heal/jpeg_codec.h"

namespace speckmend {

namespace {

struct SourceLayout {
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    int components = 0;
    J_COLOR_SPACE colorSpace = JCS_UNKNOWN;
    int hFactor[MAX_COMPONENTS] = {};
    int vFactor[MAX_COMPONENTS] = {};
};

void readLayout(JpegDecoder& source, JpegGuard& guard, const char* label, SourceLayout& layout) {
    source.create(guard, label);
    jpeg_read_header(&source.codec, TRUE);
    layout.width = source.codec.image_width;
    layout.height = source.codec.image_height;
    layout.components = source.codec.num_components;
    layout.colorSpace = source.codec.jpeg_color_space;
    for (int c = 0; c < layout.components && c < MAX_COMPONENTS; ++c) {
        layout.hFactor[c] = source.codec.comp_info[c].h_samp_factor;
        layout.vFactor[c] = source.codec.comp_info[c].v_samp_factor;
    }
}

void writePixels(JpegEncoder& output, JpegGuard& guard, const char* label, const SourceLayout& layout,
                 const cv::Mat& pixels) {
    output.create(guard, label);
    j_compress_ptr codec = &output.codec;
    j_common_ptr common = reinterpret_cast<j_common_ptr>(codec);
    const bool grey = layout.components == 1;
    const bool colour = layout.components == 3 &&
                        (layout.colorSpace == JCS_YCbCr || layout.colorSpace == JCS_RGB);
    if (!(grey && pixels.channels() == 1) && !(colour && pixels.channels() == 3))
        raiseJpegError(common, kJpegUnmatchedLayout, layout.components, layout.colorSpace, pixels.channels());
    if (static_cast<JDIMENSION>(pixels.cols) != layout.width || static_cast<JDIMENSION>(pixels.rows) != layout.height)
        raiseJpegError(common, kJpegImageSizeMismatch, pixels.cols, pixels.rows, static_cast<int>(layout.width),
                       static_cast<int>(layout.height));

    codec->image_width = layout.width;
    codec->image_height = layout.height;
    codec->input_components = pixels.channels();
    codec->in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(codec);
    jpeg_set_colorspace(codec, grey ? JCS_GRAYSCALE : layout.colorSpace);
    jpeg_set_quality(codec, 100, TRUE);
    if (!grey) {
        for (int c = 0; c < 3; ++c) {
            codec->comp_info[c].h_samp_factor = layout.hFactor[c];
            codec->comp_info[c].v_samp_factor = layout.vFactor[c];
        }
    }
    jpeg_start_compress(codec, TRUE);
    while (codec->next_scanline < codec->image_height) {
        // The library only reads the rows it is given.
        JSAMPROW row = const_cast<JSAMPLE*>(pixels.ptr<JSAMPLE>(static_cast<int>(codec->next_scanline)));
        jpeg_write_scanlines(codec, &row, 1);
    }
    jpeg_finish_compress(codec);
}

}  // namespace

bool writeTemporaryJpeg(const cv::Mat& image, const std::string& samplingSourcePath, const std::string& path) {
    bool written = false;
    if (!image.empty() && image.depth() == CV_8U && (image.channels() == 1 || image.channels() == 3)) {
        SourceLayout layout;
        bool read = false;
        {
            JpegGuard guard;
            JpegDecoder source;
            source.file = std::fopen(samplingSourcePath.c_str(), "rb");
            auto step = [&] { readLayout(source, guard, samplingSourcePath.c_str(), layout); };
            read = source.file != nullptr && runJpegGuarded(guard, step);
        }
        if (read) {
            cv::Mat pixels = image;
            // A grey JPEG may have been loaded as colour; its three channels
            // are equal, so the conversion gives back the grey values.
            if (layout.components == 1 && image.channels() == 3) cv::cvtColor(image, pixels, cv::COLOR_BGR2GRAY);
            JpegGuard guard;
            JpegEncoder output;
            output.file = std::fopen(path.c_str(), "wb");
            auto step = [&] { writePixels(output, guard, path.c_str(), layout, pixels); };
            written = output.file != nullptr && runJpegGuarded(guard, step);
            written = output.finish() && written;
        }
    }
    if (!written) removeWrittenJpeg(path);
    return written;
}

}  // namespace speckmend
