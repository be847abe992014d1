// Scoring a hot pixel map against a truth list.
#include "shoot/score.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace shoot {

namespace {

bool readInteger(const std::string& text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < -1000000000L || v > 1000000000L) return false;
    value = static_cast<int>(v);
    return true;
}

// The value of attribute `name` in the text of one element's tag, or false.
bool attribute(const std::string& tag, const std::string& name, int& value) {
    std::size_t at = 0;
    while ((at = tag.find(name, at)) != std::string::npos) {
        const bool startsWord =
            at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' || tag[at - 1] == '\n' || tag[at - 1] == '\r');
        std::size_t p = at + name.size();
        while (p < tag.size() && tag[p] == ' ') ++p;
        if (startsWord && p < tag.size() && tag[p] == '=') {
            ++p;
            while (p < tag.size() && tag[p] == ' ') ++p;
            if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) return false;
            const std::size_t close = tag.find(tag[p], p + 1);
            if (close == std::string::npos) return false;
            return readInteger(tag.substr(p + 1, close - p - 1), value);
        }
        at += name.size();
    }
    return false;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Chebyshev distance from a point to a spot's box (0 inside it).
int distance(const Spot& s, int x, int y) {
    const int dx = x < s.left ? s.left - x : (x > s.right ? x - s.right : 0);
    const int dy = y < s.top ? s.top - y : (y > s.bottom ? y - s.bottom : 0);
    return std::max(dx, dy);
}

bool covers(const MapEntry& e, const Spot& s) {
    for (const int x : {s.left, s.right}) {
        for (const int y : {s.top, s.bottom}) {
            const double dx = x - e.x, dy = y - e.y;
            if (std::sqrt(dx * dx + dy * dy) > e.r) return false;
        }
    }
    return true;
}

// A planted line's span along it, and where it lies across.
struct Span {
    bool column;
    int at, from, to;
};

Span spanOf(const Spot& s) {
    return s.isColumn() ? Span{true, s.left, s.top, s.bottom} : Span{false, s.top, s.left, s.right};
}

// The span of a line entry, its open end made the frame's edge.
Span spanOf(const MapEntry& e, const Truth& truth) {
    const bool column = e.kind == MapEntry::Kind::column;
    const int length = column ? truth.height : truth.width;
    return {column, column ? e.x : e.y, e.from, e.to < 0 ? length - 1 : e.to};
}

// What healing with `entries` repairs, drawn as heal draws it.
cv::Mat repairedMask(const Truth& truth, const std::vector<MapEntry>& entries) {
    cv::Mat mask(truth.height, truth.width, CV_8UC1, cv::Scalar(0));
    const cv::Rect frame(0, 0, truth.width, truth.height);
    for (const MapEntry& e : entries) {
        if (e.r < 0) continue;
        if (e.kind == MapEntry::Kind::pixel) {
            if (e.r > 0) cv::circle(mask, {e.x, e.y}, e.r, cv::Scalar(255), cv::FILLED, cv::LINE_8);
            continue;
        }
        const Span span = spanOf(e, truth);
        const cv::Rect band = span.column ? cv::Rect(span.at - e.r, span.from, 2 * e.r + 1, span.to - span.from + 1)
                                          : cv::Rect(span.from, span.at - e.r, span.to - span.from + 1, 2 * e.r + 1);
        const cv::Rect inside = band & frame;
        if (!inside.empty()) mask(inside).setTo(255);
    }
    return mask;
}

// The map the truth itself gives: a lone pixel's disc around every pixel of
// each hot spot, a band of three over each line.
std::vector<MapEntry> referenceEntries(const Truth& truth) {
    std::vector<MapEntry> entries;
    for (const Spot& s : truth.spots) {
        if (s.isBlob()) continue;
        if (s.isLine()) {
            const Span span = spanOf(s);
            MapEntry e;
            e.kind = span.column ? MapEntry::Kind::column : MapEntry::Kind::row;
            (span.column ? e.x : e.y) = span.at;
            e.r = 1;
            e.from = span.from;
            e.to = span.to;
            entries.push_back(e);
            continue;
        }
        for (int y = s.top; y <= s.bottom; ++y) {
            for (int x = s.left; x <= s.right; ++x) entries.push_back({MapEntry::Kind::pixel, x, y, kReferenceRadius});
        }
    }
    return entries;
}

// The share of a planted line's pixels inside the mask.
double coverage(const Spot& line, const cv::Mat& mask) {
    int inside = 0, all = 0;
    for (int y = std::max(0, line.top); y <= std::min(mask.rows - 1, line.bottom); ++y) {
        for (int x = std::max(0, line.left); x <= std::min(mask.cols - 1, line.right); ++x) {
            ++all;
            inside += mask.at<std::uint8_t>(y, x) != 0;
        }
    }
    return all > 0 ? static_cast<double>(inside) / all : 1.0;
}

Tally& tallyFor(std::vector<Tally>& tallies, const std::string& name) {
    for (Tally& t : tallies) {
        if (t.name == name) return t;
    }
    tallies.push_back({name});
    return tallies.back();
}

std::string percent(const Tally& t) {
    if (t.planted == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * t.found / t.planted);
    return text;
}

std::string ratio(const Tally& t) {
    if (t.planted == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(t.found) / t.planted);
    return text;
}

}  // namespace

HotMap parseMap(const std::string& text) {
    HotMap map;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string::npos) {
        const std::size_t end = text.find('>', at);
        if (end == std::string::npos) break;
        const std::string tag = text.substr(at + 1, end - at - 1);
        std::size_t nameEnd = 0;
        while (nameEnd < tag.size() && std::isalpha(static_cast<unsigned char>(tag[nameEnd]))) ++nameEnd;
        const std::string name = tag.substr(0, nameEnd);
        at = end + 1;
        if (name == "width" || name == "height") {
            const std::size_t close = text.find('<', at);
            int value = -1;
            if (close == std::string::npos || !readInteger(trimmed(text.substr(at, close - at)), value)) {
                throw std::runtime_error("bad <" + name + "> in the map");
            }
            (name == "width" ? map.width : map.height) = value;
        } else if (name == "pix" || name == "col" || name == "row") {
            MapEntry e;
            e.kind =
                name == "pix" ? MapEntry::Kind::pixel : (name == "col" ? MapEntry::Kind::column : MapEntry::Kind::row);
            const bool good =
                (name == "row" || attribute(tag, "x", e.x)) && (name == "col" || attribute(tag, "y", e.y));
            if (!good) throw std::runtime_error("map entry without its position: <" + tag + ">");
            if (!attribute(tag, "r", e.r)) e.r = 0;
            if (name != "pix") {
                if (!attribute(tag, "from", e.from)) e.from = 0;
                if (!attribute(tag, "to", e.to)) e.to = -1;
            }
            map.entries.push_back(e);
        }
    }
    return map;
}

namespace {

// An entry on no planted defect: on a glint or leak, near a planted spot
// (a halo), or elsewhere.
void countFalsePositive(const Truth& truth, const MapEntry& e, int tolerance, Score& score) {
    ++score.falsePositives;
    if (e.kind != MapEntry::Kind::pixel) return;
    if (std::any_of(truth.spots.begin(), truth.spots.end(),
                    [&](const Spot& s) { return s.isBlob() && distance(s, e.x, e.y) <= tolerance; })) {
        ++score.falseOnBlobs;
        return;
    }
    if (std::any_of(truth.spots.begin(), truth.spots.end(),
                    [&](const Spot& s) { return !s.isLine() && !s.isBlob() && distance(s, e.x, e.y) <= kHaloReach; })) {
        ++score.falseNearSpots;
    }
}

}  // namespace

Score scoreMap(const Truth& truth, const HotMap& map, int tolerance) {
    Score score;
    score.buckets = {{"below 10 DN"}, {"10-20 DN"}, {"20-40 DN"}, {"40-80 DN"}, {"80 DN and more"}};
    const std::size_t n = truth.spots.size();
    std::vector<int> hits(n, 0);
    std::vector<bool> covered(n, false), asLine(n, false);

    for (const MapEntry& e : map.entries) {
        ++score.entries;
        bool matched = false;
        if (e.kind == MapEntry::Kind::pixel) {
            score.widest = std::max(score.widest, e.r);
            for (std::size_t i = 0; i < n; ++i) {
                const Spot& s = truth.spots[i];
                if (s.isBlob() || distance(s, e.x, e.y) > tolerance) continue;
                matched = true;
                ++hits[i];
                if (covers(e, s)) covered[i] = true;
            }
        } else {
            ++score.lineEntries;
            const Span entry = spanOf(e, truth);
            for (std::size_t i = 0; i < n; ++i) {
                const Spot& s = truth.spots[i];
                if (!s.isLine() || s.isColumn() != entry.column) continue;
                const Span planted = spanOf(s);
                if (std::abs(entry.at - planted.at) > tolerance) continue;
                if (entry.to < planted.from - tolerance || entry.from > planted.to + tolerance) continue;
                matched = true;
                asLine[i] = true;
            }
        }
        if (!matched) countFalsePositive(truth, e, tolerance, score);
    }

    const cv::Mat repaired = repairedMask(truth, map.entries);
    score.repairedArea = cv::countNonZero(repaired);
    score.defectArea = cv::countNonZero(repairedMask(truth, referenceEntries(truth)));
    score.areaRatio = score.defectArea > 0 ? static_cast<double>(score.repairedArea) / score.defectArea : 0.0;

    for (std::size_t i = 0; i < n; ++i) {
        const Spot& s = truth.spots[i];
        if (s.isBlob()) continue;
        if (s.isLine()) {
            const double covered = coverage(s, repaired);
            score.worstLineCoverage = std::min(score.worstLineCoverage, covered);
            score.linesCovered += covered >= kCoveredShare;
            ++score.linesPlanted;
            if (asLine[i])
                ++score.linesAsOne;
            else if (hits[i] > 0)
                ++score.linesInPieces;
            continue;
        }
        const bool found = hits[i] > 0;
        score.duplicates += std::max(0, hits[i] - 1);
        int bucket = 0;
        while (bucket < 4 && s.strength >= kBucketEdges[bucket]) ++bucket;
        ++score.buckets[bucket].planted;
        score.buckets[bucket].found += found;
        if (bucket == 0) continue;
        ++score.strong.planted;
        score.strong.found += found;
        Tally& kind = tallyFor(score.kinds, s.kind);
        ++kind.planted;
        kind.found += found;
        if (s.channel != "grey") {
            Tally& channel = tallyFor(score.channels, s.channel);
            ++channel.planted;
            channel.found += found;
        }
        if (s.kind == "cluster" && covered[i]) ++score.clustersCovered;
        if (!found) score.missed.push_back(s);
    }
    std::stable_sort(score.missed.begin(), score.missed.end(),
                     [](const Spot& a, const Spot& b) { return a.strength > b.strength; });
    const double megapixels = static_cast<double>(truth.width) * truth.height / 1e6;
    score.falsePerSixMegapixels = megapixels > 0 ? score.falsePositives * 6.0 / megapixels : 0.0;
    return score;
}

std::string scoreTable(const Truth& truth, const Score& score, int tolerance) {
    std::string text;
    char line[256];
    std::snprintf(line, sizeof line, "set %s: %dx%d, %d frames, matched within %d px\n", truth.set.c_str(), truth.width,
                  truth.height, truth.frames, tolerance);
    text += line;
    std::snprintf(line, sizeof line, "%-28s %8s %8s %8s\n", "strength above background", "planted", "found", "recall");
    text += line;
    auto row = [&](const Tally& t, const std::string& indent) {
        std::snprintf(line, sizeof line, "%-28s %8d %8d %8s\n", (indent + t.name).c_str(), t.planted, t.found,
                      percent(t).c_str());
        text += line;
    };
    for (const Tally& t : score.buckets) row(t, "");
    row(score.strong, "");
    for (const Tally& t : score.kinds) row(t, "  ");
    for (const Tally& t : score.channels) row(t, "  ");
    for (const Tally& t : score.kinds) {
        if (t.name != "cluster") continue;
        std::snprintf(line, sizeof line, "clusters found: %d, of them covered whole by the entry's radius: %d\n",
                      t.found, score.clustersCovered);
        text += line;
    }
    if (score.linesPlanted > 0 || score.lineEntries > 0) {
        std::snprintf(line, sizeof line, "lines: %d planted, %d found as one line, %d only in pieces, %d missed\n",
                      score.linesPlanted, score.linesAsOne, score.linesInPieces,
                      score.linesPlanted - score.linesAsOne - score.linesInPieces);
        text += line;
        std::snprintf(line, sizeof line,
                      "lines repaired along %.0f%% of their length or more: %d of %d (least %.1f%%)\n",
                      100.0 * kCoveredShare, score.linesCovered, score.linesPlanted, 100.0 * score.worstLineCoverage);
        text += line;
    }
    std::snprintf(line, sizeof line,
                  "map entries: %d (%d lines); false positives: %d (%.1f per 6 MP, %d within %d px of a spot, %d on "
                  "glints or leaks); duplicates: %d\n",
                  score.entries, score.lineEntries, score.falsePositives, score.falsePerSixMegapixels,
                  score.falseNearSpots, kHaloReach, score.falseOnBlobs, score.duplicates);
    text += line;
    std::snprintf(line, sizeof line,
                  "widest pixel entry: r=%d; repaired area: %lld px, %.2fx the %lld px of the planted defects (discs "
                  "of r=%d, bands of 3)\n",
                  score.widest, score.repairedArea, score.areaRatio, score.defectArea, kReferenceRadius);
    text += line;
    if (!score.missed.empty()) {
        text += "missed, strongest first:";
        const std::size_t shown = std::min<std::size_t>(score.missed.size(), 12);
        for (std::size_t i = 0; i < shown; ++i) {
            const Spot& s = score.missed[i];
            std::snprintf(line, sizeof line, " %d,%d (%.1f%s%s)", s.x, s.y, s.strength, s.channel == "grey" ? "" : " ",
                          s.channel == "grey" ? "" : s.channel.c_str());
            text += line;
        }
        if (shown < score.missed.size()) text += " ...";
        text += "\n";
    }
    return text;
}

std::string summaryLine(const Truth& truth, const Score& score) {
    static const char* const kKeys[] = {"recall_below10", "recall10_20", "recall20_40", "recall40_80", "recall80"};
    char line[640];
    std::snprintf(line, sizeof line,
                  "summary set=%s recall=%s found=%d planted=%d fp=%d fp_per_6mp=%.2f fp_near_spots=%d lines=%d "
                  "lines_as_one=%d lines_in_pieces=%d duplicates=%d entries=%d fp_on_blobs=%d widest=%d "
                  "lines_covered=%d line_coverage=%.4f area_ratio=%.2f",
                  truth.set.c_str(), ratio(score.strong).c_str(), score.strong.found, score.strong.planted,
                  score.falsePositives, score.falsePerSixMegapixels, score.falseNearSpots, score.linesPlanted,
                  score.linesAsOne, score.linesInPieces, score.duplicates, score.entries, score.falseOnBlobs,
                  score.widest, score.linesCovered, score.worstLineCoverage, score.areaRatio);
    std::string text = line;
    for (std::size_t i = 0; i < score.buckets.size(); ++i)
        text += std::string(" ") + kKeys[i] + "=" + ratio(score.buckets[i]);
    return text + "\n";
}

}  // namespace shoot
