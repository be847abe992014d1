// The repair areas of a hot pixel map: the filled discs that the inpainting
// reconstructs, drawn into a mask or any crop of one, and their bounding
// rectangles. Drawing into a crop gives exactly the pixels that drawing into
// the whole photo's mask and cutting the crop out would give, so that a
// window of the photo can be repaired on its own.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "config/hot_pixel_map.h"

namespace speckmend {

// Hot lines: drawRepairMask also fills the band of every line of the map,
// 2r+1 columns or rows over the line's span (from `from` to `to` inclusive,
// or to the photo's far edge; a whole line spans the photo's height or
// width). A line of radius 0 is a band of one, a negative radius draws
// nothing, a span is clipped to the photo and one wholly outside draws
// nothing. bandAreas gives the bands' rectangles, which together with
// repairAreas' hold every pixel drawRepairMask sets.

// Sets to 255 every pixel of mask (8-bit, one channel) that lies in a repair
// disc of map: the crop's top-left pixel is at origin in photo coordinates.
// Pixels of radius 0 or less repair nothing; discs reaching over the crop's
// edges are clipped. Throws std::invalid_argument for a mask of another type.
void drawRepairMask(const HotPixelMap& map, cv::Mat& mask, cv::Point origin = {});

// One rectangle per repair disc that reaches into the photo, in map order,
// clipped to the photo: together they hold every pixel drawRepairMask sets
// inside a photo of that size. pixels, when given, receives for each
// rectangle the index of its hot pixel in the map.
std::vector<cv::Rect> repairAreas(const HotPixelMap& map, cv::Size photoSize,
                                  std::vector<std::size_t>* pixels = nullptr);

// One rectangle per line band that reaches into the photo, in map order,
// clipped to the photo. lines, when given, receives for each rectangle the
// index of its line in the map.
std::vector<cv::Rect> bandAreas(const HotPixelMap& map, cv::Size photoSize, std::vector<std::size_t>* lines = nullptr);

// A line's band in a photo of that size, clipped; empty when outside.
cv::Rect lineBand(const HotLine& line, cv::Size photoSize);

}  // namespace speckmend
