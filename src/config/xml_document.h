// Read-only access to one XML file through XPath 1.0: the configuration
// file first, then, in heal mode, the hot pixel map.
//
// Loading never touches the network, never fetches external entities or
// DTDs and never prints: a file that is missing, unreadable or not
// well-formed simply does not load. Values handed out are UTF-8 with the
// surrounding white space trimmed, so pretty-printed files read the same as
// compact ones.
#pragma once

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
    // the file was read and is well-formed XML; after false nothing is held.
    bool load(const std::string& path);

    bool isLoaded() const { return document_ != nullptr; }

    // The first node the expression selects, in document order. Throws
    // XmlError when none matches or the selection fails.
    XmlNodeInfo selectNode(const std::string& xpath) const;

    // All nodes the expression selects, in document order; empty when none
    // matches. Throws XmlError when the selection itself fails.
    std::vector<XmlNodeInfo> selectNodes(const std::string& xpath) const;

private:
    void release();

    _xmlDoc* document_ = nullptr;
};

}  // namespace speckmend
