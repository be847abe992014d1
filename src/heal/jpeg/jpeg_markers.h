// The markers of a JPEG file: their codes, for the code that walks a file's
// bytes itself (scan headers, the Multi-Picture segment), and the COM and
// APPn markers a codec keeps from its source and writes out again.
#pragma once

#include <cstdio>  // before jpeglib.h, which needs FILE
#include <span>
#include <vector>

#include <jpeglib.h>

namespace speckmend {

namespace jpeg_marker {

inline constexpr unsigned char kPrefix = 0xFF;  // every marker starts with it
inline constexpr unsigned char kSoi = 0xD8;
inline constexpr unsigned char kEoi = 0xD9;
inline constexpr unsigned char kSos = 0xDA;
inline constexpr unsigned char kApp2 = 0xE2;

// Start of frame: SOF0 to SOF15 but DHT (C4), JPG (C8) and DAC (CC).
inline constexpr bool isFrameHeader(unsigned char code) {
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Markers without a length field inside or between segments.
inline constexpr bool standsAlone(unsigned char code) { return (code >= 0xD0 && code <= 0xD7) || code == 0x01; }
inline constexpr bool isRestart(unsigned char code) { return code >= 0xD0 && code <= 0xD7; }

}  // namespace jpeg_marker

// Call before the source's header is read: every COM and APP0..APP15 marker
// is kept whole, in file order.
void saveSourceMarkers(j_decompress_ptr source);

// Call after jpeg_write_coefficients: writes every kept source marker in
// file order, except a JFIF APP0 when the output writes its own JFIF header
// and an Adobe APP14 when it writes its own Adobe marker.
void copySourceMarkers(j_decompress_ptr source, j_compress_ptr output);

// The library writes every kept marker right after SOI, before the tables
// and the frame header, and a sequential Huffman frame as SOF0 whenever it
// can. Call on the written image (out, from its SOI to its EOI) with the
// source's image: each COM and APPn segment that stood after tables, the
// frame header or a scan in the source is moved to the same place among the
// output's (the same scan, after as many tables of each kind), and a source
// coded as SOF1 is labelled SOF1 again. Leaves out as it is when its
// segments do not match the source's.
void placeSourceMarkers(std::span<const unsigned char> source, std::vector<unsigned char>& out);

// Whether a kept marker is an Exif APP1 segment.
bool isExifMarker(const jpeg_saved_marker_ptr marker);

}  // namespace speckmend
