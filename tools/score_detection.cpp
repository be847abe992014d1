// score_detection: compares a hot pixel map written by `speckmend detect`
// with what a sample shoot planted (see make_sample_shoot.cpp).
//
//   score_detection TRUTH_TXT HOTPIXELS_XML [--tolerance N]
//
// With the truth.txt of a dark-frame set it prints the recall by strength,
// the false positives and the lines found as lines as a table, then one
// "summary key=value ..." line (see shoot/score.h); the tolerance defaults
// to the one the truth list names. Exits with 0 when it could score, 1 when
// the map's size differs from the frames', 2 on unreadable input.
//
//   score_detection PLANTED_TXT HOTPIXELS_XML
//
// With the planted.txt of the demo shoot:
// Prints how many planted hot pixels were found, split by what the method
// can find at all, and how many reported pixels were not planted. Exits
// with 0 when every planted hot pixel that the method can find was found and
// nothing else was reported, 1 otherwise, 2 on unreadable input.
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "shoot/planted.h"
#include "shoot/score.h"
#include "shoot/truth.h"

namespace {

using Position = std::pair<int, int>;

struct Planted {
    int width = 0, height = 0;
    std::map<Position, std::pair<std::string, bool>> pixels;  // kind, findable by the method
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "score_detection: %s\n", message.c_str());
    std::exit(2);
}

Planted readPlanted(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    Planted planted;
    try {
        const shoot::PlantedList list = shoot::parsePlanted(text.str());
        planted.width = list.width;
        planted.height = list.height;
        for (const shoot::PlantedPixel& p : list.pixels) planted.pixels[{p.x, p.y}] = {p.kind, p.findable};
    } catch (const std::runtime_error& error) {
        fail(path + ": " + error.what());
    }
    return planted;
}

struct Reported {
    int width = -1, height = -1;
    std::set<Position> pixels;
};

Reported readMap(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail("cannot read " + path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    Reported reported;
    try {
        const shoot::HotMap map = shoot::parseMap(buffer.str());
        reported.width = map.width;
        reported.height = map.height;
        for (const shoot::MapEntry& entry : map.entries)
            if (entry.kind == shoot::MapEntry::Kind::pixel) reported.pixels.insert({entry.x, entry.y});
    } catch (const std::runtime_error& error) {
        fail(error.what());
    }
    return reported;
}

}  // namespace

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

int scoreSet(int argc, char** argv, const std::string& truthText) {
    int tolerance = -1;
    if (argc == 5 && std::string(argv[3]) == "--tolerance") {
        char* end = nullptr;
        const long value = std::strtol(argv[4], &end, 10);
        if (end == argv[4] || *end != '\0' || value < 0 || value > 1000)
            fail("--tolerance needs a whole number from 0 to 1000");
        tolerance = static_cast<int>(value);
    } else if (argc != 3) {
        fail("usage: score_detection TRUTH_TXT HOTPIXELS_XML [--tolerance N]");
    }
    try {
        const shoot::Truth truth = shoot::parseTruth(truthText);
        const shoot::HotMap map = shoot::parseMap(readWhole(argv[2]));
        if (tolerance < 0) tolerance = truth.tolerance;
        const shoot::Score score = shoot::scoreMap(truth, map, tolerance);
        std::fputs(shoot::scoreTable(truth, score, tolerance).c_str(), stdout);
        std::fputs(shoot::summaryLine(truth, score).c_str(), stdout);
        if (map.width != truth.width || map.height != truth.height) {
            std::printf("map size %dx%d differs from the frames' %dx%d\n", map.width, map.height, truth.width,
                        truth.height);
            return 1;
        }
    } catch (const std::runtime_error& error) {
        fail(error.what());
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::puts(
            "usage: score_detection TRUTH_TXT HOTPIXELS_XML [--tolerance N]\n"
            "       score_detection PLANTED_TXT HOTPIXELS_XML");
        return 0;
    }
    if (argc < 3) fail("usage: score_detection TRUTH_TXT HOTPIXELS_XML [--tolerance N]");
    const std::string truthText = readWhole(argv[1]);
    if (shoot::isTruthText(truthText)) return scoreSet(argc, argv, truthText);
    if (argc != 3) fail("usage: score_detection PLANTED_TXT HOTPIXELS_XML");
    const Planted planted = readPlanted(argv[1]);
    const Reported reported = readMap(argv[2]);

    int findable = 0, found = 0, foundUnfindable = 0;
    std::map<std::string, int> notFindable;
    std::string missed;
    for (const auto& [position, info] : planted.pixels) {
        const bool isReported = reported.pixels.count(position) > 0;
        if (info.second) {
            ++findable;
            if (isReported)
                ++found;
            else
                missed += " " + std::to_string(position.first) + "," + std::to_string(position.second);
        } else {
            ++notFindable[info.first];
            if (isReported) ++foundUnfindable;
        }
    }
    int strays = 0;
    for (const Position& p : reported.pixels) strays += planted.pixels.count(p) == 0;

    std::string notFindableText;
    for (const auto& [kind, count] : notFindable) {
        notFindableText += (notFindableText.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    }
    std::printf("planted hot pixels: %zu (%d findable by the method%s%s)\n", planted.pixels.size(), findable,
                notFindableText.empty() ? "" : "; not findable: ", notFindableText.c_str());
    std::printf("found: %d of %d findable%s%s\n", found, findable, missed.empty() ? "" : "; missed:", missed.c_str());
    if (foundUnfindable > 0) std::printf("reported although the method cannot find them: %d\n", foundUnfindable);
    std::printf("reported but not planted: %d\n", strays);
    if (reported.width != planted.width || reported.height != planted.height) {
        std::printf("map size %dx%d differs from the frames' %dx%d\n", reported.width, reported.height, planted.width,
                    planted.height);
        return 1;
    }
    return (found == findable && strays == 0 && foundUnfindable == 0) ? 0 : 1;
}
