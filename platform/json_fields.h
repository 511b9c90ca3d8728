// Reading members of JSON documents that come from files and other hosts,
// where any member may be absent or of another type.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace platform {

// The text member key of doc, else the text member otherKey when given (the
// first that is a string wins, even when empty); empty when doc is not an
// object or neither member is a string.
inline std::string jsonText(const nlohmann::json& doc, const char* key, const char* otherKey = nullptr)
{
    if (!doc.is_object()) return {};
    for (const char* name : {key, otherKey}) {
        if (name == nullptr) break;
        const auto it = doc.find(name);
        if (it != doc.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
}

} // namespace platform
