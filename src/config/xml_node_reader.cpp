// Node copies, budgets and parser complaints on libxml2.
#include "config/xml_node_reader.h"

#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace speckmend {
namespace {

void ignoreGenericError(void*, const char*, ...) {}

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
    if (node->type == XML_DOCUMENT_NODE) {
        xmlChar* dumped = nullptr;
        int size = 0;
        xmlDocDumpMemory(const_cast<xmlDoc*>(reinterpret_cast<const xmlDoc*>(node)), &dumped, &size);
        std::string text = dumped == nullptr ? std::string() : std::string(reinterpret_cast<char*>(dumped), size);
        xmlFree(dumped);
        return text;
    }
    std::unique_ptr<xmlBuffer, void (*)(xmlBufferPtr)> buffer(xmlBufferCreate(), xmlBufferFree);
    if (!buffer) throw XmlError("out of memory");
    if (xmlNodeDump(buffer.get(), node->doc, const_cast<xmlNode*>(node), 0, 0) < 0) {
        throw XmlError("cannot serialise node");
    }
    std::string text = toString(xmlBufferContent(buffer.get()));
    // An attribute serialises with the blank that separates it from its element.
    if (node->type == XML_ATTRIBUTE_NODE && !text.empty() && text.front() == ' ') text.erase(0, 1);
    return text;
}

}  // namespace

SilentErrors::SilentErrors()
    : structured_(xmlStructuredError),
      structuredContext_(xmlStructuredErrorContext),
      generic_(xmlGenericError),
      genericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(this, record);
    xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
}

SilentErrors::~SilentErrors() {
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
}

void SilentErrors::record(void* self, xmlErrorPtr error) {
    auto* errors = static_cast<SilentErrors*>(self);
    if (errors->haveFirst_ || error == nullptr || error->level < XML_ERR_ERROR) return;
    errors->haveFirst_ = true;
    errors->firstLine_ = error->line;
    errors->firstMessage_ = trim(error->message == nullptr ? "" : error->message);
}

std::string SilentErrors::describeFirst(const std::string& path) const {
    if (!haveFirst_) return path + ": is not well-formed XML";
    const std::string line = firstLine_ > 0 ? ":" + std::to_string(firstLine_) : std::string();
    return path + line + ": " + firstMessage_;
}

std::string systemProblem(const std::string& path, int error) { return path + ": " + std::strerror(error); }

XmlNodeInfo XmlNodeReader::copy(const xmlNode* node, bool withMarkup) {
    XmlNodeInfo info;
    if (withMarkup) info.xml = markup(node);
    info.text = trim(textOf(node));
    info.name = nodeName(node);
    if (node->type == XML_ELEMENT_NODE) {
        for (const xmlAttr* attribute = node->properties; attribute != nullptr; attribute = attribute->next) {
            XmlAttribute entry;
            entry.value = trim(textOfList(attribute->children));
            entry.name = qualifiedName(reinterpret_cast<const xmlNode*>(attribute));
            info.attributes.push_back(std::move(entry));
        }
    }
    return info;
}

std::string XmlNodeReader::textOf(const xmlNode* node) {
    out_.clear();
    // Comments and processing instructions count only when selected
    // themselves; inside an element they are not text.
    if (node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE) {
        append(node->content, 0);
    } else {
        addNode(node, 0);
    }
    return std::move(out_);
}

std::string XmlNodeReader::textOfList(const xmlNode* first) {
    out_.clear();
    addList(first, 0);
    return std::move(out_);
}

void XmlNodeReader::append(const xmlChar* text, int depth) {
    if (text == nullptr) return;
    const std::size_t size = std::strlen(reinterpret_cast<const char*>(text));
    if (size > kMaxValueBytes - out_.size()) {
        throw XmlLimitExceeded("holds more than 16 MiB of text, entities expanded");
    }
    if (depth > 0) {
        if (size > entityTextLeft_) {
            throw XmlLimitExceeded("expands entities beyond the 64 MiB of text they may add to one file");
        }
        entityTextLeft_ -= size;
    }
    out_.append(reinterpret_cast<const char*>(text), size);
}

void XmlNodeReader::addList(const xmlNode* node, int depth) {
    for (; node != nullptr; node = node->next) addNode(node, depth);
}

void XmlNodeReader::addNode(const xmlNode* node, int depth) {
    switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE: append(node->content, depth); break;
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
    case XML_ATTRIBUTE_NODE: addList(node->children, depth); break;
    case XML_ENTITY_REF_NODE: {
        // The reference's child is the entity declaration; its own children
        // are the parsed replacement text (none for an external entity,
        // which is never loaded).
        if (depth >= kMaxEntityDepth) throw XmlLimitExceeded("nests entities more than 32 deep");
        const auto* entity = reinterpret_cast<const xmlEntity*>(node->children);
        if (entity != nullptr && entity->type == XML_ENTITY_DECL && entity->etype == XML_INTERNAL_GENERAL_ENTITY) {
            addList(entity->children, depth + 1);
        }
        break;
    }
    default: break;
    }
}

}  // namespace speckmend
