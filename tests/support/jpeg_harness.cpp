// The JPEG test harness; see jpeg_harness.h.
#include "jpeg_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "heal/jpeg/jpeg_codec.h"
#include "test_support.h"

namespace speckmend::testing {

namespace {

struct Reader {
    JpegGuard guard;
    JpegDecoder decoder;
    jvirt_barray_ptr* arrays = nullptr;
};

void readCoefficients(Reader& reader, std::span<const unsigned char> bytes) {
    reader.decoder.createFromMemory(reader.guard, "test bytes", bytes);
    jpeg_save_markers(&reader.decoder.codec, JPEG_COM, 0xFFFF);
    for (int n = 0; n < 16; ++n) jpeg_save_markers(&reader.decoder.codec, JPEG_APP0 + n, 0xFFFF);
    jpeg_read_header(&reader.decoder.codec, TRUE);
    reader.arrays = jpeg_read_coefficients(&reader.decoder.codec);
}

void copyBlocks(Reader& reader, JpegFile& file) {
    j_decompress_ptr codec = &reader.decoder.codec;
    for (int c = 0; c < codec->num_components; ++c) {
        Component& component = file.components[c];
        for (int row = 0; row < component.heightInBlocks; ++row) {
            JBLOCKARRAY rows = (*codec->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(codec),
                                                                 reader.arrays[c], row, 1, FALSE);
            std::memcpy(component.blocks.data() + static_cast<std::size_t>(row) * component.widthInBlocks * 64,
                        rows[0][0], sizeof(JBLOCK) * component.widthInBlocks);
        }
    }
}

// After the header and coefficients are read.
bool fill(Reader& reader, JpegFile& file) {
    j_decompress_ptr codec = &reader.decoder.codec;
    file.width = static_cast<int>(codec->image_width);
    file.height = static_cast<int>(codec->image_height);
    file.colorSpace = codec->jpeg_color_space;
    file.progressive = codec->progressive_mode;
    file.arithmetic = codec->arith_code;
    file.restartInterval = static_cast<int>(codec->restart_interval);
    file.warnings = static_cast<int>(reader.decoder.errors.library.num_warnings);
    file.components.assign(codec->num_components, {});
    for (int c = 0; c < codec->num_components; ++c) {
        const jpeg_component_info& info = codec->comp_info[c];
        Component& component = file.components[c];
        component.h = info.h_samp_factor;
        component.v = info.v_samp_factor;
        component.widthInBlocks = static_cast<int>(info.width_in_blocks);
        component.heightInBlocks = static_cast<int>(info.height_in_blocks);
        const JQUANT_TBL* table = info.quant_table ? info.quant_table : codec->quant_tbl_ptrs[info.quant_tbl_no];
        for (int k = 0; k < 64; ++k) component.table[k] = table->quantval[k];
        component.blocks.assign(static_cast<std::size_t>(component.widthInBlocks) * component.heightInBlocks * 64, 0);
    }
    for (jpeg_saved_marker_ptr m = codec->marker_list; m != nullptr; m = m->next)
        file.markers.push_back({m->marker, std::string(reinterpret_cast<const char*>(m->data), m->data_length)});
    auto copy = [&] { copyBlocks(reader, file); };
    return runJpegGuarded(reader.guard, copy);
}

}  // namespace

bool readJpeg(const std::string& path, JpegFile& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    const std::string bytes = readFile(path);
    return readJpeg(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
                    file);
}

bool readJpeg(std::span<const unsigned char> bytes, JpegFile& file) {
    Reader reader;
    auto read = [&] { readCoefficients(reader, bytes); };
    return runJpegGuarded(reader.guard, read) && fill(reader, file);
}

namespace {

// One segment of a JPEG: from its marker to its end, for a scan header the
// entropy-coded data after it included.
struct Segment {
    unsigned char code = 0;
    std::size_t begin = 0, headerEnd = 0, end = 0;
};

bool isFrame(unsigned char code) {
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// The segments up to the EOI (included); empty when the bytes are not a
// JPEG of whole segments.
std::vector<Segment> segmentsOf(std::span<const unsigned char> jpeg) {
    std::vector<Segment> segments;
    std::size_t at = 0;
    while (at + 1 < jpeg.size() && jpeg[at] == 0xFF) {
        Segment segment{jpeg[at + 1], at, at + 2, at + 2};
        if (segment.code == 0xD8 || segment.code == 0xD9) {
            segments.push_back(segment);
            if (segment.code == 0xD9) return segments;
            at += 2;
            continue;
        }
        if (at + 4 > jpeg.size()) return {};
        segment.headerEnd = segment.end = at + 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (segment.code == 0xDA) {
            // The data runs to the first marker but stuffed zeros and restarts.
            std::size_t next = segment.end;
            while (next + 1 < jpeg.size() &&
                   (jpeg[next] != 0xFF || jpeg[next + 1] == 0 || (jpeg[next + 1] >= 0xD0 && jpeg[next + 1] <= 0xD7)))
                next += jpeg[next] == 0xFF ? 2 : 1;
            segment.end = next;
        }
        if (segment.end > jpeg.size()) return {};
        segments.push_back(segment);
        at = segment.end;
    }
    return {};
}

std::string bytesOf(std::span<const unsigned char> jpeg, std::size_t begin, std::size_t end) {
    return std::string(jpeg.begin() + static_cast<long>(begin), jpeg.begin() + static_cast<long>(end));
}

unsigned intervalOf(std::span<const unsigned char> jpeg, const Segment& dri) {
    return static_cast<unsigned>(jpeg[dri.begin + 4]) << 8 | jpeg[dri.begin + 5];
}

// The scans of one encode per interval, each scan from the encode of its
// own interval and preceded by a DRI: the headers up to the frame come from
// the first encode, and every scan takes the tables its encode defined
// after the scan before.
std::vector<unsigned char> spliceScans(const std::vector<std::vector<unsigned char>>& encodes,
                                       const std::vector<unsigned>& intervals) {
    std::vector<std::vector<std::vector<std::string>>> units(encodes.size());  // per encode, per scan: segments
    std::string out;
    for (std::size_t e = 0; e < encodes.size(); ++e) {
        const std::vector<Segment> segments = segmentsOf(encodes[e]);
        bool framed = false;
        std::vector<std::string> unit;
        for (const Segment& segment : segments) {
            const std::string bytes = bytesOf(encodes[e], segment.begin, segment.end);
            if (!framed) {
                if (e == 0) out += bytes;
                framed = isFrame(segment.code);
                continue;
            }
            if (segment.code == 0xDD || segment.code == 0xD9) continue;
            unit.push_back(bytes);
            if (segment.code == 0xDA) units[e].push_back(std::exchange(unit, {}));
        }
    }
    for (std::size_t scan = 0; scan < units[0].size(); ++scan) {
        const std::size_t e = scan % encodes.size();
        if (scan >= units[e].size()) return {};
        const unsigned interval = intervals[e];
        out += std::string("\xFF\xDD\x00\x04", 4);
        out += static_cast<char>(interval >> 8);
        out += static_cast<char>(interval & 0xFF);
        for (const std::string& bytes : units[e][scan]) out += bytes;
    }
    out += "\xFF\xD9";
    return std::vector<unsigned char>(out.begin(), out.end());
}

}  // namespace

std::vector<ScanLayout> scanLayout(std::span<const unsigned char> jpeg) {
    std::vector<ScanLayout> scans;
    unsigned interval = 0;
    for (const Segment& segment : segmentsOf(jpeg)) {
        if (segment.code == 0xDD) interval = intervalOf(jpeg, segment);
        if (segment.code != 0xDA) continue;
        ScanLayout scan;
        scan.header = bytesOf(jpeg, segment.begin + 4, segment.headerEnd);
        scan.restartInterval = interval;
        scan.data = bytesOf(jpeg, segment.headerEnd, segment.end);
        for (std::size_t i = 0; i + 1 < scan.data.size(); ++i)
            if (scan.data[i] == '\xFF' && (scan.data[i + 1] & 0xF8) == 0xD0) ++scan.restarts;
        scans.push_back(scan);
    }
    return scans;
}

// Deterministic picture with detail at every frequency, so that blocks carry
// many non-zero coefficients.
cv::Mat testPicture(int width, int height, int channels, unsigned seed) {
    cv::Mat picture(height, width, CV_8UC(channels));
    unsigned state = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c) {
                state = state * 1103515245u + 12345u;
                const int noise = static_cast<int>((state >> 16) % 41) - 20;
                const int value = (x * (3 + c) + y * (5 - c) + ((x / 7 + y / 5) % 2) * 60) % 200 + 28 + noise;
                picture.ptr<unsigned char>(y)[x * channels + c] = static_cast<unsigned char>(std::clamp(value, 0, 255));
            }
        }
    }
    return picture;
}

namespace {

struct Writer {
    JpegGuard guard;
    JpegEncoder encoder;
};

void encode(Writer& writer, const SourceRecipe& recipe, const cv::Mat& picture, std::vector<unsigned char>& out) {
    writer.encoder.createToMemory(writer.guard, "test source", out);
    j_compress_ptr codec = &writer.encoder.codec;
    codec->image_width = picture.cols;
    codec->image_height = picture.rows;
    codec->input_components = picture.channels();
    const int channels = picture.channels();
    codec->in_color_space = channels == 1   ? JCS_GRAYSCALE
                            : channels == 3 ? JCS_EXT_BGR
                            : channels == 4 ? JCS_CMYK
                                            : JCS_UNKNOWN;
    jpeg_set_defaults(codec);
    jpeg_set_colorspace(codec, recipe.colorSpace);
    jpeg_set_quality(codec, recipe.quality, TRUE);
    for (std::size_t slot = 0; slot < recipe.tables.size(); ++slot)
        jpeg_add_quant_table(codec, static_cast<int>(slot), recipe.tables[slot].data(), 100, TRUE);
    for (std::size_t c = 0; c < recipe.tableSlots.size(); ++c) codec->comp_info[c].quant_tbl_no = recipe.tableSlots[c];
    for (std::size_t c = 0; c < recipe.sampling.size() && static_cast<int>(c) < codec->num_components; ++c) {
        codec->comp_info[c].h_samp_factor = recipe.sampling[c].h;
        codec->comp_info[c].v_samp_factor = recipe.sampling[c].v;
    }
    if (recipe.progressive) jpeg_simple_progression(codec);
    jpeg_scan_info scans[MAX_COMPONENTS] = {};
    if (recipe.scanPerComponent) {
        for (int c = 0; c < codec->num_components; ++c) {
            scans[c].comps_in_scan = 1;
            scans[c].component_index[0] = c;
            scans[c].Se = DCTSIZE2 - 1;
        }
        codec->scan_info = scans;
        codec->num_scans = codec->num_components;
    }
    codec->restart_interval = static_cast<unsigned>(recipe.restartInterval);
    codec->arith_code = recipe.arithmetic;
    for (int t = 0; t < NUM_ARITH_TBLS; ++t) codec->arith_ac_K[t] = static_cast<UINT8>(recipe.acConditioning);
    codec->optimize_coding = recipe.optimize;
    if (!recipe.jfif) codec->write_JFIF_header = FALSE;
    jpeg_start_compress(codec, TRUE);
    for (const Marker& marker : recipe.markers)
        jpeg_write_marker(codec, marker.code, reinterpret_cast<const JOCTET*>(marker.bytes.data()),
                          static_cast<unsigned>(marker.bytes.size()));
    while (codec->next_scanline < codec->image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(picture.ptr<JSAMPLE>(static_cast<int>(codec->next_scanline)));
        jpeg_write_scanlines(codec, &row, 1);
    }
    jpeg_finish_compress(codec);
}

}  // namespace

std::vector<unsigned char> encodeJpeg(const SourceRecipe& recipe, const cv::Mat& picture) {
    if (!recipe.scanIntervals.empty()) {
        std::vector<std::vector<unsigned char>> encodes;
        for (std::size_t e = 0; e < recipe.scanIntervals.size(); ++e) {
            SourceRecipe one = recipe;
            one.scanIntervals.clear();
            one.restartInterval = static_cast<int>(recipe.scanIntervals[e]);
            if (e < recipe.scanAcConditioning.size()) one.acConditioning = recipe.scanAcConditioning[e];
            encodes.push_back(encodeJpeg(one, picture));
            if (encodes.back().empty()) return {};
        }
        return spliceScans(encodes, recipe.scanIntervals);
    }
    Writer writer;
    std::vector<unsigned char> out;
    auto step = [&] { encode(writer, recipe, picture, out); };
    if (!runJpegGuarded(writer.guard, step)) out.clear();
    return out;
}

void writeJpeg(const std::string& path, const SourceRecipe& recipe, const cv::Mat& picture) {
    const std::vector<unsigned char> bytes = encodeJpeg(recipe, picture);
    ASSERT_FALSE(bytes.empty()) << path;
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<unsigned char> makeSourceBytes(const SourceRecipe& recipe, unsigned seed) {
    return encodeJpeg(recipe, testPicture(recipe.width, recipe.height, recipe.components, seed));
}

void makeSource(const std::string& path, const SourceRecipe& recipe, unsigned seed) {
    writeJpeg(path, recipe,
              testPicture(recipe.width, recipe.height, recipe.components == 1 ? 1 : recipe.components, seed));
}

Marker exifMarker() { return {JPEG_APP0 + 1, std::string("Exif\0\0MM\0*\0\0\0\x08\0\0", 16)}; }
Marker comMarker(const std::string& text) { return {JPEG_COM, text}; }
Marker appMarker(int n, const std::string& text) { return {JPEG_APP0 + n, text}; }

std::string readBytes(const std::string& path) { return readFile(path); }
void writeBytes(const std::string& path, const std::string& bytes) { writeFile(path, bytes); }

std::vector<std::string> sampleJpegs(const std::string& folder) {
    std::vector<std::string> paths;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) return paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".jpg") paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

cv::Mat decodeForHealing(const std::string& path) {
    return cv::imread(path, cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION);
}

cv::Mat decodeWhole(const std::vector<unsigned char>& bytes) {
    return cv::imdecode(bytes, cv::IMREAD_ANYCOLOR | cv::IMREAD_IGNORE_ORIENTATION);
}

cv::Mat decodeSamples(std::span<const unsigned char> bytes, J_COLOR_SPACE layout) {
    JpegGuard guard;
    JpegDecoder decoder;
    cv::Mat samples;
    auto step = [&] {
        decoder.createFromMemory(guard, "test bytes", bytes);
        j_decompress_ptr codec = &decoder.codec;
        jpeg_read_header(codec, TRUE);
        codec->out_color_space = layout;
        jpeg_start_decompress(codec);
        samples.create(static_cast<int>(codec->output_height), static_cast<int>(codec->output_width),
                       CV_8UC(codec->output_components));
        while (codec->output_scanline < codec->output_height) {
            JSAMPROW row = samples.ptr<JSAMPLE>(static_cast<int>(codec->output_scanline));
            jpeg_read_scanlines(codec, &row, 1);
        }
        jpeg_finish_decompress(codec);
    };
    if (!runJpegGuarded(guard, step)) samples.release();
    return samples;
}

std::vector<NamedRecipe> codingRecipes() {
    const std::vector<Sampling> s420 = {{2, 2}, {1, 1}, {1, 1}}, s422 = {{2, 1}, {1, 1}, {1, 1}};
    return {
        {"baseline", recipe(150, 90, s420)},
        {"baseline with own tables", with(recipe(150, 90, s422), [](SourceRecipe& s) { s.optimize = true; })},
        {"a scan per component, each with tables of its own", with(recipe(150, 90, s420),
                                                                   [](SourceRecipe& s) {
                                                                       s.scanPerComponent = true;
                                                                       s.optimize = true;
                                                                   })},
        {"restart interval", with(recipe(150, 90, s422), [](SourceRecipe& s) { s.restartInterval = 2; })},
        {"progressive", with(recipe(150, 90, s420), [](SourceRecipe& s) { s.progressive = true; })},
        {"progressive grey", with(recipe(77, 51, {{1, 1}}), [](SourceRecipe& s) { s.progressive = true; })},
        {"progressive with restarts", with(recipe(150, 90, s420),
                                           [](SourceRecipe& s) {
                                               s.progressive = true;
                                               s.restartInterval = 7;
                                           })},
        // A DRI before every scan, its interval changing from scan to scan.
        {"progressive, a restart interval per scan", with(recipe(150, 90, s420),
                                                          [](SourceRecipe& s) {
                                                              s.progressive = true;
                                                              s.scanIntervals = {3, 5};
                                                          })},
        {"progressive, restarts in every other scan", with(recipe(151, 89, s422),
                                                           [](SourceRecipe& s) {
                                                               s.progressive = true;
                                                               s.scanIntervals = {0, 4, 7};
                                                           })},
        {"a scan per component, a restart interval each", with(recipe(150, 90, s420),
                                                               [](SourceRecipe& s) {
                                                                   s.scanPerComponent = true;
                                                                   s.optimize = true;
                                                                   s.scanIntervals = {2, 9};
                                                               })},
        {"arithmetic", with(recipe(150, 90, s420), [](SourceRecipe& s) { s.arithmetic = true; })},
        {"arithmetic progressive", with(recipe(150, 90, s422),
                                        [](SourceRecipe& s) {
                                            s.arithmetic = true;
                                            s.progressive = true;
                                        })},
        {"arithmetic progressive, a restart interval per scan", with(recipe(150, 90, s420),
                                                                     [](SourceRecipe& s) {
                                                                         s.arithmetic = true;
                                                                         s.progressive = true;
                                                                         s.scanIntervals = {6, 0};
                                                                     })},
        {"arithmetic progressive, a conditioning per scan", with(recipe(150, 90, s420),
                                                                 [](SourceRecipe& s) {
                                                                     s.arithmetic = true;
                                                                     s.progressive = true;
                                                                     s.scanIntervals = {0, 0};
                                                                     s.scanAcConditioning = {5, 12};
                                                                 })},
        {"markers",
         with(recipe(64, 48, s420),
              [](SourceRecipe& s) {
                  s.jfif = false;
                  s.markers = {exifMarker(), comMarker("one"), appMarker(2, "two"), appMarker(14, "Adobe three")};
              })},
    };
}

SourceRecipe recipe(int width, int height, std::vector<Sampling> sampling) {
    SourceRecipe s;
    s.width = width;
    s.height = height;
    s.components = static_cast<int>(sampling.size());
    s.sampling = std::move(sampling);
    if (s.components == 1) s.colorSpace = JCS_GRAYSCALE;
    return s;
}

SourceRecipe with(SourceRecipe s, void (*change)(SourceRecipe&)) {
    change(s);
    return s;
}

}  // namespace speckmend::testing
