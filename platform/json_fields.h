// Reading members of JSON documents that come from files and other hosts,
// where any member may be absent or of another type.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace platform {

// The text member key of doc; empty when doc is not an object or the member
// is absent or not a string.
inline std::string jsonText(const nlohmann::json& doc, const char* key)
{
    if (!doc.is_object()) return {};
    const auto it = doc.find(key);
    return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace platform
