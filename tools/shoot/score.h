// Scoring a hot pixel map against the truth list of a dark-frame set: recall
// by strength, false positives, and whether hot lines come out as lines.
//
// A pixel entry of the map matches a pixel or cluster spot when it lies
// within the tolerance of the spot's box (in both directions), and a line
// when it lies within the tolerance of it (a piece of the line). A column or
// row entry matches a planted column or row within the tolerance of its
// position. An entry that matches nothing is a false positive; a column or
// row entry counts as one entry however long it is. Further entries on a spot
// already matched are duplicates, not false positives.
#pragma once

#include <string>
#include <vector>

#include "shoot/truth.h"

namespace shoot {

struct MapEntry {
    enum class Kind { pixel, column, row };
    Kind kind = Kind::pixel;
    int x = 0, y = 0, r = 0;  // a column has no y, a row no x
};

struct HotMap {
    int width = -1, height = -1;
    std::vector<MapEntry> entries;
};

// Reads the width, the height and the pix, col and row elements of a map
// file's text; other elements are passed over. Throws std::runtime_error on
// an entry without its coordinates.
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
    double falsePerSixMegapixels = 0.0;
    std::vector<Spot> missed;  // strong spots not found, strongest first
};

// The strength buckets' lower edges, in DN; the last is open.
inline constexpr double kBucketEdges[] = {10.0, 20.0, 40.0, 80.0};

// How far from a spot a false positive counts as in its halo: the ringing
// of a strong spot's JPEG blocks (16 pixels wide in subsampled chroma).
inline constexpr int kHaloReach = 16;

Score scoreMap(const Truth& truth, const HotMap& map, int tolerance);

// The table for people and one "summary key=value ..." line for scripts.
std::string scoreTable(const Truth& truth, const Score& score, int tolerance);
std::string summaryLine(const Truth& truth, const Score& score);

}  // namespace shoot
