// What the harder dark-frame sets put into their frames besides single hot
// pixels: hot columns and rows over part of their length, glints and light
// leaks, fixed-pattern banding and a sharp amplifier glow. Each is planned
// from its own random stream, so that the sets without them keep their
// bytes.
//
//   segments    hot columns and rows from an edge over part of the frame,
//               and short hot segments inside it
//   glints      small smooth blobs (a reflection inside the camera) and
//               light leaks (wide smooth brightening from an edge); neither
//               is a hot pixel
//   banding     fixed row and column offsets in bands of many rows or
//               columns, crossing each other, over faint per-row and
//               per-column noise
//   sharp-glow  amplifier glow at one or two corners that falls off within
//               a hundred pixels or so, with the shot noise it brings
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace shoot {

// A hot column (row) at `at` from `from` to `to` along it, inclusive.
struct LineDefect {
    bool column;
    int at, from, to;
    float amplitude;
};

// A smooth bright blob: amplitude * exp(-(q^shape)) with q the squared
// distance in units of its two sigmas (shape 1: Gaussian; 2: flat-topped
// with a steeper edge).
struct Blob {
    bool leak;  // a light leak rather than a glint
    float x, y, sigmaX, sigmaY, amplitude;
    int shape;

    // The box within which it is counted as there: two sigmas either way.
    cv::Rect box(int width, int height) const;
};

struct Band {
    bool row;
    int from, to;  // rows (columns), inclusive
    float offset;  // DN
};

struct Glow {
    float x, y;  // its source, on or just beyond a corner
    float amplitude, reach;
};

struct Defects {
    std::vector<LineDefect> lines;
    std::vector<Blob> blobs;
    std::vector<Band> bands;
    std::vector<float> rowNoise, columnNoise;  // fixed offsets of every row and column; empty for none
    std::vector<Glow> glows;
    float glowGain = 0.0f;  // variance per frame per DN of glow: the glow's shot noise
};

bool hasDefects(const std::string& set);

// The set's defects for a frame of width x height, from `seed`.
Defects planDefects(const std::string& set, std::uint64_t seed, int width, int height);

// Adds the fixed part (blobs, bands, the row and column noise, glows) to
// the CV_32FC1 background.
void addFixedDefects(cv::Mat& background, const Defects& defects);

// The variance per frame that the glow's shot noise adds at every pixel
// (CV_32FC1); empty when the set has no glow.
cv::Mat glowVariance(cv::Size size, const Defects& defects);

// Where hot spots of a set with glows are made to gather: within `distance`
// of a glow's source, so that the glow's area is tested too.
bool nearGlow(const Defects& defects, int x, int y, float distance);

}  // namespace shoot
