// score_photo_set: scores a hot pixel map made from a folder of photographs
// (make_photo_set.cpp) against the hot sites planted in it.
//
//   score_photo_set TRUTH_TXT LIGHTS_TXT HOTPIXELS_XML [--least DN]
//
// An entry within the truth's tolerance of a planted site finds it; an entry
// that finds none is a false positive, and one within the tolerance of a
// place where a point light of the scene peaked is a light mapped. Prints
// one "summary key=value ..." line: recall of the sites planted --least DN
// (default 30) or more, their count, false positives, lights mapped, entries,
// and recall by strength band. Exits with 2 on unreadable input.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "shoot/score.h"
#include "shoot/truth.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "score_photo_set: %s\n", message.c_str());
    std::exit(2);
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail("cannot read " + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool near(int ax, int ay, int bx, int by, int tolerance) {
    return std::abs(ax - bx) <= tolerance && std::abs(ay - by) <= tolerance;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) fail("usage: score_photo_set TRUTH_TXT LIGHTS_TXT HOTPIXELS_XML [--least DN]");
    double least = 30.0;
    if (argc >= 6 && std::string(argv[4]) == "--least") least = std::atof(argv[5]);
    shoot::Truth truth;
    shoot::HotMap map;
    try {
        truth = shoot::parseTruth(readText(argv[1]));
        map = shoot::parseMap(readText(argv[3]));
    } catch (const std::exception& error) {
        fail(error.what());
    }
    std::vector<std::pair<int, int>> lights;
    {
        std::istringstream in(readText(argv[2]));
        std::string word;
        int x = 0, y = 0;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            if (words >> word && word == "light" && words >> x >> y) lights.emplace_back(x, y);
        }
    }
    const int tolerance = truth.tolerance;
    // Bands: below 10, 10-30, 30-80, 80 and more.
    const double edges[] = {10.0, 30.0, 80.0};
    int planted[4] = {0, 0, 0, 0}, foundIn[4] = {0, 0, 0, 0};
    int strong = 0, strongFound = 0;
    std::vector<bool> used(map.entries.size(), false);
    for (const shoot::Spot& spot : truth.spots) {
        bool found = false;
        for (std::size_t e = 0; e < map.entries.size(); ++e) {
            const shoot::MapEntry& entry = map.entries[e];
            if (entry.kind != shoot::MapEntry::Kind::pixel) continue;
            if (near(entry.x, entry.y, spot.x, spot.y, tolerance)) {
                found = true;
                used[e] = true;
            }
        }
        int band = 0;
        while (band < 3 && spot.strength >= edges[band]) ++band;
        ++planted[band];
        foundIn[band] += found;
        if (spot.strength >= least) {
            ++strong;
            strongFound += found;
        }
    }
    int falsePositives = 0, lightsMapped = 0;
    for (std::size_t e = 0; e < map.entries.size(); ++e) {
        if (used[e]) continue;
        ++falsePositives;
        const shoot::MapEntry& entry = map.entries[e];
        for (const auto& [x, y] : lights) {
            if (near(entry.x, entry.y, x, y, tolerance)) {
                ++lightsMapped;
                break;
            }
        }
    }
    const auto share = [](int a, int b) { return b > 0 ? static_cast<double>(a) / b : 1.0; };
    std::printf("summary recall=%.4f planted=%d found=%d fp=%d lights=%d entries=%zu", share(strongFound, strong),
                strong, strongFound, falsePositives, lightsMapped, map.entries.size());
    static const char* const kBands[] = {"lt10", "10to30", "30to80", "ge80"};
    for (int b = 0; b < 4; ++b) std::printf(" %s=%d/%d", kBands[b], foundIn[b], planted[b]);
    std::printf("\n");
    return 0;
}
