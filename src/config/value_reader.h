// Reading one value from the loaded configuration or map document.
//
// Every read prints its echo line "path: value" on stdout, the default when
// the path selects nothing. A key is made required by passing
// requiredMarker as its default: a missing required key is echoed with the
// marker text and then ends the run (FatalError without usage text, its
// detail naming the file and the key's path, and the root element when the
// file's is another). A key that is present satisfies the requirement even
// when empty. A value beyond the text budgets ends the run with a message
// naming the file and the key; it never passes for a missing one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/xml_document.h"

namespace speckmend {

inline constexpr std::string_view requiredMarker =
    "ERROR: missing required value. Please set this parameter and try again. Now exiting.";

inline constexpr std::string_view kRequiredValueMessage =
    "This config param is required. Please fill it correctly and try again.";

// Where values are read from: the file and its root element as found
// (XmlDocument::rootName).
struct ValueSource {
    std::string file;
    std::string root;
};

// The echo line and the required check for a value looked up by other means
// than readText (the streamed map): `found` holds its text, or nothing when
// the key is missing. Returns the value used.
std::string settleValue(const std::string& path, const std::optional<std::string>& found, std::string_view defaultText,
                        const ValueSource& source);

// The text content of the first node the XPath selects, else the default.
std::string readText(const XmlDocument& document, const std::string& path, std::string_view defaultText);

// readText, then the leading-integer rule (number_text.h).
std::int32_t readInt(const XmlDocument& document, const std::string& path, std::string_view defaultText);

// readText, then the leading-number rule. When the key is missing and
// `valueWhenMissing` is given, that value is used instead of converting the
// default text; the echo line still shows the default text.
double readReal(const XmlDocument& document, const std::string& path, std::string_view defaultText,
                std::optional<double> valueWhenMissing = std::nullopt);

// An optional key: the text of the first node the XPath selects, echoed
// like any other value; when the key is missing, nothing is returned and
// nothing echoed.
std::optional<std::string> readOptionalText(const XmlDocument& document, const std::string& path);

// The leading integer of the node's first attribute named exactly `name`;
// -1 when it has none.
std::int32_t attributeInt(const XmlNodeInfo& node, std::string_view name);

}  // namespace speckmend
