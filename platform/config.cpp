#include "platform/config.h"

#include "platform/bounded_json.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/sync.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace platform {

namespace {

Mutex configMutex;
bool configLoaded GUARDED_BY(configMutex) = false;
Config current GUARDED_BY(configMutex);

using json = nlohmann::json;

void readText(const json& object, const char* key, std::string& out, std::vector<std::string>& warnings)
{
    const auto it = object.find(key);
    if (it == object.end()) return;
    if (it->is_string())
        out = it->get<std::string>();
    else
        warnings.push_back(std::string("\"") + key + "\" is not a string; the default stays");
}

void readList(const json& object, const char* key, std::vector<std::string>& out, std::vector<std::string>& warnings)
{
    const auto it = object.find(key);
    if (it == object.end()) return;
    if (!it->is_array()) {
        warnings.push_back(std::string("\"") + key + "\" is not an array of strings; the default stays");
        return;
    }
    std::vector<std::string> values;
    for (const auto& element : *it) {
        if (element.is_string())
            values.push_back(element.get<std::string>());
        else
            warnings.push_back(std::string("\"") + key + "\" holds a value that is not a string; it is skipped");
    }
    out = std::move(values);
}

void readFlag(const json& object, const char* key, bool& out, std::vector<std::string>& warnings)
{
    const auto it = object.find(key);
    if (it == object.end()) return;
    if (it->is_boolean())
        out = it->get<bool>();
    else
        warnings.push_back(std::string("\"") + key + "\" is not true or false; the default stays");
}

} // namespace

Config parseConfig(const std::string& text, std::vector<std::string>& warnings)
{
    Config values;
    const json object = platform::parseBounded(text);
    if (object.is_discarded() || !object.is_object()) {
        warnings.push_back("not a JSON object; every value keeps its default");
        return values;
    }
    readText(object, "service_host", values.service_host, warnings);
    readText(object, "service_domain", values.service_domain, warnings);
    readText(object, "service_pinned_ip", values.service_pinned_ip, warnings);
    readText(object, "chain_api", values.chain_api, warnings);
    readText(object, "arc_api", values.arc_api, warnings);
    readText(object, "ordinals_api", values.ordinals_api, warnings);
    readText(object, "download_site", values.download_site, warnings);
    readText(object, "message_fee_address", values.message_fee_address, warnings);
    readText(object, "connection_fee_address", values.connection_fee_address, warnings);
    readList(object, "house_oracles", values.house_oracles, warnings);
    readText(object, "audio_input", values.audio_input, warnings);
    readText(object, "audio_output", values.audio_output, warnings);
    readText(object, "ca_file", values.ca_file, warnings);
    readList(object, "connect_to", values.connect_to, warnings);
    readFlag(object, "local_service", values.local_service, warnings);
    return values;
}

std::string configPath()
{
    return dataFolder() + "/kestrel-config.json";
}

// The values, read from the file on first use; configMutex held.
static const Config& currentLocked() REQUIRES(configMutex)
{
    if (!configLoaded) {
        configLoaded = true;
        std::string text;
        const std::string path = configPath();
        if (readFile(path, text)) {
            std::vector<std::string> warnings;
            current = parseConfig(text, warnings);
            for (const auto& warning : warnings)
                std::fprintf(stderr, "kestrel: %s: %s\n", path.c_str(), warning.c_str());
        }
    }
    return current;
}

Config config()
{
    LockGuard lock(configMutex);
    return currentLocked();
}

bool isHouseOracle(const std::string& address)
{
    LockGuard lock(configMutex);
    const std::vector<std::string>& oracles = currentLocked().house_oracles;
    return std::find(oracles.begin(), oracles.end(), address) != oracles.end();
}

void setConfig(const Config& values)
{
    LockGuard lock(configMutex);
    configLoaded = true;
    current = values;
}

} // namespace platform
