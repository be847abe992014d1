// heal_lossless_bench: CPU time of the in-memory lossless heal against a
// plain lossless transcode (`jpegtran -copy all`) of the same photo, and the
// output's size against the source's. Prints per-photo figures and their
// ratios; bench/heal/run drives it (its last section). Each side counts
// the median of its runs: on a virtual machine a fresh huge page is now and
// then one the host must supply again, which adds up to a quarter of a
// second of system time to a run at random, to either side.
//
//   heal_lossless_bench picture OUT.ppm WIDTH HEIGHT
//     writes a textured test picture for cjpeg;
//   heal_lossless_bench time PHOTO.jpg HOTPIXELS RUNS
//     heals PHOTO RUNS times with HOTPIXELS spread hot pixels (r 3) and
//     runs jpegtran RUNS times on it.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>  // before jpeglib.h, which needs FILE
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "heal/lossless_jpeg/lossless_jpeg_heal.h"

extern char** environ;

namespace {

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double childSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int makePicture(const std::string& path, int width, int height) {
    cv::Mat noise(height, width, CV_8UC3);
    cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::Mat picture;
    cv::GaussianBlur(noise, picture, cv::Size(0, 0), 1.2);
    // Broad structure on top of the fine texture, as in a photo.
    for (int y = 0; y < height; ++y) {
        auto* row = picture.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                row[x][c] = cv::saturate_cast<unsigned char>(row[x][c] / 2 + (x * (c + 1) / 97 + y / 61) % 128);
    }
    return cv::imwrite(path, picture) ? 0 : 1;
}

// The size in the JPEG's frame header, as the map must give it.
bool storedSize(const std::vector<unsigned char>& jpeg, int& width, int& height) {
    jpeg_decompress_struct codec{};
    jpeg_error_mgr errors{};
    codec.err = jpeg_std_error(&errors);  // a broken photo ends the benchmark
    jpeg_create_decompress(&codec);
    jpeg_mem_src(&codec, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    const bool read = jpeg_read_header(&codec, TRUE) == JPEG_HEADER_OK;
    width = static_cast<int>(codec.image_width);
    height = static_cast<int>(codec.image_height);
    jpeg_destroy_decompress(&codec);
    return read;
}

int timeHeal(const std::string& path, int hotPixels, int runs) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> source((std::istreambuf_iterator<char>(file)), {});
    if (source.empty()) return 1;
    speckmend::HotPixelMap map;
    if (!storedSize(source, map.width, map.height)) return 1;
    unsigned state = 12345;
    for (int i = 0; i < hotPixels; ++i) {
        state = state * 1103515245u + 12345u;
        const int x = static_cast<int>((state >> 8) % static_cast<unsigned>(map.width));
        state = state * 1103515245u + 12345u;
        const int y = static_cast<int>((state >> 8) % static_cast<unsigned>(map.height));
        map.pixels.push_back({x, y, 3});
    }

    std::size_t outputSize = 0;
    std::vector<double> heals, transcodes;
    for (int run = 0; run < runs; ++run) {
        const double start = processSeconds();
        const speckmend::LosslessHealResult result = speckmend::healJpegLosslessly(source, map, 3, 1);
        if (result.outcome != speckmend::LosslessHealResult::Outcome::healed) {
            std::fprintf(stderr, "heal failed: %s\n", result.diagnostic.c_str());
            return 1;
        }
        heals.push_back(processSeconds() - start);
        outputSize = result.file.size();
    }
    const double heal = median(heals);

    for (int run = 0; run < runs; ++run) {
        const double childStart = childSeconds();
        const char* argv[] = {"jpegtran", "-copy", "all", "-outfile", "/dev/null", path.c_str(), nullptr};
        pid_t pid = 0;
        if (posix_spawnp(&pid, "jpegtran", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            std::fprintf(stderr, "jpegtran cannot be run (package libjpeg-turbo-progs)\n");
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        transcodes.push_back(childSeconds() - childStart);
    }
    const double jpegtran = median(transcodes);

    std::printf("photo %dx%d, %zu bytes, %d hot pixels (r 3), %d runs\n", map.width, map.height, source.size(),
                hotPixels, runs);
    std::printf("lossless heal CPU per photo  %8.1f ms  (median; slowest run %.1f ms)\n", heal * 1e3,
                *std::max_element(heals.begin(), heals.end()) * 1e3);
    std::printf("jpegtran -copy all CPU       %8.1f ms  (median; slowest run %.1f ms)\n", jpegtran * 1e3,
                *std::max_element(transcodes.begin(), transcodes.end()) * 1e3);
    std::printf("CPU ratio heal/jpegtran      %8.2f  (target <= 1.10)\n", heal / jpegtran);
    std::printf("size ratio output/source     %8.4f  (target <= 1.01)\n",
                static_cast<double>(outputSize) / static_cast<double>(source.size()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "picture" && argc == 5) return makePicture(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (mode == "time" && argc == 5) return timeHeal(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: heal_lossless_bench picture OUT.ppm W H | time PHOTO.jpg HOTPIXELS RUNS\n");
    return 2;
}
