// Writing and reading of the hot pixel map file.
#include "config/hot_pixel_map.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include "config/number_text.h"
#include "config/value_reader.h"
#include "config/xml_document.h"
#include "config/xml_element_stream.h"
#include "platform/fatal_error.h"

namespace speckmend {
namespace {

std::string escapeAttribute(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

// An unfinished pending file is removed with pending_.
HotPixelMapWriter::~HotPixelMapWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void HotPixelMapWriter::open(const std::string& path) {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    path_ = path;
    if (!PendingFile::mayReplace(path)) fail();
    pending_ = std::make_unique<PendingFile>(path);
    if (pending_->valid()) file_ = std::fopen(pending_->path().c_str(), "w");
    if (file_ == nullptr) fail();
}

void HotPixelMapWriter::refuse(const std::string& path) {
    throw FatalError("cannot write outfile [" + path + "]. Fix the problem and try again.", false);
}

void HotPixelMapWriter::writeSize(std::int32_t width, std::int32_t height) {
    put("<?xml version=\"1.0\"?>\n");
    put("<hotpixels>\n");
    put(" <width>" + std::to_string(width) + "</width>\n <height>" + std::to_string(height) + "</height>\n");
}

void HotPixelMapWriter::writePixel(std::int32_t x, std::int32_t y, std::string_view radius) {
    put(" <pix x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" r=\"" + escapeAttribute(radius) +
        "\"/>\n");
}

void HotPixelMapWriter::writeLine(const HotLine& line) {
    const bool column = line.axis == HotLine::Axis::column;
    put(std::string(column ? " <col x=\"" : " <row y=\"") + std::to_string(line.position) + "\" r=\"" +
        std::to_string(line.r) + "\"/>\n");
}

void HotPixelMapWriter::finish() {
    put("</hotpixels>");
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!flushed || !closed || !pending_->commit()) fail();
    pending_.reset();
}

void HotPixelMapWriter::put(std::string_view text) {
    if (file_ == nullptr) throw std::logic_error("HotPixelMapWriter: write without an open file");
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail();
}

void HotPixelMapWriter::fail() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    pending_.reset();
    refuse(path_);
}

namespace {

// One child of the map's root, as the document or the stream hands it out.
void addEntry(HotPixelMapFile& file, const XmlNodeInfo& node) {
    if (node.name == "pix") {
        const HotPixel pixel{attributeInt(node, "x"), attributeInt(node, "y"), attributeInt(node, "r")};
        if (pixel.x >= 0 && pixel.y >= 0 && pixel.r > 0) file.pixels.push_back(pixel);
    } else if (node.name == "col" || node.name == "row") {
        const bool column = node.name == "col";
        const HotLine line{column ? HotLine::Axis::column : HotLine::Axis::row, attributeInt(node, column ? "x" : "y"),
                           attributeInt(node, "r")};
        if (line.position >= 0 && line.r >= 0) (column ? file.columns : file.rows).push_back(line);
    } else if (node.name == "width") {
        if (!file.width) file.width = node.text;
    } else if (node.name == "height") {
        if (!file.height) file.height = node.text;
    }
}

}  // namespace

void loadHotPixelMap(XmlDocument& document, HotPixelMap& map) {
    HotPixelMapFile file;
    file.path = document.path();
    file.root = document.rootName();
    try {
        for (const XmlNodeInfo& node : document.selectNodes(
                 "/hotpixels/width[1] | /hotpixels/height[1] | /hotpixels/pix | /hotpixels/col | /hotpixels/row")) {
            addEntry(file, node);
        }
    } catch (const XmlLimitExceeded& limit) {
        throw FatalError(document.path() + ": the map " + limit.what() + ".", false);
    }
    loadHotPixelMap(std::move(file), map);
}

bool readHotPixelMapFile(const std::string& path, HotPixelMapFile& file, std::string& problem) {
    file = HotPixelMapFile();
    XmlElementStream stream;
    const bool read = stream.read(path, "hotpixels", [&file](const XmlNodeInfo& node) { addEntry(file, node); });
    if (!read) file = HotPixelMapFile();
    file.path = path;
    file.root = stream.rootName();
    problem = stream.problem();
    return read;
}

void loadHotPixelMap(HotPixelMapFile&& file, HotPixelMap& map) {
    const ValueSource source{file.path, file.root};
    map.width = leadingInt(settleValue("/hotpixels/width[1]", file.width, requiredMarker, source));
    map.height = leadingInt(settleValue("/hotpixels/height[1]", file.height, requiredMarker, source));
    map.pixels = std::move(file.pixels);
    for (const HotPixel& pixel : map.pixels) std::printf("hotpixel at %d,%d with r=%d\n", pixel.x, pixel.y, pixel.r);
    map.lines = std::move(file.columns);
    map.lines.insert(map.lines.end(), file.rows.begin(), file.rows.end());
    for (const HotLine& line : map.lines) {
        const bool column = line.axis == HotLine::Axis::column;
        std::printf(column ? "hot column at %d with r=%d\n" : "hot row at %d with r=%d\n", line.position, line.r);
    }
}

}  // namespace speckmend
