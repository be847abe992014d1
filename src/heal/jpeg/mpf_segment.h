// The Multi-Picture (MPF) APP2 segment in which cameras index the preview
// images they append after the main image. Its offsets count from the segment
// itself and its first entry holds the main image's length, so a rewritten
// main image of another length must have them moved.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace speckmend {

// In output, a JPEG whose main image (SOI..EOI) is outputImageLength bytes
// and is followed by the same appended bytes that followed the source's main
// image of sourceImageLength bytes, makes the MPF segment (if any) point to
// the appended images at their new places: the first entry's size becomes
// outputImageLength, every other entry's offset moves by the change of the
// main image's length and of the segment's own position. Returns false (and
// changes nothing) when either file has no well-formed MPF segment.
bool moveMpfOffsets(std::span<const unsigned char> source, std::size_t sourceImageLength,
                    std::vector<unsigned char>& output, std::size_t outputImageLength);

// Offset of the MPF data (the byte after "MPF\0", where its offsets count
// from) in a JPEG's header markers; 0 when there is none.
std::size_t findMpfBase(std::span<const unsigned char> jpeg);

}  // namespace speckmend
