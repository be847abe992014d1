// XmlDocument on libxml2.
//
// Entities: the parser runs without NOENT, DTDLOAD and HUGE, so external
// entities and DTDs are never fetched (their references read as empty
// text) and libxml2's own amplification check refuses entity bombs at load
// time. Internal entities stay in the tree as references; the node reader
// expands them itself, under its budgets, since libxml2's content getter
// expands without limit.
#include "config/xml_document.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <utility>

#include "config/xml_node_reader.h"

namespace speckmend {
namespace {

void ignoreStructuredError(void*, xmlErrorPtr) {}

// The whole file, or the reason it cannot be had.
bool readWholeFile(const std::string& path, std::string& content, std::string& problem) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        problem = systemProblem(path, errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, got);
        if (content.size() > kMaxFileBytes) {
            problem = path + ": is larger than 256 MiB";
            return false;
        }
    }
    if (std::ferror(file) != 0) {
        problem = systemProblem(path, errno);
        return false;
    }
    return true;
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

XmlDocument::XmlDocument(XmlDocument&& other) noexcept
    : document_(std::exchange(other.document_, nullptr)),
      path_(std::move(other.path_)),
      problem_(std::move(other.problem_)),
      entityTextLeft_(other.entityTextLeft_) {}

XmlDocument& XmlDocument::operator=(XmlDocument&& other) noexcept {
    if (this != &other) {
        release();
        document_ = std::exchange(other.document_, nullptr);
        path_ = std::move(other.path_);
        problem_ = std::move(other.problem_);
        entityTextLeft_ = other.entityTextLeft_;
    }
    return *this;
}

void XmlDocument::release() {
    if (document_ != nullptr) xmlFreeDoc(document_);
    document_ = nullptr;
}

bool XmlDocument::load(const std::string& path) {
    release();
    path_ = path;
    problem_.clear();
    entityTextLeft_ = kMaxEntityTextBytes;
    // Read the bytes ourselves so that the path is always a plain file name,
    // never a URL that libxml2 would interpret.
    std::string content;
    if (!readWholeFile(path, content, problem_)) return false;
    static_assert(kMaxFileBytes <= static_cast<std::size_t>(INT_MAX));

    SilentErrors silence;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> parser(xmlNewParserCtxt(), xmlFreeParserCtxt);
    if (!parser) {
        problem_ = path + ": out of memory";
        return false;
    }
    constexpr int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDoc* document = xmlCtxtReadMemory(parser.get(), content.data(), static_cast<int>(content.size()), path.c_str(),
                                         nullptr, options);
    if (document == nullptr || !parser->wellFormed || xmlDocGetRootElement(document) == nullptr) {
        if (document != nullptr) xmlFreeDoc(document);
        problem_ = silence.describeFirst(path);
        return false;
    }
    document_ = document;
    return true;
}

std::string XmlDocument::rootName() const {
    const xmlNode* root = document_ == nullptr ? nullptr : xmlDocGetRootElement(document_);
    if (root == nullptr) return {};
    std::string name = reinterpret_cast<const char*>(root->name);
    if (root->ns == nullptr) return name;
    if (root->ns->prefix != nullptr) return reinterpret_cast<const char*>(root->ns->prefix) + (":" + name);
    return name + " in namespace " + reinterpret_cast<const char*>(root->ns->href);
}

XmlNodeInfo XmlDocument::selectNode(const std::string& xpath) const {
    XmlNodeInfo info;
    evaluate(document_, xpath, [&](xmlNodeSetPtr nodes) {
        if (nodes == nullptr || nodes->nodeNr == 0) throw XmlError("no node matches " + xpath);
        XmlNodeReader reader(entityTextLeft_);
        info = reader.copy(nodes->nodeTab[0], true);
    });
    return info;
}

std::vector<XmlNodeInfo> XmlDocument::selectNodes(const std::string& xpath) const {
    std::vector<XmlNodeInfo> infos;
    evaluate(document_, xpath, [&](xmlNodeSetPtr nodes) {
        if (nodes == nullptr) return;
        XmlNodeReader reader(entityTextLeft_);
        infos.reserve(nodes->nodeNr);
        for (int i = 0; i < nodes->nodeNr; ++i) infos.push_back(reader.copy(nodes->nodeTab[i], true));
    });
    return infos;
}

}  // namespace speckmend
