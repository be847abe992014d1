// Keeping a source's markers and writing them out again; see jpeg_markers.h.
#include "heal/jpeg/jpeg_markers.h"

#include <algorithm>
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

namespace speckmend {

namespace {

constexpr unsigned char kDqt = 0xDB, kDht = 0xC4, kDac = 0xCC, kDri = 0xDD, kSof0 = 0xC0, kSof1 = 0xC1;

// What a segment counts as when places are compared: kinds of tables and
// headers, each counted by the tables it defines.
enum Kind { kQuantTables, kFrame, kHuffmanTables, kConditioning, kInterval, kKinds };

struct Segment {
    unsigned char code = 0;
    std::size_t begin = 0, end = 0;  // the marker to past its data (a scan's entropy-coded data too)
    int region = 0;                  // scans before it
    int count[kKinds] = {};          // tables of each kind it defines
};

bool isKept(unsigned char code) { return code == JPEG_COM || (code >= JPEG_APP0 && code <= JPEG_APP0 + 15); }

std::size_t lengthAt(std::span<const unsigned char> bytes, std::size_t at) {
    return static_cast<std::size_t>(bytes[at]) << 8 | bytes[at + 1];
}

void countTables(std::span<const unsigned char> data, unsigned char code, Segment& segment) {
    if (code == kDqt) {
        for (std::size_t at = 0; at < data.size(); ++segment.count[kQuantTables])
            at += 1 + ((data[at] >> 4) ? 128 : 64);
    } else if (code == kDht) {
        for (std::size_t at = 0; at + 17 <= data.size(); ++segment.count[kHuffmanTables]) {
            std::size_t symbols = 0;
            for (int i = 1; i <= 16; ++i) symbols += data[at + i];
            at += 17 + symbols;
        }
    } else if (code == kDac) {
        segment.count[kConditioning] = static_cast<int>(data.size() / 2);
    } else if (code == kDri) {
        segment.count[kInterval] = 1;
    } else if (jpeg_marker::isFrameHeader(code)) {
        segment.count[kFrame] = 1;
    }
}

// From `at` inside a scan's entropy-coded data to the next marker that is
// not a stuffed zero, a restart marker or a fill byte (the last byte when
// there is none). The data is most of the file and a prefix byte is rare
// in it, so the search jumps from prefix to prefix.
std::size_t pastEntropyCodedData(std::span<const unsigned char> bytes, std::size_t at) {
    const std::size_t size = bytes.size();
    while (at + 1 < size) {
        const void* found = std::memchr(bytes.data() + at, jpeg_marker::kPrefix, size - 1 - at);
        if (found == nullptr) return size - 1;
        at = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes.data());
        const unsigned char next = bytes[at + 1];
        if (next != 0 && !jpeg_marker::isRestart(next) && next != jpeg_marker::kPrefix) return at;
        ++at;
    }
    return at;
}

// The segments of an image from SOI to EOI (neither included); empty when
// its bytes are not a walkable JPEG.
std::vector<Segment> segmentsOf(std::span<const unsigned char> bytes) {
    std::vector<Segment> segments;
    if (bytes.size() < 4 || bytes[0] != jpeg_marker::kPrefix || bytes[1] != jpeg_marker::kSoi) return {};
    int region = 0;
    std::size_t at = 2;
    while (at + 1 < bytes.size()) {
        if (bytes[at] != jpeg_marker::kPrefix) return {};
        const unsigned char code = bytes[at + 1];
        if (code == jpeg_marker::kPrefix) {
            ++at;
            continue;
        }
        if (code == jpeg_marker::kEoi) return segments;
        if (jpeg_marker::standsAlone(code) || at + 4 > bytes.size()) return {};
        const std::size_t length = lengthAt(bytes, at + 2);
        if (length < 2 || at + 2 + length > bytes.size()) return {};
        Segment segment;
        segment.code = code;
        segment.begin = at;
        segment.region = region;
        countTables(bytes.subspan(at + 4, length - 2), code, segment);
        at += 2 + length;
        if (code == jpeg_marker::kSos) {
            at = pastEntropyCodedData(bytes, at);
            ++region;
        }
        segment.end = at;
        segments.push_back(segment);
    }
    return {};
}

int scansOf(const std::vector<Segment>& segments) {
    return static_cast<int>(
        std::count_if(segments.begin(), segments.end(), [](const Segment& s) { return s.code == jpeg_marker::kSos; }));
}

// The output's segments in the order that moves its kept ones to their
// places in the source; empty when the two do not match.
std::vector<const Segment*> reordered(const std::vector<Segment>& from, const std::vector<Segment>& to) {
    // Where each kept segment of the source stands: its scan (the trailer
    // after the last scan mapped to the output's) and the tables of each
    // kind before it among that scan's headers.
    struct Place {
        int region;
        int before[kKinds];
    };
    const int sourceScans = scansOf(from), outputScans = scansOf(to);
    std::vector<Place> places;
    int seen[kKinds] = {}, region = 0;
    for (const Segment& s : from) {
        if (s.region != region) region = s.region, std::fill(seen, seen + kKinds, 0);
        if (isKept(s.code)) {
            Place p{s.region == sourceScans ? outputScans : std::min(s.region, outputScans), {}};
            std::copy(seen, seen + kKinds, p.before);
            places.push_back(p);
        }
        for (int k = 0; k < kKinds; ++k) seen[k] += s.count[k];
    }
    std::vector<const Segment*> kept, others;
    for (const Segment& s : to) (isKept(s.code) ? kept : others).push_back(&s);
    if (kept.size() != places.size()) return {};
    std::vector<const Segment*> order;
    order.reserve(to.size());
    std::size_t next = 0;  // the next kept segment, in source order
    // Places every kept segment due before the next segment of region r,
    // its tables so far counted.
    auto placeDue = [&](int r, const int* counted, const int* total) {
        for (; next < places.size() && places[next].region <= r; ++next) {
            for (int k = 0; places[next].region == r && k < kKinds; ++k)
                if (counted[k] < std::min(places[next].before[k], total[k])) return;
            order.push_back(kept[next]);
        }
    };
    for (std::size_t i = 0; i < others.size();) {
        const int r = others[i]->region;
        int total[kKinds] = {}, counted[kKinds] = {};
        std::size_t end = i;
        for (; end < others.size() && others[end]->region == r; ++end)
            for (int k = 0; k < kKinds; ++k) total[k] += others[end]->count[k];
        for (; i < end; ++i) {
            // All of a scan's own go before its SOS.
            placeDue(r, others[i]->code == jpeg_marker::kSos ? total : counted, total);
            order.push_back(others[i]);
            for (int k = 0; k < kKinds; ++k) counted[k] += others[i]->count[k];
        }
    }
    for (; next < places.size(); ++next) order.push_back(kept[next]);
    return order;
}

// The output's bytes with its segments in that order; empty when they do
// not make up the whole image.
std::vector<unsigned char> placedBytes(const std::vector<const Segment*>& order, const std::vector<Segment>& to,
                                       const std::vector<unsigned char>& out) {
    std::vector<unsigned char> placed;
    placed.reserve(out.size());
    placed.insert(placed.end(), out.begin(), out.begin() + 2);
    for (const Segment* s : order)
        placed.insert(placed.end(), out.begin() + static_cast<std::ptrdiff_t>(s->begin),
                      out.begin() + static_cast<std::ptrdiff_t>(s->end));
    placed.insert(placed.end(), out.begin() + static_cast<std::ptrdiff_t>(to.back().end), out.end());
    if (placed.size() != out.size()) return {};
    return placed;
}

// Whether the order is the output's own, in which case placing its segments
// has nothing to do: it would give its bytes back as they are (or, were
// there bytes between segments, refuse).
bool inPlace(const std::vector<const Segment*>& order, const std::vector<Segment>& to) {
    if (order.size() != to.size()) return false;
    for (std::size_t i = 0; i < to.size(); ++i)
        if (order[i] != &to[i]) return false;
    return true;
}

}  // namespace

void placeSourceMarkers(std::span<const unsigned char> source, std::vector<unsigned char>& out) {
    const std::vector<Segment> from = segmentsOf(source);
    std::vector<Segment> to = segmentsOf(out);
    if (from.empty() || to.empty()) return;
    // A photo's image is mostly one scan's data: it is copied only when a
    // segment has to move.
    const std::vector<const Segment*> order = reordered(from, to);
    if (!order.empty() && !inPlace(order, to)) {
        std::vector<unsigned char> placed = placedBytes(order, to, out);
        if (!placed.empty()) {
            out.swap(placed);
            to = segmentsOf(out);
        }
    }
    // A sequential Huffman frame the source labelled SOF1 is the same coding.
    const bool extended = std::any_of(from.begin(), from.end(), [](const Segment& s) { return s.code == kSof1; });
    for (const Segment& s : to)
        if (extended && s.code == kSof0) out[s.begin + 1] = kSof1;
}

}  // namespace speckmend
