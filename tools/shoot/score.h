// Scoring a hot pixel map against the truth list of a dark-frame set: recall
// by strength, false positives, whether hot lines come out as lines, and
// what healing with the map would repair.
//
// A pixel entry of the map matches a hot spot (pixel, cluster, beside) when
// it lies within the tolerance of the spot's box (in both directions), and a
// line when it lies within the tolerance of it (a piece of the line). A
// column or row entry matches a planted column or row within the tolerance
// of its position whose span it overlaps. An entry that matches nothing is a
// false positive (one on a glint or a leak among them: those are no hot
// pixels); a column or row entry counts as one entry however long it is.
// Further entries on a spot already matched are duplicates, not false
// positives.
//
// What healing would repair is drawn as heal draws it: a disc of radius r
// around each pixel entry, a band of 2r+1 over each line's span. Against it
// stands the area of the planted defects as a map made from the truth would
// repair them: a disc of kReferenceRadius around every pixel of each hot
// spot, a band of three over each planted line.
#pragma once

#include <string>
#include <vector>

#include "shoot/truth.h"

namespace shoot {

struct MapEntry {
    enum class Kind { pixel, column, row };
    Kind kind = Kind::pixel;
    int x = 0, y = 0, r = 0;  // a column has no y, a row no x
    int from = 0, to = -1;    // a line's span; to -1: up to the far edge
};

struct HotMap {
    int width = -1, height = -1;
    std::vector<MapEntry> entries;
};

// Reads the width, the height and the pix, col and row elements of a map
// file's text (a line's from and to when it has them); other elements are
// passed over. Throws std::runtime_error on an entry without its
// coordinates.
HotMap parseMap(const std::string& text);

struct Tally {
    std::string name;
    int planted = 0, found = 0;
};

struct Score {
    std::vector<Tally> buckets;      // by strength: below 10, 10-20, 20-40, 40-80, 80 and more
    Tally strong{"10 DN and more"};  // the spots the targets speak of
    std::vector<Tally> kinds;        // of the strong spots, by kind
    std::vector<Tally> channels;     // of the strong spots, by colour; empty for grey frames
    int clustersCovered = 0;         // strong clusters found by an entry whose radius covers the whole cluster
    int linesPlanted = 0, linesAsOne = 0, linesInPieces = 0;
    int entries = 0, lineEntries = 0, falsePositives = 0, duplicates = 0;
    int falseNearSpots = 0;  // false positives within kHaloReach of a planted spot: its halo, not a spot of its own
    int falseOnBlobs = 0;    // false positives on a glint or a leak
    double falsePerSixMegapixels = 0.0;
    int widest = 0;                  // the largest r of a pixel entry
    double worstLineCoverage = 1.0;  // the least share of a planted line's pixels that the map repairs
    int linesCovered = 0;            // planted lines of which the map repairs kCoveredShare or more
    long long repairedArea = 0;      // pixels the map repairs
    long long defectArea = 0;        // pixels the truth's own map would repair
    double areaRatio = 0.0;          // repairedArea / defectArea; 0 without defects
    std::vector<Spot> missed;        // strong spots not found, strongest first
};

// The strength buckets' lower edges, in DN; the last is open.
inline constexpr double kBucketEdges[] = {10.0, 20.0, 40.0, 80.0};

// How far from a spot a false positive counts as in its halo: the ringing
// of a strong spot's JPEG blocks (16 pixels wide in subsampled chroma).
inline constexpr int kHaloReach = 16;

// The radius of a lone hot pixel's repair (the default hprad), and the share
// of a line that counts as covered.
inline constexpr int kReferenceRadius = 3;
inline constexpr double kCoveredShare = 0.95;

Score scoreMap(const Truth& truth, const HotMap& map, int tolerance);

// The table for people and one "summary key=value ..." line for scripts.
std::string scoreTable(const Truth& truth, const Score& score, int tolerance);
std::string summaryLine(const Truth& truth, const Score& score);

}  // namespace shoot
