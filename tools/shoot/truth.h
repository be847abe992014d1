// The truth list of a dark-frame set: every hot spot that was planted, where
// it is and how far it stands above its background in the mean of the frames
// as they were written. make_sample_shoot writes it as truth.txt beside the
// frames; score_detection reads it back.
//
// truth.txt:
//   # comment lines
//   set NAME
//   size W H
//   frames N
//   tolerance T       how far (in pixels) a reported position may lie from a spot
//   hot KIND X Y STRENGTH LEFT TOP RIGHT BOTTOM CHANNEL
// KIND is pixel (one hot pixel), cluster (a pair or a 3 by 3 group; X Y is
// its brightest member), beside (a weak hot pixel a few pixels from a strong
// one), line (a hot column, LEFT = RIGHT, or row, TOP = BOTTOM, over the
// whole frame or part of it; X Y is a point on it), or glint or leak (a
// smooth bright blob, no hot pixel: X Y its centre, the box two sigmas
// either way). LEFT TOP RIGHT BOTTOM bound every pixel of the spot,
// inclusive. STRENGTH is in DN with one decimal; for a line it is the
// median along the line, for a glint or leak its height. CHANNEL is the colour the spot shows in: grey
// for grey frames, blue, green or red for a site of a colour sensor.
#pragma once

#include <string>
#include <vector>

namespace shoot {

struct Spot {
    std::string kind;  // pixel, cluster, beside, line, glint or leak
    int x = 0, y = 0;
    double strength = 0.0;
    int left = 0, top = 0, right = 0, bottom = 0;
    std::string channel = "grey";

    bool isLine() const { return kind == "line"; }
    // A glint or a light leak: bright, but no hot pixel.
    bool isBlob() const { return kind == "glint" || kind == "leak"; }
    bool isColumn() const { return isLine() && left == right && top != bottom; }
};

struct Truth {
    std::string set;
    int width = 0, height = 0, frames = 0, tolerance = 1;
    std::vector<Spot> spots;
};

// header: comment lines to put first, each starting with "# ".
std::string truthText(const Truth& truth, const std::vector<std::string>& header);

// Throws std::runtime_error naming the offending line. A text without a set
// line is not a truth list (planted.txt of the demo shoot, for one).
Truth parseTruth(const std::string& text);
bool isTruthText(const std::string& text);

}  // namespace shoot
