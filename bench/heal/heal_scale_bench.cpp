// heal_scale_bench: how the lossless heal of one photo scales with its hot
// pixels. For each count, random hot pixels of radius 3 (range 3, Telea):
// the windows planned (joined and as the groups that must share one), the
// pixels they decode against the photo's, the largest window and group, the
// inpainting clusters of the whole map, and the CPU time of the heal with
// and without joining windows, whose outputs must be the same bytes.
//
//   heal_scale_bench PHOTO.jpg COUNT...
//   heal_scale_bench map WIDTH HEIGHT COUNT MAP.xml BLOCKS.txt
//     writes the same hot pixels as a map and as jpegpixi's blocks (the
//     square of each, clipped, overlapping squares merged: jpegpixi ignores
//     a block that overlaps another), for bench/heal/curve.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "heal/inpaint/region_inpainter.h"
#include "heal/inpaint/repair_mask.h"
#include "heal/lossless_jpeg/lossless_jpeg_heal.h"
#include "heal/lossless_jpeg/repair_windows.h"

namespace {

using namespace speckmend;

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The size in the JPEG's first frame header.
bool frameSize(const std::vector<unsigned char>& jpeg, int& width, int& height) {
    for (std::size_t at = 2; at + 9 <= jpeg.size();) {
        if (jpeg[at] != 0xFF) return false;
        const unsigned char code = jpeg[at + 1];
        if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
            height = jpeg[at + 5] << 8 | jpeg[at + 6];
            width = jpeg[at + 7] << 8 | jpeg[at + 8];
            return true;
        }
        at += 2 + (static_cast<std::size_t>(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    }
    return false;
}

struct Plan {
    std::size_t windows = 0, largestAreas = 0;
    long decoded = 0, largestWindow = 0;
};

Plan planOf(const std::vector<cv::Rect>& areas, const JpegGrid& grid, const WindowJoining& joining) {
    Plan plan;
    for (const RepairWindow& window : planRepairWindows(areas, grid, RegionInpainter::marginFor(3), joining)) {
        const long pixels = grid.pixels(window.imcus).area();
        ++plan.windows;
        plan.decoded += pixels;
        plan.largestWindow = std::max(plan.largestWindow, pixels);
        plan.largestAreas = std::max(plan.largestAreas, window.areas.size());
    }
    return plan;
}

// count hot pixels of radius 3, the same for the same count.
HotPixelMap randomMap(int width, int height, int count) {
    std::mt19937 rng(static_cast<unsigned>(count));
    HotPixelMap map{{}, width, height};
    for (int k = 0; k < count; ++k)
        map.pixels.push_back({static_cast<int>(rng() % width), static_cast<int>(rng() % height), 3});
    return map;
}

// The squares of the map's hot pixels, clipped, merged until none overlap
// (inclusive corners, as jpegpixi reads them).
std::vector<cv::Rect> jpegpixiBlocks(const HotPixelMap& map) {
    std::vector<cv::Rect> blocks = repairAreas(map, {map.width, map.height});
    auto touch = [](const cv::Rect& a, const cv::Rect& b) { return (a & b).area() > 0; };
    for (bool merged = true; merged;) {
        merged = false;
        std::sort(blocks.begin(), blocks.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.x < b.x; });
        std::vector<bool> gone(blocks.size(), false);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            for (std::size_t j = i + 1; !gone[i] && j < blocks.size() && blocks[j].x < blocks[i].br().x; ++j) {
                if (gone[j] || !touch(blocks[i], blocks[j])) continue;
                blocks[i] |= blocks[j];
                gone[j] = merged = true;
            }
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (!gone[i]) blocks[kept++] = blocks[i];
        blocks.resize(kept);
    }
    return blocks;
}

int writeMap(int width, int height, int count, const char* mapPath, const char* blocksPath) {
    const HotPixelMap map = randomMap(width, height, count);
    std::FILE* out = std::fopen(mapPath, "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "<?xml version=\"1.0\"?>\n<hotpixels>\n <width>%d</width>\n <height>%d</height>\n", width,
                 height);
    for (const HotPixel& p : map.pixels) std::fprintf(out, " <pix x=\"%d\" y=\"%d\" r=\"%d\"/>\n", p.x, p.y, p.r);
    std::fprintf(out, "</hotpixels>\n");
    if (std::fclose(out) != 0) return 1;
    out = std::fopen(blocksPath, "w");
    if (out == nullptr) return 1;
    for (const cv::Rect& b : jpegpixiBlocks(map)) std::fprintf(out, "%d,%d,%d,%d\n", b.x, b.y, b.width, b.height);
    return std::fclose(out) == 0 ? 0 : 1;
}

double healSeconds(const std::vector<unsigned char>& photo, const HotPixelMap& map, const WindowJoining& joining,
                   std::vector<unsigned char>& out) {
    const double start = processSeconds();
    LosslessHealResult result = healJpegLosslessly(photo, map, 3, 1, joining);
    const double seconds = processSeconds() - start;
    out = std::move(result.file);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::string(argv[1]) == "map")
        return writeMap(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5], argv[6]);
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: heal_scale_bench PHOTO.jpg COUNT...\n"
                     "       heal_scale_bench map WIDTH HEIGHT COUNT MAP.xml BLOCKS.txt\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<unsigned char> photo{std::istreambuf_iterator<char>(file), {}};
    int width = 0, height = 0;
    if (!frameSize(photo, width, height)) {
        std::fprintf(stderr, "heal_scale_bench: %s is not a JPEG\n", argv[1]);
        return 1;
    }
    // The grid of a 2x1 or 2x2 sampled camera file; only the planning
    // figures use it, the heal reads the file's own.
    const JpegGrid grid{width, height, 16, 8};
    const WindowJoining none{0, 0};
    std::printf("%dx%d, hot pixels of radius 3, range 3, Telea\n", width, height);
    std::printf("%7s %9s %9s %8s %9s %8s %9s %9s %10s %10s %6s\n", "hot", "clusters", "largest", "groups", "windows",
                "decoded", "largest", "areas in", "CPU ms", "unjoined", "same");
    std::printf("%7s %9s %9s %8s %9s %8s %9s %9s %10s %10s %6s\n", "pixels", "", "cluster", "", "joined", "x photo",
                "window", "largest", "joined", "ms", "bytes");
    bool allSame = true;
    {
        // The first heal of a process also pays for the libraries' first
        // use; it is left out of the figures.
        std::vector<unsigned char> unused;
        healSeconds(photo, randomMap(width, height, 100), {}, unused);
    }
    for (int i = 2; i < argc; ++i) {
        const int count = std::atoi(argv[i]);
        const HotPixelMap map = randomMap(width, height, count);
        const std::vector<cv::Rect> areas = repairAreas(map, {width, height});
        cv::Mat mask(height, width, CV_8UC1, cv::Scalar(0));
        drawRepairMask(map, mask);
        const std::vector<RegionInpainter::Region> clusters =
            RegionInpainter::findRegions(mask, RegionInpainter::marginFor(3), areas);
        std::size_t largestCluster = 0;
        for (const RegionInpainter::Region& cluster : clusters)
            largestCluster = std::max(largestCluster, cluster.parts.size());
        const Plan groups = planOf(areas, grid, none), joined = planOf(areas, grid, {});
        std::vector<unsigned char> withJoining, without;
        const double joinedSeconds = healSeconds(photo, map, {}, withJoining);
        const double unjoinedSeconds = healSeconds(photo, map, none, without);
        const bool same = !withJoining.empty() && withJoining == without;
        allSame = allSame && same;
        std::printf("%7d %9zu %9zu %8zu %9zu %8.2f %9ld %9zu %10.1f %10.1f %6s\n", count, clusters.size(),
                    largestCluster, groups.windows, joined.windows,
                    static_cast<double>(joined.decoded) / (static_cast<double>(width) * height), joined.largestWindow,
                    joined.largestAreas, joinedSeconds * 1e3, unjoinedSeconds * 1e3, same ? "yes" : "NO");
    }
    std::printf(
        "(largest cluster, areas: hot pixels; largest window: pixels; decoded: all windows' pixels over the "
        "photo's)\n");
    return allSame ? 0 : 1;
}
