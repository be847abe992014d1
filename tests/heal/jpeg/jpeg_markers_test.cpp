// Putting the source's COM and APPn segments back in their places among the
// written image's tables and scans, across scan data of every kind of bytes.
#include "heal/jpeg/jpeg_markers.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace speckmend {
namespace {

using Bytes = std::vector<unsigned char>;

// Segments as a file holds them: the marker, the length, the data.
Bytes markerSegment(unsigned char code, const Bytes& data) {
    Bytes s = {0xFF, code, static_cast<unsigned char>((data.size() + 2) >> 8),
               static_cast<unsigned char>(data.size() + 2)};
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes kStart = {0xFF, 0xD8}, kEnd = {0xFF, 0xD9};
const Bytes kQuant = markerSegment(0xDB, Bytes(65, 1));
const Bytes kScan = markerSegment(0xDA, {1, 1, 0, 0, 63, 0});
const Bytes kNote = markerSegment(0xFE, {'n', 'o', 't', 'e'});

Bytes frameOf(unsigned char code) { return markerSegment(code, {8, 0, 16, 0, 16, 1, 1, 0x11, 0}); }

// Scan data that a walk must cross to find the scan's end: only a prefix
// byte followed by a marker code ends it.
struct ScanData {
    const char* name;
    Bytes bytes;
};

const std::vector<ScanData> kScanData = {
    {"plain bytes", {0x12, 0x34, 0x56, 0x78}},
    {"stuffed zeros", {0x12, 0xFF, 0x00, 0x34, 0xFF, 0x00, 0xFF, 0x00}},
    {"restart markers", {0x12, 0xFF, 0xD0, 0x34, 0xFF, 0xD7, 0x56, 0xFF, 0xD3}},
    {"prefix bytes first and last", {0xFF, 0x00, 0x12, 0xFF, 0x00}},
    {"fill bytes before the next marker", {0x12, 0x34, 0xFF, 0xFF, 0xFF}},
    {"a prefix byte every other byte", {0xFF, 0x00, 0x01, 0xFF, 0x00, 0x02, 0xFF, 0xD1, 0x03, 0xFF, 0x00}},
};

struct PlacementCase {
    const char* name;
    Bytes source, out, expected;
};

// The library writes every kept segment right after SOI; the source had
// them elsewhere. d1 and d2 are the output's scan data, s1 and s2 the
// source's (a repair changes the data, not the segments around it).
std::vector<PlacementCase> placementCases(const Bytes& s1, const Bytes& s2, const Bytes& d1, const Bytes& d2) {
    const Bytes sof0 = frameOf(0xC0), sof1 = frameOf(0xC1);
    return {
        // ---- moved among the headers
        {"a comment after the tables", joined({kStart, kQuant, kNote, sof0, kScan, s1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kQuant, kNote, sof0, kScan, d1, kEnd})},
        {"a comment between two scans", joined({kStart, kQuant, sof0, kScan, s1, kNote, kScan, s2, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kScan, d2, kEnd}),
         joined({kStart, kQuant, sof0, kScan, d1, kNote, kScan, d2, kEnd})},
        {"a comment after the last scan", joined({kStart, kQuant, sof0, kScan, s1, kScan, s2, kNote, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kScan, d2, kEnd}),
         joined({kStart, kQuant, sof0, kScan, d1, kScan, d2, kNote, kEnd})},
        // ---- nothing to move: the output stays as it is
        {"a comment right after SOI", joined({kStart, kNote, kQuant, sof0, kScan, s1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd})},
        {"no kept segment", joined({kStart, kQuant, sof0, kScan, s1, kScan, s2, kEnd}),
         joined({kStart, kQuant, sof0, kScan, d1, kScan, d2, kEnd}),
         joined({kStart, kQuant, sof0, kScan, d1, kScan, d2, kEnd})},
        // ---- an extended sequential frame labelled so again
        {"SOF1, nothing moved", joined({kStart, kNote, kQuant, sof1, kScan, s1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kNote, kQuant, sof1, kScan, d1, kEnd})},
        {"SOF1, a comment moved", joined({kStart, kQuant, sof1, kNote, kScan, s1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kQuant, sof1, kNote, kScan, d1, kEnd})},
        // ---- files that cannot be walked are left as they are
        {"output without its EOI", joined({kStart, kQuant, kNote, sof0, kScan, s1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1}), joined({kStart, kNote, kQuant, sof0, kScan, d1})},
        {"source without its EOI", joined({kStart, kQuant, kNote, sof0, kScan, s1}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kNote, kQuant, sof0, kScan, d1, kEnd})},
        {"fill bytes between the output's headers", joined({kStart, kQuant, kNote, sof0, kScan, s1, kEnd}),
         joined({kStart, kNote, {0xFF, 0xFF}, kQuant, sof0, kScan, d1, kEnd}),
         joined({kStart, kNote, {0xFF, 0xFF}, kQuant, sof0, kScan, d1, kEnd})},
        // Former bugs: none yet.
    };
}

TEST(JpegMarkers, KeptSegmentsReturnToTheirPlacesAcrossAnyScanData) {
    for (const ScanData& source : kScanData)
        for (const ScanData& output : kScanData) {
            // The second scans' data differ from the first's, so that a
            // scan's end found in the wrong place shows (fill bytes stay last).
            const Bytes s2 = joined({{0x9A, 0xBC}, source.bytes}), d2 = joined({{0xDE}, output.bytes});
            for (const PlacementCase& c : placementCases(source.bytes, s2, output.bytes, d2)) {
                SCOPED_TRACE(std::string(c.name) + "; source data: " + source.name + "; output data: " + output.name);
                Bytes out = c.out;
                placeSourceMarkers(c.source, out);
                EXPECT_EQ(out, c.expected);
            }
        }
}

}  // namespace
}  // namespace speckmend
