// Reading a large XML file one child of the root at a time: the hot pixel
// map, which may list a million entries. A tree of the whole file costs
// about a kilobyte per entry; here memory follows what the caller keeps.
//
// The same rules as XmlDocument: no network, no external entities or DTDs,
// nothing printed, the text budgets of xml_node_reader.h (for the whole file
// at once), and the same files are well-formed or not.
#pragma once

#include <functional>
#include <string>

#include "config/xml_document.h"

namespace speckmend {

class XmlElementStream {
public:
    using Visit = std::function<void(const XmlNodeInfo& child)>;

    // Parses the file from start to end. When the root is an element named
    // `rootName` in no namespace, each of its element children in no
    // namespace (exactly those an XPath step "/rootName/NAME" can select) is
    // copied, without its markup, handed to `visit` as the parser reaches it,
    // and dropped. True when the whole file is well-formed; after false,
    // problem() says why and whatever the visits collected is to be thrown
    // away. A value beyond the text budgets makes the file fail too, with
    // the line and the element it was met in.
    bool read(const std::string& path, const std::string& rootName, const Visit& visit);

    // As XmlDocument's: "PATH: reason" or "PATH:LINE: message".
    const std::string& problem() const { return problem_; }
    // As XmlDocument::rootName, for the file last read.
    const std::string& rootName() const { return rootName_; }

private:
    std::string problem_;
    std::string rootName_;
};

}  // namespace speckmend
