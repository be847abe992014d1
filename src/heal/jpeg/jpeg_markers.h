// The markers of a JPEG file: their codes, for the code that walks a file's
// bytes itself (scan headers, the Multi-Picture segment), and the COM and
// APPn markers a codec keeps from its source and writes out again.
#pragma once

#include <cstdio>  // before jpeglib.h, which needs FILE

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

// Whether a kept marker is an Exif APP1 segment.
bool isExifMarker(const jpeg_saved_marker_ptr marker);

}  // namespace speckmend
