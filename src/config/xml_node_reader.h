// The libxml2 side that XmlDocument and XmlElementStream share: silent error
// handlers that keep the parser's first complaint, copying a node into an
// XmlNodeInfo under the text budgets, and the text that says why a file did
// not load.
//
// Budgets: a value (a node's text content, or one attribute's) holds at
// most kMaxValueBytes, entities expanded; and all the text that entity
// references add, summed over everything copied out of one document, is at
// most kMaxEntityTextBytes. Literal text costs no more than the file holds,
// so a document's whole expanded text is bounded, and a small file whose
// entity is referenced a million times stops early instead of growing.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "config/xml_document.h"

namespace speckmend {

inline constexpr std::size_t kMaxValueBytes = 16u << 20;
inline constexpr std::size_t kMaxEntityTextBytes = 64u << 20;
inline constexpr int kMaxEntityDepth = 32;
// Well beyond any configuration or map; keeps a stray multi-gigabyte file
// from being parsed at all.
inline constexpr std::size_t kMaxFileBytes = 256u << 20;

// Swaps libxml2's per-thread error handlers for silent ones while it lives
// and puts the caller's back afterwards, so the console holds only the
// program's own lines and other users of the library keep theirs. Keeps the
// first error reported meanwhile: later ones are mostly its consequences.
class SilentErrors {
public:
    SilentErrors();
    ~SilentErrors();
    SilentErrors(const SilentErrors&) = delete;
    SilentErrors& operator=(const SilentErrors&) = delete;

    // "PATH:LINE: message" of the first error, or "PATH: is not well-formed
    // XML" when the parser gave none.
    std::string describeFirst(const std::string& path) const;

private:
    static void record(void* self, xmlErrorPtr error);

    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
    xmlGenericErrorFunc generic_;
    void* genericContext_;
    bool haveFirst_ = false;
    int firstLine_ = 0;
    std::string firstMessage_;
};

// "PATH: " followed by the system's text for errno.
std::string systemProblem(const std::string& path, int error);

// Copies nodes of one document; `entityTextLeft` is the document's budget
// for entity text and shrinks with every copy.
class XmlNodeReader {
public:
    explicit XmlNodeReader(std::size_t& entityTextLeft) : entityTextLeft_(entityTextLeft) {}

    // Name, text content and attributes; the markup too when asked (the
    // stream leaves it out: nobody reads it there, and it costs a
    // serialisation per element). Throws XmlLimitExceeded past a budget.
    XmlNodeInfo copy(const xmlNode* node, bool withMarkup);

private:
    // Text content as the DOM defines it: the text and CDATA of all
    // descendants, entity references expanded, comments and processing
    // instructions left out.
    std::string textOf(const xmlNode* node);
    std::string textOfList(const xmlNode* first);
    void append(const xmlChar* text, int depth);
    void addList(const xmlNode* node, int depth);
    void addNode(const xmlNode* node, int depth);

    std::size_t& entityTextLeft_;
    std::string out_;
};

}  // namespace speckmend
