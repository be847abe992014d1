// heal_camera_crops: repair quality on hot pixels planted into crops of real
// camera photos, the way a sensor has them.
//
//   heal_camera_crops plant SAMPLES_DIR OUT_DIR
//     for every crop of the table below whose camera file is in
//     SAMPLES_DIR, writes OUT_DIR/<crop>/: photos/<crop>.jpg (the crop with
//     hot pixels), clean.png (the same crop encoded the same way without
//     them, decoded), hotpixels.xml (radius 3, as detection writes a lone
//     hot pixel), spots.txt (x y of each) and about.txt (file, sampling,
//     scene);
//   heal_camera_crops score OUT_DIR REFERENCE=SUBDIR LABEL=SUBDIR...
//     prints, for every crop, the mean absolute error (all channels) over
//     the 16x16 pixels around each spot of the planted photo and of each
//     repaired one (OUT_DIR/<crop>/<SUBDIR>/<crop>.jpg) against clean.png,
//     then each label's largest ratio to REFERENCE over the crops.
//
// A hot pixel is one photosite of the Bayer mosaic (red, green or blue by
// its place, RGGB) reading too high. Demosaicing spreads it over its
// neighbours of that colour (bilinear: a 3x3 footprint for red and blue, a
// cross for green), in the camera's linear light; the camera then codes the
// picture as JPEG. So the crop is decoded, the footprint added in linear
// light (gamma 2.2), and the result coded again with the camera file's own
// quantization tables and sampling, as is the crop without hot pixels: both
// carry the same coding loss, and the error of a repair against the clean
// one is what the repair leaves.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>  // before jpeglib.h, which needs FILE
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

struct Crop {
    const char* name;
    const char* file;
    int x, y, width, height;
    const char* scene;
};

// Scenes a hot pixel lands on: flat sky, texture, text and edges, from
// cameras of every sampling the samples have.
constexpr Crop kCrops[] = {
    {"g11-sky", "dn_canon_powershot_g11.jpg", 3200, 240, 256, 256, "flat sky"},
    {"g11-clouds", "dn_canon_powershot_g11.jpg", 1280, 960, 256, 256, "clouds"},
    {"lx7-text", "dn_panasonic_lx7_mpf_preview.jpg", 1600, 1280, 256, 256, "text on a screen"},
    {"iphone-shirt", "dn_apple_iphone5s_dri204.jpg", 320, 1760, 256, 256, "patterned shirt"},
    {"iphone-writing", "dn_apple_iphone5s_dri204.jpg", 64, 192, 256, 256, "handwriting"},
    {"samsung-sky", "dn_samsung_sm_j327t1_2576x1932.jpg", 160, 640, 256, 256, "flat blue sky"},
    {"mx2900-wood", "dn_fujifilm_mx2900_rotated_440.jpg", 400, 1200, 256, 256, "wood, edges"},
    {"minolta-fur", "dn_minolta_dimage_ex_2x2_1x2_1x2.jpg", 480, 320, 256, 256, "fur"},
    {"olympus-text", "dn_olympus_c750uz_progressive_444.jpg", 0, 64, 248, 128, "white text on black"},
    {"s5500-sunset", "dn_fujifilm_s5500_dri4.jpg", 960, 640, 256, 256, "sunset, horizon"},
};

constexpr int kRadius = 3;    // the map's radius of a lone hot pixel
constexpr int kSpacing = 32;  // between spots, so their squares stay apart
constexpr int kSquare = 16;   // the error is taken over this square around a spot

struct LibraryError {
    jpeg_error_mgr manager;
};

[[noreturn]] void throwOnError(j_common_ptr codec) {
    char message[JMSG_LENGTH_MAX];
    (*codec->err->format_message)(codec, message);
    throw std::runtime_error(message);
}

// What a re-encode keeps of the camera's coding.
struct Coding {
    int components = 0;
    int h[MAX_COMPONENTS] = {}, v[MAX_COMPONENTS] = {}, table[MAX_COMPONENTS] = {};
    bool hasTable[NUM_QUANT_TBLS] = {};
    unsigned short tables[NUM_QUANT_TBLS][DCTSIZE2] = {};
    std::string sampling;  // "2x1,1x1,1x1"
};

Coding codingOf(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw std::runtime_error("cannot read " + path);
    jpeg_decompress_struct codec{};
    LibraryError errors{};
    codec.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = throwOnError;
    Coding coding;
    try {
        jpeg_create_decompress(&codec);
        jpeg_stdio_src(&codec, file);
        jpeg_read_header(&codec, TRUE);
        coding.components = codec.num_components;
        for (int c = 0; c < codec.num_components; ++c) {
            coding.h[c] = codec.comp_info[c].h_samp_factor;
            coding.v[c] = codec.comp_info[c].v_samp_factor;
            coding.table[c] = codec.comp_info[c].quant_tbl_no;
            coding.sampling += (c ? "," : "") + std::to_string(coding.h[c]) + "x" + std::to_string(coding.v[c]);
        }
        for (int t = 0; t < NUM_QUANT_TBLS; ++t) {
            if (codec.quant_tbl_ptrs[t] == nullptr) continue;
            coding.hasTable[t] = true;
            std::copy(codec.quant_tbl_ptrs[t]->quantval, codec.quant_tbl_ptrs[t]->quantval + DCTSIZE2,
                      coding.tables[t]);
        }
    } catch (...) {
        jpeg_destroy_decompress(&codec);
        std::fclose(file);
        throw;
    }
    jpeg_destroy_decompress(&codec);
    std::fclose(file);
    return coding;
}

// Codes blue-green-red pixels as the camera coded its file: YCbCr, its
// sampling and quantization tables.
void encodeLikeCamera(const cv::Mat& pixels, const Coding& coding, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    jpeg_compress_struct codec{};
    LibraryError errors{};
    codec.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = throwOnError;
    try {
        jpeg_create_compress(&codec);
        jpeg_stdio_dest(&codec, file);
        codec.image_width = static_cast<JDIMENSION>(pixels.cols);
        codec.image_height = static_cast<JDIMENSION>(pixels.rows);
        codec.input_components = 3;
        codec.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&codec);
        jpeg_set_colorspace(&codec, JCS_YCbCr);
        for (int t = 0; t < NUM_QUANT_TBLS; ++t) {
            if (!coding.hasTable[t]) continue;
            if (codec.quant_tbl_ptrs[t] == nullptr)
                codec.quant_tbl_ptrs[t] = jpeg_alloc_quant_table(reinterpret_cast<j_common_ptr>(&codec));
            std::copy(coding.tables[t], coding.tables[t] + DCTSIZE2, codec.quant_tbl_ptrs[t]->quantval);
        }
        for (int c = 0; c < 3; ++c) {
            codec.comp_info[c].h_samp_factor = coding.h[c];
            codec.comp_info[c].v_samp_factor = coding.v[c];
            codec.comp_info[c].quant_tbl_no = coding.table[c];
        }
        codec.optimize_coding = TRUE;
        jpeg_start_compress(&codec, TRUE);
        while (codec.next_scanline < codec.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(pixels.ptr<unsigned char>(static_cast<int>(codec.next_scanline)));
            jpeg_write_scanlines(&codec, &row, 1);
        }
        jpeg_finish_compress(&codec);
    } catch (...) {
        jpeg_destroy_compress(&codec);
        std::fclose(file);
        throw;
    }
    jpeg_destroy_compress(&codec);
    std::fclose(file);
}

float toLinear(float v) { return std::pow(v / 255.0f, 2.2f); }
float fromLinear(float v) { return 255.0f * std::pow(std::clamp(v, 0.0f, 1.0f), 1.0f / 2.2f); }

struct Spot {
    int x, y;
};

// Adds a hot photosite at (x, y) of strength `strength` (of full scale, in
// linear light) to pixels, spread as bilinear demosaicing spreads it. The
// site's colour follows from its place in the photo: (ox, oy) is the crop's
// origin there.
void plantSite(cv::Mat& linear, int x, int y, int ox, int oy, float strength) {
    const int px = (x + ox) & 1, py = (y + oy) & 1;
    // RGGB: red at even-even, blue at odd-odd; channel index in blue-green-red.
    const int channel = px == 0 && py == 0 ? 2 : px == 1 && py == 1 ? 0 : 1;
    static constexpr float kRedBlue[3][3] = {{0.25f, 0.5f, 0.25f}, {0.5f, 1.0f, 0.5f}, {0.25f, 0.5f, 0.25f}};
    static constexpr float kGreen[3][3] = {{0.0f, 0.25f, 0.0f}, {0.25f, 1.0f, 0.25f}, {0.0f, 0.25f, 0.0f}};
    const auto& footprint = channel == 1 ? kGreen : kRedBlue;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int at = x + dx, row = y + dy;
            if (at < 0 || row < 0 || at >= linear.cols || row >= linear.rows) continue;
            linear.at<cv::Vec3f>(row, at)[channel] += strength * footprint[dy + 1][dx + 1];
        }
}

int plant(const std::string& samples, const std::string& out) {
    mkdir(out.c_str(), 0755);
    int written = 0;
    for (const Crop& crop : kCrops) {
        const std::string source = samples + "/" + crop.file;
        const cv::Mat photo = cv::imread(source, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        if (photo.empty()) {
            std::fprintf(stderr, "heal_camera_crops: skipping %s (%s missing)\n", crop.name, crop.file);
            continue;
        }
        const Coding coding = codingOf(source);
        const cv::Mat pixels = photo(cv::Rect(crop.x, crop.y, crop.width, crop.height)).clone();
        const std::string folder = out + "/" + crop.name;
        mkdir(folder.c_str(), 0755);
        mkdir((folder + "/photos").c_str(), 0755);

        encodeLikeCamera(pixels, coding, folder + "/clean.jpg");
        cv::imwrite(folder + "/clean.png",
                    cv::imread(folder + "/clean.jpg", cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION));

        std::mt19937 random(static_cast<unsigned>(crop.x * 7919 + crop.y));
        std::uniform_int_distribution<int> jitter(-5, 5);
        std::uniform_real_distribution<float> strength(0.2f, 1.0f);
        cv::Mat linear(pixels.size(), CV_32FC3);
        for (int y = 0; y < pixels.rows; ++y)
            for (int x = 0; x < pixels.cols; ++x)
                for (int c = 0; c < 3; ++c) linear.at<cv::Vec3f>(y, x)[c] = toLinear(pixels.at<cv::Vec3b>(y, x)[c]);
        std::vector<Spot> spots;
        for (int y = kSpacing / 2; y + kSquare / 2 <= pixels.rows; y += kSpacing)
            for (int x = kSpacing / 2; x + kSquare / 2 <= pixels.cols; x += kSpacing) {
                const Spot spot{x + jitter(random), y + jitter(random)};
                plantSite(linear, spot.x, spot.y, crop.x, crop.y, strength(random));
                spots.push_back(spot);
            }
        cv::Mat hot(pixels.size(), CV_8UC3);
        for (int y = 0; y < pixels.rows; ++y)
            for (int x = 0; x < pixels.cols; ++x)
                for (int c = 0; c < 3; ++c)
                    hot.at<cv::Vec3b>(y, x)[c] =
                        cv::saturate_cast<unsigned char>(std::lround(fromLinear(linear.at<cv::Vec3f>(y, x)[c])));
        encodeLikeCamera(hot, coding, folder + "/photos/" + crop.name + ".jpg");

        std::ofstream map(folder + "/hotpixels.xml"), list(folder + "/spots.txt"), about(folder + "/about.txt");
        map << "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>" << pixels.cols << "</width>\n <height>" << pixels.rows
            << "</height>\n";
        for (const Spot& s : spots) {
            map << " <pix x=\"" << s.x << "\" y=\"" << s.y << "\" r=\"" << kRadius << "\"/>\n";
            list << s.x << ' ' << s.y << '\n';
        }
        map << "</hotpixels>\n";
        about << crop.file << '\n' << coding.sampling << '\n' << crop.scene << '\n';
        ++written;
    }
    return written > 0 ? 0 : 1;
}

std::vector<std::string> cropFolders(const std::string& root) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(root.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name[0] != '.' && std::ifstream(root + "/" + name + "/about.txt")) names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Mean absolute error over every channel of the squares around the spots;
// negative when the photo is missing.
double squareError(const cv::Mat& photo, const cv::Mat& clean, const std::vector<Spot>& spots) {
    if (photo.empty() || photo.size() != clean.size() || photo.type() != clean.type()) return -1.0;
    double sum = 0.0;
    long count = 0;
    for (const Spot& s : spots) {
        const cv::Rect square =
            cv::Rect(s.x - kSquare / 2, s.y - kSquare / 2, kSquare, kSquare) & cv::Rect({}, clean.size());
        cv::Mat difference;
        cv::absdiff(photo(square), clean(square), difference);
        const cv::Scalar total = cv::sum(difference);
        sum += total[0] + total[1] + total[2];
        count += 3L * square.area();
    }
    return count ? sum / static_cast<double>(count) : 0.0;
}

int score(const std::string& root, int labels, char** arguments) {
    struct Column {
        std::string label, folder;
        double worstRatio = 0.0, sum = 0.0;
    };
    std::vector<Column> columns{{"planted", "photos"}};
    for (int i = 0; i < labels; ++i) {
        const std::string argument = arguments[i];
        const std::size_t equals = argument.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "heal_camera_crops: expected LABEL=SUBDIR, got %s\n", arguments[i]);
            return 2;
        }
        columns.push_back({argument.substr(0, equals), argument.substr(equals + 1)});
    }
    std::printf("  %-16s %-12s %-20s", "crop", "sampling", "scene");
    for (const Column& c : columns) std::printf(" %12s", c.label.c_str());
    std::printf("\n");
    const std::vector<std::string> crops = cropFolders(root);
    bool complete = true;
    for (const std::string& name : crops) {
        const std::string folder = root + "/" + name;
        std::ifstream about(folder + "/about.txt"), list(folder + "/spots.txt");
        std::string file, sampling, scene;
        std::getline(about, file), std::getline(about, sampling), std::getline(about, scene);
        std::vector<Spot> spots;
        for (Spot s{}; list >> s.x >> s.y;) spots.push_back(s);
        const cv::Mat clean = cv::imread(folder + "/clean.png", cv::IMREAD_COLOR);
        std::printf("  %-16s %-12s %-20s", name.c_str(), sampling.c_str(), scene.c_str());
        std::vector<double> errors;
        for (Column& c : columns) {
            // A heal saved as PNG shows the inpainting before any coding.
            const std::string stem = folder + "/" + c.folder + "/" + name;
            cv::Mat photo = cv::imread(stem + ".jpg", cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
            if (photo.empty()) photo = cv::imread(stem + ".png", cv::IMREAD_COLOR);
            const double e = squareError(photo, clean, spots);
            errors.push_back(e);
            if (e < 0) {
                std::printf(" %12s", "missing");
                complete = false;
                continue;
            }
            std::printf(" %12.3f", e);
            c.sum += e;
        }
        std::printf("\n");
        // The first label after the planted photo is the reference.
        for (std::size_t i = 1; i < columns.size() && errors.size() > 1 && errors[1] > 0; ++i)
            columns[i].worstRatio = std::max(columns[i].worstRatio, errors[i] / errors[1]);
    }
    std::printf("  %-50s", "mean over the crops");
    for (const Column& c : columns) std::printf(" %12.3f", crops.empty() ? 0.0 : c.sum / crops.size());
    std::printf("\n");
    for (std::size_t i = 2; i < columns.size(); ++i)
        std::printf("  %s: largest error against %s on one crop: %.2fx   (target: at most 1.00x: %s)\n",
                    columns[i].label.c_str(), columns[1].label.c_str(), columns[i].worstRatio,
                    complete && columns[i].worstRatio <= 1.0 ? "met" : "MISSED");
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "plant" && argc == 4) return plant(argv[2], argv[3]);
        if (command == "score" && argc >= 5) return score(argv[2], argc - 3, argv + 3);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "heal_camera_crops: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: heal_camera_crops plant SAMPLES_DIR OUT_DIR\n"
                 "       heal_camera_crops score OUT_DIR REFERENCE=SUBDIR LABEL=SUBDIR...\n");
    return 2;
}
