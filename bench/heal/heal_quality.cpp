// heal_quality: how well, and how cleanly, repaired JPEGs were repaired.
//
//   heal_quality MAP CLEAN_DIR INPUT_DIR LABEL=OUTPUT_DIR...
//
// For every *.jpg in INPUT_DIR (the photos with hot pixels) with a clean
// version CLEAN_DIR/<stem>.png and a repaired OUTPUT_DIR/<name> per label
// (or OUTPUT_DIR/<stem>.png, the output of a heal saved as PNG):
//  - the mean and largest absolute error, over every channel of the pixels
//    inside the hot pixels' discs (radius from MAP), against the clean photo;
//    the mean also apart for the hot pixels themselves (the discs' centres)
//    and for the rest of the discs, which were never hot, and for the pixels
//    of the cells outside the discs, which a repair should leave as good as
//    the input had them;
//  - the DCT coefficients (dequantized, so a change of tables does not count)
//    that differ from the input's outside the 16-pixel cells around the hot
//    pixels, where a lossless repair must leave everything as it was (n/a
//    for a PNG output);
//  - the decoded pixels that differ outside those cells (grown by two pixels
//    for the decoder's chroma interpolation).
// The unrepaired input is listed first as the baseline.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>

namespace {

struct Pixel {
    int x, y, r;
};

struct Map {
    int width = 0, height = 0;
    std::vector<Pixel> pixels;
};

std::string attribute(const std::string& line, const std::string& name) {
    const std::size_t at = line.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    const std::size_t from = at + name.size() + 3;
    return line.substr(from, line.find('"', from) - from);
}

std::string element(const std::string& line, const std::string& name) {
    const std::size_t at = line.find("<" + name + ">");
    if (at == std::string::npos) return "";
    const std::size_t from = at + name.size() + 2;
    return line.substr(from, line.find('<', from) - from);
}

Map readMap(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "heal_quality: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    Map map;
    std::string line;
    while (std::getline(in, line)) {
        if (!element(line, "width").empty()) map.width = std::atoi(element(line, "width").c_str());
        if (!element(line, "height").empty()) map.height = std::atoi(element(line, "height").c_str());
        if (line.find("<pix ") != std::string::npos)
            map.pixels.push_back({std::atoi(attribute(line, "x").c_str()), std::atoi(attribute(line, "y").c_str()),
                                  std::atoi(attribute(line, "r").c_str())});
    }
    return map;
}

std::vector<std::string> jpegNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".jpg") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Cells of the 16-pixel grid touched by the square of half-width r around
// each hot pixel: the only places a lossless repair may change.
cv::Mat cellGrid(const Map& map, int width, int height) {
    cv::Mat cells = cv::Mat::zeros((height + 15) / 16, (width + 15) / 16, CV_8UC1);
    for (const Pixel& p : map.pixels) {
        const int bx = std::max(0, (p.x - p.r) / 16), by = std::max(0, (p.y - p.r) / 16);
        const int ex = std::min(cells.cols - 1, (p.x + p.r) / 16), ey = std::min(cells.rows - 1, (p.y + p.r) / 16);
        for (int y = by; y <= ey; ++y)
            for (int x = bx; x <= ex; ++x) cells.at<uchar>(y, x) = 1;
    }
    return cells;
}

// Dequantized coefficients of every component, or empty when the file cannot be read.
struct Coefficients {
    int width = 0, height = 0, maxH = 1, maxV = 1;
    struct Component {
        int h, v, blocksWide, blocksHigh;
        std::vector<int> values;  // blocksHigh * blocksWide * 64
    };
    std::vector<Component> components;
};

struct ErrorExit {
    jpeg_error_mgr manager;
};

[[noreturn]] void throwOnError(j_common_ptr codec) {
    char message[JMSG_LENGTH_MAX];
    (*codec->err->format_message)(codec, message);
    throw std::runtime_error(message);
}

bool readCoefficients(const std::string& path, Coefficients& result) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    jpeg_decompress_struct codec{};
    ErrorExit errors{};
    codec.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = throwOnError;
    bool ok = false;
    try {
        jpeg_create_decompress(&codec);
        jpeg_stdio_src(&codec, file);
        jpeg_read_header(&codec, TRUE);
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&codec);
        result.width = static_cast<int>(codec.image_width);
        result.height = static_cast<int>(codec.image_height);
        result.maxH = codec.max_h_samp_factor;
        result.maxV = codec.max_v_samp_factor;
        for (int c = 0; c < codec.num_components; ++c) {
            jpeg_component_info& info = codec.comp_info[c];
            Coefficients::Component component{info.h_samp_factor,
                                              info.v_samp_factor,
                                              static_cast<int>(info.width_in_blocks),
                                              static_cast<int>(info.height_in_blocks),
                                              {}};
            component.values.resize(static_cast<std::size_t>(component.blocksWide) * component.blocksHigh * 64);
            for (int row = 0; row < component.blocksHigh; ++row) {
                JBLOCKARRAY blocks =
                    (*codec.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&codec), arrays[c], row, 1, FALSE);
                for (int col = 0; col < component.blocksWide; ++col)
                    for (int k = 0; k < 64; ++k)
                        component.values[(static_cast<std::size_t>(row) * component.blocksWide + col) * 64 + k] =
                            blocks[0][col][k] * info.quant_table->quantval[k];
            }
            result.components.push_back(std::move(component));
        }
        jpeg_finish_decompress(&codec);
        ok = true;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "heal_quality: %s: %s\n", path.c_str(), error.what());
        ok = false;
    }
    jpeg_destroy_decompress(&codec);
    std::fclose(file);
    return ok;
}

// Coefficients that differ outside the cells; -1 when the two files do not
// have the same layout.
long changedCoefficientsOutside(const Coefficients& a, const Coefficients& b, const cv::Mat& cells) {
    if (a.width != b.width || a.height != b.height || a.components.size() != b.components.size()) return -1;
    long changed = 0;
    for (std::size_t c = 0; c < a.components.size(); ++c) {
        const auto& ca = a.components[c];
        const auto& cb = b.components[c];
        if (ca.h != cb.h || ca.v != cb.v || ca.blocksWide != cb.blocksWide || ca.blocksHigh != cb.blocksHigh) return -1;
        const int blockWidth = 8 * a.maxH / ca.h, blockHeight = 8 * a.maxV / ca.v;  // in pixels
        for (int row = 0; row < ca.blocksHigh; ++row) {
            for (int col = 0; col < ca.blocksWide; ++col) {
                const int x0 = col * blockWidth / 16, x1 = ((col + 1) * blockWidth - 1) / 16;
                const int y0 = row * blockHeight / 16, y1 = ((row + 1) * blockHeight - 1) / 16;
                bool inside = false;
                for (int y = y0; y <= y1 && !inside; ++y)
                    for (int x = x0; x <= x1 && !inside; ++x)
                        inside = y < cells.rows && x < cells.cols && cells.at<uchar>(y, x) != 0;
                if (inside) continue;
                const std::size_t base = (static_cast<std::size_t>(row) * ca.blocksWide + col) * 64;
                for (int k = 0; k < 64; ++k) changed += ca.values[base + k] != cb.values[base + k];
            }
        }
    }
    return changed;
}

long changedPixelsOutside(const cv::Mat& a, const cv::Mat& b, const cv::Mat& cells) {
    if (a.size() != b.size() || a.type() != b.type()) return -1;
    cv::Mat differs;
    cv::compare(a.reshape(1, a.rows * a.cols), b.reshape(1, b.rows * b.cols), differs, cv::CMP_NE);
    cv::reduce(differs, differs, 1, cv::REDUCE_MAX);
    differs = differs.reshape(1, a.rows);
    cv::Mat allowed;
    cv::resize(cells, allowed, cv::Size(cells.cols * 16, cells.rows * 16), 0, 0, cv::INTER_NEAREST);
    cv::dilate(allowed, allowed, cv::getStructuringElement(cv::MORPH_RECT, {5, 5}));
    allowed = allowed(cv::Rect(0, 0, a.cols, a.rows));
    differs.setTo(0, allowed);
    return cv::countNonZero(differs);
}

// Absolute errors of every channel over a set of pixels.
struct ErrorSum {
    double sum = 0;
    long count = 0;
    int largest = 0;
    void add(const cv::Vec3b& e) {
        for (int c = 0; c < 3; ++c) {
            sum += e[c];
            largest = std::max<int>(largest, e[c]);
        }
        count += 3;
    }
    double mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
};

struct Totals {
    std::string label;
    std::string folder;
    ErrorSum discs, centres, rings, cellsOutside;
    long coefficients = 0;  // -1: layouts differ; -2: an output is not a JPEG
    long pixels = 0;
    int missing = 0;
};

bool exists(const std::string& path) {
    std::ifstream in(path);
    return static_cast<bool>(in);
}

// Where a repaired photo is: the same name, or the stem with .png.
std::string outputOf(const std::string& folder, const std::string& name) {
    if (exists(folder + name)) return folder + name;
    return folder + name.substr(0, name.size() - 4) + ".png";
}

void addCount(long& total, long value) { total = value < 0 || total < 0 ? std::min(total, value) : total + value; }

std::string countText(long value) {
    if (value == -2) return "n/a";
    if (value < 0) return "layout differs";
    return std::to_string(value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: heal_quality MAP CLEAN_DIR INPUT_DIR LABEL=OUTPUT_DIR...\n");
        return 2;
    }
    const Map map = readMap(argv[1]);
    const std::string cleanDir = std::string(argv[2]) + "/";
    const std::string inputDir = std::string(argv[3]) + "/";
    std::vector<Totals> totals(1);
    totals[0].label = "input (not repaired)";
    totals[0].folder = inputDir;
    for (int i = 4; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "heal_quality: expected LABEL=OUTPUT_DIR, got %s\n", argv[i]);
            return 2;
        }
        Totals t;
        t.label = argument.substr(0, equals);
        t.folder = argument.substr(equals + 1) + "/";
        totals.push_back(std::move(t));
    }

    const std::vector<std::string> names = jpegNames(inputDir);
    long repaired = 0;
    for (const std::string& name : names) {
        const cv::Mat clean = cv::imread(cleanDir + name.substr(0, name.size() - 4) + ".png",
                                         cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        const cv::Mat input = cv::imread(inputDir + name, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        Coefficients inputCoefficients;
        if (clean.empty() || input.empty() || !readCoefficients(inputDir + name, inputCoefficients)) {
            std::fprintf(stderr, "heal_quality: skipping %s (no clean version or unreadable)\n", name.c_str());
            continue;
        }
        // 255 inside a disc, 128 at its centre; 64 in the cells outside the discs.
        cv::Mat where = cv::Mat::zeros(input.size(), CV_8UC1);
        const cv::Mat cells = cellGrid(map, input.cols, input.rows);
        cv::Mat cellPixels;
        cv::resize(cells, cellPixels, cv::Size(cells.cols * 16, cells.rows * 16), 0, 0, cv::INTER_NEAREST);
        where.setTo(64, cellPixels(cv::Rect(0, 0, input.cols, input.rows)));
        for (const Pixel& p : map.pixels) cv::circle(where, {p.x, p.y}, p.r, 255, cv::FILLED, cv::LINE_8);
        for (const Pixel& p : map.pixels)
            if (p.r > 0 && p.x >= 0 && p.y >= 0 && p.x < where.cols && p.y < where.rows) where.at<uchar>(p.y, p.x) = 128;
        repaired += cv::countNonZero(where > 64);
        for (Totals& t : totals) {
            const std::string path = outputOf(t.folder, name);
            const cv::Mat output = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
            if (output.empty() || output.size() != clean.size()) {
                std::fprintf(stderr, "heal_quality: %s missing or unreadable\n", path.c_str());
                ++t.missing;
                continue;
            }
            cv::Mat error;
            cv::absdiff(output, clean, error);
            for (int y = 0; y < where.rows; ++y)
                for (int x = 0; x < where.cols; ++x) {
                    const uchar kind = where.at<uchar>(y, x);
                    if (kind == 0) continue;
                    const cv::Vec3b e = error.at<cv::Vec3b>(y, x);
                    if (kind == 64) {
                        t.cellsOutside.add(e);
                        continue;
                    }
                    t.discs.add(e);
                    (kind == 128 ? t.centres : t.rings).add(e);
                }
            Coefficients outputCoefficients;
            if (path.size() >= 4 && path.substr(path.size() - 4) == ".png")
                addCount(t.coefficients, -2);
            else if (!readCoefficients(path, outputCoefficients))
                addCount(t.coefficients, -1);
            else
                addCount(t.coefficients, changedCoefficientsOutside(inputCoefficients, outputCoefficients, cells));
            addCount(t.pixels, changedPixelsOutside(input, output, cells));
        }
    }

    std::printf("Repair quality on %zu JPEG photos, %zu hot pixels, %ld repaired pixels in all\n", names.size(),
                map.pixels.size(), repaired);
    std::printf("%-30s %9s %8s %9s %9s %10s %14s %14s\n", "", "mean err", "max err", "mean err", "mean err",
                "mean err", "coefficients", "pixels");
    std::printf("%-30s %9s %8s %9s %9s %10s %14s %14s\n", "", "(discs)", "(discs)", "hot px", "rest of", "cells but",
                "changed out-", "changed out-");
    std::printf("%-30s %9s %8s %9s %9s %10s %14s %14s\n", "", "", "", "itself", "the discs", "not discs",
                "side the cells", "side the cells");
    for (const Totals& t : totals) {
        if (t.missing) {
            std::printf("%-30s  missing %d outputs\n", t.label.c_str(), t.missing);
            continue;
        }
        std::printf("%-30s %9.2f %8d %9.2f %9.2f %10.2f %14s %14s\n", t.label.c_str(), t.discs.mean(),
                    t.discs.largest, t.centres.mean(), t.rings.mean(), t.cellsOutside.mean(),
                    countText(t.coefficients).c_str(), countText(t.pixels).c_str());
    }
    return 0;
}
