// heal_scale_bench: how the lossless heal of one photo scales with its hot
// pixels. For each count, random hot pixels of radius 3 (range 3, Telea):
// the windows planned (joined and as the groups that must share one), the
// pixels they decode against the photo's, the largest window and group, the
// inpainting clusters of the whole map, and the CPU time of the heal with
// and without joining windows, whose outputs must be the same bytes.
//
//   heal_scale_bench PHOTO.jpg COUNT...
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
    if (argc < 3) {
        std::fprintf(stderr, "usage: heal_scale_bench PHOTO.jpg COUNT...\n");
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
    for (int i = 2; i < argc; ++i) {
        const int count = std::atoi(argv[i]);
        std::mt19937 rng(static_cast<unsigned>(count));
        HotPixelMap map{{}, width, height};
        for (int k = 0; k < count; ++k)
            map.pixels.push_back({static_cast<int>(rng() % width), static_cast<int>(rng() % height), 3});
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
