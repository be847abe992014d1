// The value readers behind every configuration and map key.
#include "config/value_reader.h"

#include <cstdio>

#include "config/number_text.h"
#include "platform/fatal_error.h"

namespace speckmend {
namespace {

// The line that says which key is missing, and why when the whole file is
// of another kind: every path starts with the root it expects.
std::string missingKey(const std::string& path, const ValueSource& source) {
    const std::string expected = path.substr(1, path.find('/', 1) - 1);
    std::string line = source.file + ": " + path + " is missing";
    if (source.root != expected) line += " (the root element is " + source.root + ", not " + expected + ")";
    return line;
}

// The first node's text, or nothing when the path selects none; a value
// beyond the budgets ends the run rather than passing for a missing one.
std::optional<std::string> select(const XmlDocument& document, const std::string& path) {
    try {
        return document.selectNode(path).text;
    } catch (const XmlError&) {
        // Missing, or a selection the document cannot answer.
        return std::nullopt;
    } catch (const XmlLimitExceeded& limit) {
        throw FatalError(document.path() + ": " + path + " " + limit.what() + ".", false);
    }
}

std::optional<std::string> readValue(const XmlDocument& document, const std::string& path,
                                     std::string_view defaultText) {
    std::optional<std::string> found = select(document, path);
    settleValue(path, found, defaultText, {document.path(), document.rootName()});
    return found;
}

}  // namespace

std::string settleValue(const std::string& path, const std::optional<std::string>& found, std::string_view defaultText,
                        const ValueSource& source) {
    std::string value = found ? *found : std::string(defaultText);
    std::printf("%s: %s\n", path.c_str(), value.c_str());
    if (!found && defaultText == requiredMarker) {
        throw FatalError(std::string(kRequiredValueMessage), false, missingKey(path, source));
    }
    return value;
}

std::string readText(const XmlDocument& document, const std::string& path, std::string_view defaultText) {
    return readValue(document, path, defaultText).value_or(std::string(defaultText));
}

std::int32_t readInt(const XmlDocument& document, const std::string& path, std::string_view defaultText) {
    return leadingInt(readText(document, path, defaultText));
}

double readReal(const XmlDocument& document, const std::string& path, std::string_view defaultText,
                std::optional<double> valueWhenMissing) {
    const std::optional<std::string> found = readValue(document, path, defaultText);
    if (!found && valueWhenMissing) return *valueWhenMissing;
    return leadingReal(found.value_or(std::string(defaultText)));
}

std::optional<std::string> readOptionalText(const XmlDocument& document, const std::string& path) {
    std::optional<std::string> found = select(document, path);
    if (found) std::printf("%s: %s\n", path.c_str(), found->c_str());
    return found;
}

std::int32_t attributeInt(const XmlNodeInfo& node, std::string_view name) {
    for (const XmlAttribute& attribute : node.attributes) {
        if (attribute.name == name) return leadingInt(attribute.value);
    }
    return -1;
}

}  // namespace speckmend
