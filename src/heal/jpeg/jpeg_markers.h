// Marker codes of the JPEG file format, for the code that walks a file's
// bytes itself (scan headers, the Multi-Picture segment).
#pragma once

namespace speckmend::jpeg_marker {

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

}  // namespace speckmend::jpeg_marker
