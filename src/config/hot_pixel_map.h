// The hot pixel map: the one thing a detection run hands to a healing run.
// HotPixelMap is the data as the healing side holds it (part of the run
// settings record); HotPixelMapWriter produces the file line by line while
// the detector scans; readHotPixelMapFile and loadHotPixelMap read it back
// into the run settings.
//
// The file is a small XML document:
//
//   <?xml version="1.0"?>
//   <hotpixels>
//    <width>W</width>
//    <height>H</height>
//    <pix x="X" y="Y" r="R"/>      one line per hot pixel, in scan order
//   </hotpixels>                   (no line end after the root end)
//
// R is the configured radius text as it stands, so a map can carry "2.5";
// the reader takes its leading integer. A line is healed as a band of 2R+1
// columns or rows; readers that know only pix elements skip col and row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pending_file.h"

namespace speckmend {

struct HotPixel {
    std::int32_t x = 0;  // column, from 0 at the left edge
    std::int32_t y = 0;  // row, from 0 at the top edge
    std::int32_t r = 0;  // healing radius in pixels, at least 1 once read
};

// A hot column (all pixels with x == position) or hot row (y == position),
// repaired as a band of 2r+1 columns or rows centred on it.
struct HotLine {
    enum class Axis { column, row };
    // `to` of a span that reaches the far edge, whatever the frame's size.
    static constexpr std::int32_t kToEnd = -1;
    Axis axis = Axis::column;
    std::int32_t position = 0;
    std::int32_t r = 0;  // at least 0 once read
    std::int32_t from = 0;
    std::int32_t to = kToEnd;  // at least `from`, or kToEnd
    bool whole() const { return from == 0 && to == kToEnd; }
    bool operator==(const HotLine&) const = default;
};

struct HotPixelMap {
    std::vector<HotPixel> pixels;  // file order, duplicates kept
    std::int32_t width = 0;
    std::int32_t height = 0;
    // Last, so that a map written as {pixels, width, height} has none.
    std::vector<HotLine> lines{};  // columns, then rows, each in file order
};

class XmlDocument;

// A map file as read in one pass, before anything of it is echoed (the run
// checks its folders between reading the map and loading it). Holds only
// what loading keeps: the size texts and the accepted entries.
struct HotPixelMapFile {
    std::string path;
    std::string root;                   // the root element as found (XmlDocument::rootName)
    std::optional<std::string> width;   // text of the first width element, if any
    std::optional<std::string> height;  // the same for height
    std::vector<HotPixel> pixels;
    std::vector<HotLine> columns;
    std::vector<HotLine> rows;
};

// Call order: open, writeSize, writePixel for each hot pixel, finish. Any
// failure to open, write or close throws FatalError ("cannot write outfile
// [path]. Fix the problem and try again.", no usage text). The file is
// written under a temporary name beside the final one (platform's
// PendingFile) and takes the final name only at finish, so the map is whole
// or absent: a failure, a fatal error or a signal before then leaves
// whatever was at the path as it was.
class HotPixelMapWriter {
public:
    HotPixelMapWriter() = default;
    HotPixelMapWriter(const HotPixelMapWriter&) = delete;
    HotPixelMapWriter& operator=(const HotPixelMapWriter&) = delete;
    // An unfinished file is closed as far as it was written.
    ~HotPixelMapWriter();

    // Starts the file; a relative path is taken against the current
    // directory. The path is quoted verbatim in the failure message. A path
    // that could not be written in place (a folder, a file without write
    // permission) fails here, before anything is written.
    void open(const std::string& path);
    // The FatalError open would throw, for a caller that refuses the path
    // itself.
    [[noreturn]] static void refuse(const std::string& path);
    void writeSize(std::int32_t width, std::int32_t height);
    // The radius text goes between the quotes unchanged, except that the
    // characters XML reserves there (& < > ") become entities, so the map
    // always stays loadable.
    void writePixel(std::int32_t x, std::int32_t y, std::string_view radius);
    // After the pix lines, one element per hot line.
    void writeLine(const HotLine& line);
    // Writes the root end, closes the file and gives it its final name;
    // write errors that the buffering kept back (a full disk) surface here.
    void finish();

    bool isOpen() const { return file_ != nullptr; }

private:
    void put(std::string_view text);
    [[noreturn]] void fail();

    std::FILE* file_ = nullptr;  // writes the pending file
    std::unique_ptr<PendingFile> pending_;
    std::string path_;
};

// Fills `map` from a loaded map document: width and height through the
// value readers (echoed, both required), then every /hotpixels/pix element
// whose x and y are at least 0 and whose r is at least 1, in file order,
// each echoed as "hotpixel at X,Y with r=R". Other pix elements are skipped
// without a word. Then every /hotpixels/col and /hotpixels/row element whose
// position and r are at least 0, columns first, each echoed as "hot column
// at X with r=R" or "hot row at Y with r=R". Positions are not checked
// against the size here.
void loadHotPixelMap(XmlDocument& document, HotPixelMap& map);

// Reads a map file in one streaming pass, keeping 12 bytes per entry
// (XmlElementStream), with the rules of loadHotPixelMap. False when the file
// cannot be read or is not well-formed; `problem` then says why.
bool readHotPixelMapFile(const std::string& path, HotPixelMapFile& file, std::string& problem);

// loadHotPixelMap for a file read by readHotPixelMapFile: the same echo
// lines, checks and result. The file's entries are moved into `map`.
void loadHotPixelMap(HotPixelMapFile&& file, HotPixelMap& map);

}  // namespace speckmend
