// heal_quality: how well, and how cleanly, repaired JPEGs were repaired.
//
//   heal_quality MAP CLEAN_DIR INPUT_DIR LABEL=OUTPUT_DIR...
//
// For every *.jpg in INPUT_DIR (the photos with hot pixels) with a clean
// version CLEAN_DIR/<stem>.png and a repaired OUTPUT_DIR/<name> per label:
//  - the mean and largest absolute error, over every channel of the pixels
//    inside the hot pixels' discs (radius from MAP), against the clean photo;
//  - the DCT coefficients (dequantized, so a change of tables does not count)
//    that differ from the input's outside the 16-pixel cells around the hot
//    pixels, where a lossless repair must leave everything as it was;
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

struct Totals {
    std::string label;
    std::string folder;
    double errorSum = 0;
    long errorCount = 0;
    int errorMax = 0;
    long coefficients = 0;
    long pixels = 0;
    int missing = 0;
};

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
        const std::string spec = argv[i];
        const std::size_t equals = spec.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "heal_quality: expected LABEL=OUTPUT_DIR, got %s\n", argv[i]);
            return 2;
        }
        totals.push_back({spec.substr(0, equals), spec.substr(equals + 1) + "/"});
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
        cv::Mat mask = cv::Mat::zeros(input.size(), CV_8UC1);
        for (const Pixel& p : map.pixels) cv::circle(mask, {p.x, p.y}, p.r, 255, cv::FILLED, cv::LINE_8);
        repaired += cv::countNonZero(mask);
        const cv::Mat cells = cellGrid(map, input.cols, input.rows);
        for (Totals& t : totals) {
            const cv::Mat output = cv::imread(t.folder + name, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
            Coefficients outputCoefficients;
            if (output.empty() || output.size() != clean.size() ||
                !readCoefficients(t.folder + name, outputCoefficients)) {
                std::fprintf(stderr, "heal_quality: %s%s missing or unreadable\n", t.folder.c_str(), name.c_str());
                ++t.missing;
                continue;
            }
            cv::Mat error;
            cv::absdiff(output, clean, error);
            for (int y = 0; y < mask.rows; ++y)
                for (int x = 0; x < mask.cols; ++x) {
                    if (!mask.at<uchar>(y, x)) continue;
                    const cv::Vec3b e = error.at<cv::Vec3b>(y, x);
                    for (int c = 0; c < 3; ++c) {
                        t.errorSum += e[c];
                        t.errorMax = std::max<int>(t.errorMax, e[c]);
                    }
                    t.errorCount += 3;
                }
            const long coefficients = changedCoefficientsOutside(inputCoefficients, outputCoefficients, cells);
            t.coefficients = coefficients < 0 || t.coefficients < 0 ? -1 : t.coefficients + coefficients;
            const long pixels = changedPixelsOutside(input, output, cells);
            t.pixels = pixels < 0 || t.pixels < 0 ? -1 : t.pixels + pixels;
        }
    }

    std::printf("Repair quality on %zu JPEG photos, %zu hot pixels, %ld repaired pixels in all\n", names.size(),
                map.pixels.size(), repaired);
    std::printf("%-28s %14s %12s %26s %22s\n", "", "mean abs err", "max abs err", "coefficients changed",
                "pixels changed");
    std::printf("%-28s %14s %12s %26s %22s\n", "", "(discs)", "(discs)", "outside the cells", "outside the cells");
    for (const Totals& t : totals) {
        if (t.missing) {
            std::printf("%-28s  missing %d outputs\n", t.label.c_str(), t.missing);
            continue;
        }
        std::printf("%-28s %14.2f %12d %26ld %22ld\n", t.label.c_str(),
                    t.errorCount ? t.errorSum / static_cast<double>(t.errorCount) : 0.0, t.errorMax, t.coefficients,
                    t.pixels);
    }
    return 0;
}
