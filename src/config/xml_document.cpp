// XmlDocument on libxml2.
//
// libxml2 reports problems through per-thread error handlers that print to
// stderr by default. Every entry point here swaps in a silent handler for
// its own duration and puts the caller's back afterwards, so the console
// holds only the program's own lines and other users of the library in the
// process keep theirs.
//
// Entities: the parser runs without NOENT, DTDLOAD and HUGE, so external
// entities and DTDs are never fetched (their references read as empty
// text) and libxml2's own amplification check refuses entity bombs at load
// time. Internal entities stay in the tree as references; the text
// collector below expands them itself, under a depth and size budget, since
// libxml2's content getter expands without limit.
#include "config/xml_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>

namespace speckmend {
namespace {

constexpr int kMaxEntityDepth = 32;
constexpr std::size_t kMaxTextBytes = 16u << 20;
// Well beyond any configuration or map; keeps a stray multi-gigabyte file
// from being read whole into memory.
constexpr long kMaxFileBytes = 256L << 20;

void ignoreStructuredError(void*, xmlErrorPtr) {}
void ignoreGenericError(void*, const char*, ...) {}

class SilentErrors {
public:
    SilentErrors()
        : structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext),
          generic_(xmlGenericError),
          genericContext_(xmlGenericErrorContext) {
        xmlSetStructuredErrorFunc(nullptr, ignoreStructuredError);
        xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
    }
    ~SilentErrors() {
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
        xmlSetGenericErrorFunc(genericContext_, generic_);
    }
    SilentErrors(const SilentErrors&) = delete;
    SilentErrors& operator=(const SilentErrors&) = delete;

private:
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
    xmlGenericErrorFunc generic_;
    void* genericContext_;
};

std::string toString(const xmlChar* text) {
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

std::string trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

bool readWholeFile(const std::string& path, std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, got);
        if (content.size() > static_cast<std::size_t>(kMaxFileBytes)) return false;
    }
    return std::ferror(file) == 0;
}

// Text content as the DOM defines it: the text and CDATA of all descendants,
// entity references expanded, comments and processing instructions left out.
class TextCollector {
public:
    std::string collect(const xmlNode* node) {
        out_.clear();
        // Comments and processing instructions count only when selected
        // themselves; inside an element they are not text.
        if (node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE) {
            append(node->content);
        } else {
            addNode(node, 0);
        }
        return std::move(out_);
    }
    std::string collectChildren(const xmlNode* first) {
        out_.clear();
        addList(first, 0);
        return std::move(out_);
    }

private:
    void append(const xmlChar* text) {
        if (text == nullptr) return;
        out_ += reinterpret_cast<const char*>(text);
        if (out_.size() > kMaxTextBytes) throw XmlError("text content too large");
    }

    void addList(const xmlNode* node, int depth) {
        for (; node != nullptr; node = node->next) addNode(node, depth);
    }

    void addNode(const xmlNode* node, int depth) {
        switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE: append(node->content); break;
        case XML_ELEMENT_NODE:
        case XML_DOCUMENT_NODE:
        case XML_DOCUMENT_FRAG_NODE: addList(node->children, depth); break;
        case XML_ATTRIBUTE_NODE: addList(node->children, depth); break;
        case XML_ENTITY_REF_NODE: {
            // The reference's child is the entity declaration; its own
            // children are the parsed replacement text (none for an
            // external entity, which is never loaded).
            if (depth >= kMaxEntityDepth) throw XmlError("entities nested too deeply");
            const auto* entity = reinterpret_cast<const xmlEntity*>(node->children);
            if (entity != nullptr && entity->type == XML_ENTITY_DECL && entity->etype == XML_INTERNAL_GENERAL_ENTITY) {
                addList(entity->children, depth + 1);
            }
            break;
        }
        default: break;
        }
    }

    std::string out_;
};

std::string qualifiedName(const xmlNode* node) {
    std::string name = toString(node->name);
    if (node->ns != nullptr && node->ns->prefix != nullptr) name = toString(node->ns->prefix) + ":" + name;
    return name;
}

std::string nodeName(const xmlNode* node) {
    switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE: return qualifiedName(node);
    case XML_TEXT_NODE: return "#text";
    case XML_CDATA_SECTION_NODE: return "#cdata-section";
    case XML_COMMENT_NODE: return "#comment";
    case XML_DOCUMENT_NODE: return "#document";
    default: return toString(node->name);
    }
}

std::string markup(const xmlNode* node) {
    std::unique_ptr<xmlBuffer, void (*)(xmlBufferPtr)> buffer(xmlBufferCreate(), xmlBufferFree);
    if (!buffer) throw XmlError("out of memory");
    if (node->type == XML_DOCUMENT_NODE) {
        xmlChar* dumped = nullptr;
        int size = 0;
        xmlDocDumpMemory(const_cast<xmlDoc*>(reinterpret_cast<const xmlDoc*>(node)), &dumped, &size);
        std::string text = dumped == nullptr ? std::string() : std::string(reinterpret_cast<char*>(dumped), size);
        xmlFree(dumped);
        return text;
    }
    if (xmlNodeDump(buffer.get(), node->doc, const_cast<xmlNode*>(node), 0, 0) < 0) {
        throw XmlError("cannot serialise node");
    }
    std::string text = toString(xmlBufferContent(buffer.get()));
    // An attribute serialises with the blank that separates it from its element.
    if (node->type == XML_ATTRIBUTE_NODE && !text.empty() && text.front() == ' ') text.erase(0, 1);
    return text;
}

XmlNodeInfo describe(const xmlNode* node) {
    TextCollector collector;
    XmlNodeInfo info;
    info.xml = markup(node);
    info.text = trim(collector.collect(node));
    info.name = nodeName(node);
    if (node->type == XML_ELEMENT_NODE) {
        for (const xmlAttr* attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
            XmlAttribute entry;
            entry.value = trim(collector.collectChildren(attribute->children));
            entry.name = qualifiedName(reinterpret_cast<const xmlNode*>(attribute));
            info.attributes.push_back(std::move(entry));
        }
    }
    return info;
}

using XPathContext = std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)>;
using XPathObject = std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)>;

// Evaluates the expression and hands its node set to `use` while the
// result is alive; an empty or missing set is passed as null.
template <class Use>
void evaluate(xmlDoc* document, const std::string& xpath, Use use) {
    if (document == nullptr) throw XmlError("no document loaded");
    SilentErrors silence;
    XPathContext context(xmlXPathNewContext(document), xmlXPathFreeContext);
    if (!context) throw XmlError("out of memory");
    context->error = ignoreStructuredError;
    XPathObject result(xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), context.get()),
                       xmlXPathFreeObject);
    if (!result) throw XmlError("cannot evaluate XPath expression: " + xpath);
    if (result->type != XPATH_NODESET) throw XmlError("XPath expression selects no nodes: " + xpath);
    use(result->nodesetval);
}

}  // namespace

XmlDocument::XmlDocument() { xmlInitParser(); }

XmlDocument::~XmlDocument() { release(); }

XmlDocument::XmlDocument(XmlDocument&& other) noexcept : document_(std::exchange(other.document_, nullptr)) {}

XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept {
    if (this != &other) {
        release();
        document_ = std::exchange(other.document_, nullptr);
    }
    return *this;
}

void XmlDocument::release() {
    if (document_ != nullptr) xmlFreeDoc(document_);
    document_ = nullptr;
}

bool XmlDocument::load(const std::string& path) {
    release();
    // Read the bytes ourselves so that the path is always a plain file name,
    // never a URL that libxml2 would interpret.
    std::string content;
    if (!readWholeFile(path, content) || content.size() > static_cast<std::size_t>(INT_MAX)) return false;

    SilentErrors silence;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> parser(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!parser) return false;
    constexpr int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDoc* document = xmlCtxtReadMemory(parser.get(), content.data(), static_cast<int>(content.size()), path.c_str(),
                                         nullptr, options);
    if (document == nullptr) return false;
    if (!parser->wellFormed || xmlDocGetRootElement(document) == nullptr) {
        xmlFreeDoc(document);
        return false;
    }
    document_ = document;
    return true;
}

XmlNodeInfo XmlDocument::selectNode(const std::string& xpath) const {
    XmlNodeInfo info;
    evaluate(document_, xpath, [&](xmlNodeSetPtr nodes) {
        if (nodes == nullptr || nodes->nodeNr == 0) throw XmlError("no node matches " + xpath);
        info = describe(nodes->nodeTab[0]);
    });
    return info;
}

std::vector<XmlNodeInfo> XmlDocument::selectNodes(const std::string& xpath) const {
    std::vector<XmlNodeInfo> infos;
    evaluate(document_, xpath, [&](xmlNodeSetPtr nodes) {
        if (nodes == nullptr) return;
        infos.reserve(nodes->nodeNr);
        for (int i = 0; i < nodes->nodeNr; ++i) infos.push_back(describe(nodes->nodeTab[i]));
    });
    return infos;
}

}  // namespace speckmend
