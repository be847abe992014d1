// Writing the sample tools' files.
#include "shoot/files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace shoot {

namespace {

std::string exifSegment(int orientation) {
    // "Exif\0\0", then a little-endian TIFF header and one IFD with Make,
    // Orientation and Software.
    std::string s("Exif\0\0", 6);
    auto u16 = [&s](unsigned v) {
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>((v >> 8) & 0xFF);
    };
    auto u32 = [&s](unsigned v) {
        for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    const std::string make("Speckmend sample", 17);       // with its terminating NUL
    const std::string software("make_sample_shoot", 18);  // likewise
    const unsigned entries = 3;
    const unsigned ifdStart = 8;
    const unsigned dataStart = ifdStart + 2 + entries * 12 + 4;
    s += "II";
    u16(42);
    u32(ifdStart);
    u16(entries);
    u16(0x010F), u16(2), u32(static_cast<unsigned>(make.size())), u32(dataStart);  // Make
    u16(0x0112), u16(3), u32(1), u16(static_cast<unsigned>(orientation)), u16(0);  // Orientation
    u16(0x0131), u16(2), u32(static_cast<unsigned>(software.size())),
        u32(dataStart + static_cast<unsigned>(make.size()));  // Software
    u32(0);                                                   // no next IFD
    s += make;
    s += software;
    return s;
}

}  // namespace

void makeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) throw std::runtime_error("cannot create " + path);
}

std::string numbered(const std::string& stem, int number, int count, const std::string& extension) {
    const std::size_t digits = std::max<std::size_t>(2, std::to_string(count).size());
    std::string text = std::to_string(number);
    text.insert(0, digits - std::min(digits, text.size()), '0');
    return stem + text + extension;
}

std::string detectSection(const std::string& amount, const std::string& outimage) {
    return " <detect>\n"
           "  <filter>dark_*</filter>\n"
           "  <indir>dark/</indir>\n"
           "  <outfile>../hotpixels.xml</outfile>\n"
           "  <amount>" +
           amount +
           "</amount>\n"
           "  <channels>32</channels>\n"
           "  <hprad>3</hprad>\n"
           "  " +
           outimage +
           "\n"
           " </detect>\n";
}

void writeText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

void writePng(const std::string& path, const cv::Mat& image) {
    if (!cv::imwrite(path, image)) throw std::runtime_error("cannot write " + path);
}

std::string encodeJpeg(const cv::Mat& image, const JpegOptions& options) {
    CV_Assert(image.type() == CV_8UC1 || image.type() == CV_8UC3);

    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(image.cols);
    cinfo.image_height = static_cast<JDIMENSION>(image.rows);
    cinfo.input_components = image.channels();
    cinfo.in_color_space = image.channels() == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    cinfo.write_JFIF_header = FALSE;  // camera files carry Exif instead
    if (image.channels() == 3) {
        cinfo.comp_info[0].h_samp_factor = options.lumaH;
        cinfo.comp_info[0].v_samp_factor = options.lumaV;
        for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&cinfo, TRUE);
    const std::string exif = exifSegment(options.orientation);
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                      static_cast<unsigned>(exif.size()));
    if (!options.comment.empty()) {
        jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(options.comment.data()),
                          static_cast<unsigned>(options.comment.size()));
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.ptr<JSAMPLE>(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

void writeJpeg(const std::string& path, const cv::Mat& image, const JpegOptions& options) {
    writeText(path, encodeJpeg(image, options));
}

}  // namespace shoot
