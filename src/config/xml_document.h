// Read-only access to one XML file through XPath 1.0: the configuration
// file (the hot pixel map, which can be large, is streamed instead:
// xml_element_stream.h).
//
// Loading never touches the network, never fetches external entities or
// DTDs and never prints: a file that is missing, unreadable or not
// well-formed does not load, and problem() says why. Values handed out are
// UTF-8 with the surrounding white space trimmed, so pretty-printed files
// read the same as compact ones.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

struct _xmlDoc;  // libxml2's document, kept opaque so users need no libxml2 headers

namespace speckmend {

// A failed selection: no node matched selectNode's expression, the
// expression is not valid XPath or does not yield nodes, or nothing is
// loaded. The value readers catch it and take the default.
class XmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A selection whose text is beyond the budgets of xml_node_reader.h. Not an
// XmlError: a value too large to read is an error of its own, never a
// missing value that takes the default. what() completes a sentence whose
// subject is the value ("holds more than 16 MiB of text").
class XmlLimitExceeded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct XmlAttribute {
    std::string value;
    std::string name;
};

// A copy of one selected node; it stays valid after the document goes.
struct XmlNodeInfo {
    std::string xml;                       // the node's markup
    std::string text;                      // text content, trimmed
    std::string name;                      // node name, "#text" and the like for non-elements
    std::vector<XmlAttribute> attributes;  // document order; values trimmed
};

class XmlDocument {
public:
    XmlDocument();
    ~XmlDocument();
    XmlDocument(XmlDocument&& other) noexcept;
    XmlDocument& operator=(XmlDocument&& other) noexcept;
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Drops the document held so far, then parses the file. True only when
    // the file was read and is well-formed XML; after false nothing is held
    // and problem() says why.
    bool load(const std::string& path);

    bool isLoaded() const { return document_ != nullptr; }
    // The path of the last load, as given.
    const std::string& path() const { return path_; }
    // After a failed load: "PATH: reason", or "PATH:LINE: message" with the
    // parser's line and message.
    const std::string& problem() const { return problem_; }
    // The root element's name as written (with its prefix, if any), plus
    // " in namespace URI" for a default namespace, where a plain name step
    // does not select it; empty when nothing is loaded.
    std::string rootName() const;

    // The first node the expression selects, in document order. Throws
    // XmlError when none matches or the selection fails, XmlLimitExceeded
    // when its text is beyond the budgets.
    XmlNodeInfo selectNode(const std::string& xpath) const;

    // All nodes the expression selects, in document order; empty when none
    // matches. Throws XmlError when the selection itself fails.
    std::vector<XmlNodeInfo> selectNodes(const std::string& xpath) const;

private:
    void release();

    _xmlDoc* document_ = nullptr;
    std::string path_;
    std::string problem_;
    // What entity text the document may still hand out (xml_node_reader.h);
    // selections are const, the budget is the document's.
    mutable std::size_t entityTextLeft_ = 0;
};

}  // namespace speckmend
