// The value readers behind every configuration and map key.
#include "config/value_reader.h"

#include <cstdio>

#include "config/number_text.h"
#include "platform/fatal_error.h"

namespace speckmend {
namespace {

struct Value {
    std::string text;
    bool found = false;
};

Value readValue(const XmlDocument& document, const std::string& path, std::string_view defaultText) {
    Value value{std::string(defaultText), false};
    try {
        value.text = document.selectNode(path).text;
        value.found = true;
    } catch (const XmlError&) {
        // Missing, or a selection the document cannot answer: the default holds.
    }
    std::printf("%s: %s\n", path.c_str(), value.text.c_str());
    if (!value.found && defaultText == requiredMarker) throw FatalError(std::string(kRequiredValueMessage), false);
    return value;
}

}  // namespace

std::string readText(const XmlDocument& document, const std::string& path, std::string_view defaultText) {
    return readValue(document, path, defaultText).text;
}

std::int32_t readInt(const XmlDocument& document, const std::string& path, std::string_view defaultText) {
    return leadingInt(readValue(document, path, defaultText).text);
}

double readReal(const XmlDocument& document, const std::string& path, std::string_view defaultText,
                std::optional<double> valueWhenMissing) {
    const Value value = readValue(document, path, defaultText);
    if (!value.found && valueWhenMissing) return *valueWhenMissing;
    return leadingReal(value.text);
}

std::optional<std::string> readOptionalText(const XmlDocument& document, const std::string& path) {
    std::string text;
    try {
        text = document.selectNode(path).text;
    } catch (const XmlError&) {
        return std::nullopt;
    }
    std::printf("%s: %s\n", path.c_str(), text.c_str());
    return text;
}

std::int32_t attributeInt(const XmlNodeInfo& node, std::string_view name) {
    for (const XmlAttribute& attribute : node.attributes) {
        if (attribute.name == name) return leadingInt(attribute.value);
    }
    return -1;
}

}  // namespace speckmend
