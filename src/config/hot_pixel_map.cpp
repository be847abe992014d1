// Writing and reading of the hot pixel map file.
#include "config/hot_pixel_map.h"

#include <cstdio>
#include <stdexcept>

#include "config/value_reader.h"
#include "config/xml_document.h"
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

HotPixelMapWriter::~HotPixelMapWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

void HotPixelMapWriter::open(const std::string& path) {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    path_ = path;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) fail();
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
    std::string text = std::string(column ? " <col x=\"" : " <row y=\"") + std::to_string(line.position) + "\" r=\"" +
                       std::to_string(line.r) + "\"";
    if (!line.whole()) {
        text += " from=\"" + std::to_string(line.from) + "\"";
        if (line.to != HotLine::kToEnd) text += " to=\"" + std::to_string(line.to) + "\"";
    }
    put(text + "/>\n");
}

void HotPixelMapWriter::finish() {
    put("</hotpixels>");
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!flushed || !closed) fail();
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
    throw FatalError("cannot write outfile [" + path_ + "]. Fix the problem and try again.", false);
}

// ---- The span of a line element ---------------------------------------------
// Kept apart from the rest of the reader: whichever way the elements are
// walked, a col or row element's span is read by these two alone.

namespace {

const XmlAttribute* findAttribute(const XmlNodeInfo& node, std::string_view name) {
    for (const XmlAttribute& attribute : node.attributes) {
        if (attribute.name == name) return &attribute;
    }
    return nullptr;
}

}  // namespace

bool readLineSpan(const XmlNodeInfo& node, HotLine& line) {
    line.from = findAttribute(node, "from") != nullptr ? attributeInt(node, "from") : 0;
    line.to = findAttribute(node, "to") != nullptr ? attributeInt(node, "to") : HotLine::kToEnd;
    if (line.from < 0) return false;
    return line.to == HotLine::kToEnd ? findAttribute(node, "to") == nullptr : line.to >= line.from;
}

std::string lineSpanText(const HotLine& line) {
    if (line.whole()) return "";
    std::string text = " from " + std::to_string(line.from);
    if (line.to != HotLine::kToEnd) text += " to " + std::to_string(line.to);
    return text;
}

// ---- Reading -----------------------------------------------------------------

void loadHotPixelMap(XmlDocument& document, HotPixelMap& map) {
    map.width = readInt(document, "/hotpixels/width[1]", requiredMarker);
    map.height = readInt(document, "/hotpixels/height[1]", requiredMarker);
    map.pixels.clear();
    for (const XmlNodeInfo& node : document.selectNodes("/hotpixels/pix")) {
        const HotPixel pixel{attributeInt(node, "x"), attributeInt(node, "y"), attributeInt(node, "r")};
        if (pixel.x < 0 || pixel.y < 0 || pixel.r <= 0) continue;
        std::printf("hotpixel at %d,%d with r=%d\n", pixel.x, pixel.y, pixel.r);
        map.pixels.push_back(pixel);
    }
    map.lines.clear();
    const struct {
        const char* path;
        const char* attribute;
        HotLine::Axis axis;
        const char* echo;
    } kinds[] = {{"/hotpixels/col", "x", HotLine::Axis::column, "hot column at %d%s with r=%d\n"},
                 {"/hotpixels/row", "y", HotLine::Axis::row, "hot row at %d%s with r=%d\n"}};
    for (const auto& kind : kinds) {
        for (const XmlNodeInfo& node : document.selectNodes(kind.path)) {
            HotLine line{kind.axis, attributeInt(node, kind.attribute), attributeInt(node, "r")};
            if (line.position < 0 || line.r < 0 || !readLineSpan(node, line)) continue;
            std::printf(kind.echo, line.position, lineSpanText(line).c_str(), line.r);
            map.lines.push_back(line);
        }
    }
}

}  // namespace speckmend
