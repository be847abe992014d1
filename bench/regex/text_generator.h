// Deterministic stand-in for the classic regex benchmark input: about 6.5 MB
// of prose-like lines with a known number of e-mail addresses, URIs and IPv4
// addresses embedded, so that every engine can be checked by its match count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace speckmend::bench {

struct GeneratedText {
    std::string text;
    // What the three classic patterns must find, by construction.
    std::size_t emails = 0;
    std::size_t uris = 0;
    std::size_t ipv4 = 0;
    std::size_t doubledWords = 0;  // "\b(\w+)\s+\1\b"
};

// Same bytes on every machine and run: the generator uses its own random
// sequence rather than the standard library's distributions.
GeneratedText generateText(std::size_t targetBytes = 6500000, std::uint64_t seed = 20261207);

}  // namespace speckmend::bench
