// Writing and reading the truth list of a dark-frame set.
#include "shoot/truth.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace shoot {

namespace {

const char* const kFormat[] = {
    "# hot KIND X Y STRENGTH LEFT TOP RIGHT BOTTOM CHANNEL",
    "# KIND: pixel, cluster (X Y its brightest member) or line (a column or a row);",
    "# STRENGTH: DN above the background in the mean of the frames as written;",
    "# LEFT TOP RIGHT BOTTOM: every pixel of the spot; CHANNEL: grey, blue, green or red.",
};

bool knownKind(const std::string& kind) {
    return kind == "pixel" || kind == "cluster" || kind == "line" || kind == "beside" || kind == "glint" ||
           kind == "leak";
}

// Said only in the lists that have these kinds, so the others read as
// they always did.
const char* const kBesideFormat = "# beside: a weak hot pixel a few pixels from a strong one.";
const char* const kBlobFormat =
    "# glint, leak: a smooth bright blob, no hot pixel (X Y its centre, STRENGTH its height).";

bool knownChannel(const std::string& channel) {
    return channel == "grey" || channel == "blue" || channel == "green" || channel == "red";
}

}  // namespace

std::string truthText(const Truth& truth, const std::vector<std::string>& header) {
    std::string text;
    for (const std::string& line : header) text += line + "\n";
    for (const char* line : kFormat) text += std::string(line) + "\n";
    auto has = [&](auto test) { return std::any_of(truth.spots.begin(), truth.spots.end(), test); };
    if (has([](const Spot& s) { return s.kind == "beside"; })) text += std::string(kBesideFormat) + "\n";
    if (has([](const Spot& s) { return s.isBlob(); })) text += std::string(kBlobFormat) + "\n";
    text += "set " + truth.set + "\n";
    text += "size " + std::to_string(truth.width) + " " + std::to_string(truth.height) + "\n";
    text += "frames " + std::to_string(truth.frames) + "\n";
    text += "tolerance " + std::to_string(truth.tolerance) + "\n";
    for (const Spot& s : truth.spots) {
        char line[160];
        std::snprintf(line, sizeof line, "hot %s %d %d %.1f %d %d %d %d %s\n", s.kind.c_str(), s.x, s.y, s.strength,
                      s.left, s.top, s.right, s.bottom, s.channel.c_str());
        text += line;
    }
    return text;
}

bool isTruthText(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("set ", 0) == 0) return true;
    }
    return false;
}

Truth parseTruth(const std::string& text) {
    Truth truth;
    bool haveSet = false, haveSize = false;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream words(line);
        std::string tag;
        if (!(words >> tag) || tag[0] == '#') continue;
        bool good = true;
        if (tag == "set") {
            good = static_cast<bool>(words >> truth.set);
            haveSet = true;
        } else if (tag == "size") {
            good = (words >> truth.width >> truth.height) && truth.width > 0 && truth.height > 0;
            haveSize = true;
        } else if (tag == "frames") {
            good = static_cast<bool>(words >> truth.frames);
        } else if (tag == "tolerance") {
            good = (words >> truth.tolerance) && truth.tolerance >= 0;
        } else if (tag == "hot") {
            Spot s;
            good =
                (words >> s.kind >> s.x >> s.y >> s.strength >> s.left >> s.top >> s.right >> s.bottom >> s.channel) &&
                knownKind(s.kind) && knownChannel(s.channel) && s.left <= s.right && s.top <= s.bottom &&
                (!s.isLine() || s.left == s.right || s.top == s.bottom);
            if (good) truth.spots.push_back(s);
        } else {
            good = false;
        }
        std::string rest;
        if (good && (words >> rest)) good = false;
        if (!good) throw std::runtime_error("bad truth line " + std::to_string(number) + ": " + line);
    }
    if (!haveSet || !haveSize) throw std::runtime_error("not a truth list: no set or size line");
    return truth;
}

}  // namespace shoot
