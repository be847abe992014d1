// Keeping a source's markers and writing them out again; see jpeg_markers.h.
#include "heal/jpeg/jpeg_markers.h"

#include <cstring>

namespace speckmend {

namespace {

constexpr unsigned kMarkerLengthLimit = 0xFFFF;

bool hasPrefix(const jpeg_saved_marker_ptr marker, int code, const char* prefix, unsigned length) {
    return marker->marker == code && marker->data_length >= length && std::memcmp(marker->data, prefix, length) == 0;
}

bool isJfif(const jpeg_saved_marker_ptr marker) { return hasPrefix(marker, JPEG_APP0, "JFIF\0", 5); }
bool isAdobe(const jpeg_saved_marker_ptr marker) { return hasPrefix(marker, JPEG_APP0 + 14, "Adobe", 5); }

}  // namespace

bool isExifMarker(const jpeg_saved_marker_ptr marker) { return hasPrefix(marker, JPEG_APP0 + 1, "Exif\0\0", 6); }

void saveSourceMarkers(j_decompress_ptr source) {
    jpeg_save_markers(source, JPEG_COM, kMarkerLengthLimit);
    for (int n = 0; n < 16; ++n) jpeg_save_markers(source, JPEG_APP0 + n, kMarkerLengthLimit);
}

void copySourceMarkers(j_decompress_ptr source, j_compress_ptr output) {
    for (jpeg_saved_marker_ptr marker = source->marker_list; marker != nullptr; marker = marker->next) {
        if (output->write_JFIF_header && isJfif(marker)) continue;
        if (output->write_Adobe_marker && isAdobe(marker)) continue;
        jpeg_write_marker(output, marker->marker, marker->data, marker->data_length);
    }
}

}  // namespace speckmend
