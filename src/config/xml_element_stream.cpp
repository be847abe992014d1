// XmlElementStream on libxml2's pull parser (xmlTextReader), which builds
// the tree of the node it stands on and frees what it has passed.
#include "config/xml_element_stream.h"

#include <libxml/xmlreader.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "config/xml_node_reader.h"

namespace speckmend {
namespace {

// The file as the parser pulls it, through stdio so that the path is always
// a plain file name, never a URL that libxml2 would interpret.
struct Source {
    std::FILE* file = nullptr;
    std::size_t bytes = 0;
    bool tooLarge = false;
    int error = 0;

    static int read(void* self, char* buffer, int length) {
        auto* source = static_cast<Source*>(self);
        const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(length), source->file);
        if (got == 0 && std::ferror(source->file) != 0) {
            source->error = errno;
            return -1;
        }
        source->bytes += got;
        if (source->bytes > kMaxFileBytes) {
            source->tooLarge = true;
            return -1;
        }
        return static_cast<int>(got);
    }
};

std::string name(const xmlChar* text) { return text == nullptr ? std::string() : reinterpret_cast<const char*>(text); }

using Reader = std::unique_ptr<xmlTextReader, void (*)(xmlTextReaderPtr)>;

}  // namespace

bool XmlElementStream::read(const std::string& path, const std::string& rootName, const Visit& visit) {
    problem_.clear();
    rootName_.clear();
    xmlInitParser();
    Source source;
    source.file = std::fopen(path.c_str(), "rb");
    if (source.file == nullptr) {
        problem_ = systemProblem(path, errno);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(source.file, std::fclose);

    SilentErrors silence;
    // BIG_LINES: a map's lines run past the 65535 a node holds otherwise.
    constexpr int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;
    Reader reader(xmlReaderForIO(Source::read, nullptr, &source, path.c_str(), nullptr, options), xmlFreeTextReader);
    if (!reader) {
        problem_ = path + ": out of memory";
        return false;
    }
    std::size_t entityTextLeft = kMaxEntityTextBytes;
    XmlNodeReader nodes(entityTextLeft);
    bool rootMatches = false;
    int status = xmlTextReaderRead(reader.get());
    while (status == 1) {
        if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) {
            status = xmlTextReaderRead(reader.get());
            continue;
        }
        const bool inNamespace = xmlTextReaderConstNamespaceUri(reader.get()) != nullptr;
        if (xmlTextReaderDepth(reader.get()) == 0) {
            const std::string found = name(xmlTextReaderConstName(reader.get()));
            const bool prefixed = xmlTextReaderConstPrefix(reader.get()) != nullptr;
            rootName_ = inNamespace && !prefixed
                            ? found + " in namespace " + name(xmlTextReaderConstNamespaceUri(reader.get()))
                            : found;
            rootMatches = !inNamespace && found == rootName;
            status = xmlTextReaderRead(reader.get());
            continue;
        }
        // A child of the root: copied whole, then skipped over, so the
        // reader never holds more than this one subtree.
        if (rootMatches && !inNamespace) {
            const xmlNode* node = xmlTextReaderExpand(reader.get());
            if (node == nullptr) break;
            try {
                visit(nodes.copy(node, false));
            } catch (const XmlLimitExceeded& limit) {
                problem_ =
                    path + ":" + std::to_string(xmlGetLineNo(node)) + ": <" + name(node->name) + "> " + limit.what();
                return false;
            }
        }
        status = xmlTextReaderNext(reader.get());
    }
    if (source.tooLarge) {
        problem_ = path + ": is larger than 256 MiB";
    } else if (source.error != 0) {
        problem_ = systemProblem(path, source.error);
    } else if (status != 0 || rootName_.empty()) {
        problem_ = silence.describeFirst(path);
    }
    return problem_.empty();
}

}  // namespace speckmend
