// Parsing JSON texts that come from other hosts, the chain or shared files
// with a bound on their size and nesting, checked before the parser runs:
// nlohmann's parser recurses once per level, and a text of deeply nested
// brackets would exhaust a worker's stack (or take gigabytes) before any
// callback could refuse it.
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform {

// Network documents and shared files: 8 MiB, 64 levels.
inline constexpr size_t kDocumentBytes = 8u << 20;
inline constexpr int kDocumentDepth = 64;
// The phone's own store files, which carry saved audio: 16 MiB (as files.h
// reads at most).
inline constexpr size_t kFileBytes = 16u << 20;
// Phone envelopes and the records sealed in them (a sealed minute of audio
// is about 260 KB): 1 MiB, 16 levels.
inline constexpr size_t kRecordBytes = 1u << 20;
inline constexpr int kRecordDepth = 16;

// The deepest nesting of arrays and objects in text, counting brackets
// outside strings (escapes honoured), or maxDepth + 1 as soon as it is
// exceeded. Malformed text is only scanned, not judged.
inline int jsonNestingDepth(std::string_view text, int maxDepth)
{
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) deepest = depth;
            if (deepest > maxDepth) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// True when text holds at most maxBytes bytes and nests at most maxDepth levels.
inline bool withinBounds(std::string_view text, size_t maxBytes, int maxDepth)
{
    return text.size() <= maxBytes && jsonNestingDepth(text, maxDepth) <= maxDepth;
}

// text parsed as JSON when it is withinBounds; otherwise, or when it does not
// parse, a discarded value (is_discarded()), as json::parse(text, nullptr,
// false) answers. Never throws for bad input.
inline nlohmann::json parseBounded(std::string_view text, size_t maxBytes = kDocumentBytes,
                                   int maxDepth = kDocumentDepth)
{
    if (!withinBounds(text, maxBytes, maxDepth)) return nlohmann::json(nlohmann::json::value_t::discarded);
    try {
        return nlohmann::json::parse(text, nullptr, false);
    } catch (const std::exception&) {
        // Out of memory while building the value: as good as malformed.
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
}

} // namespace platform
