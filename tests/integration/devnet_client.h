// The devnet as integration tests see it: its start line (written by the
// "devnet" CTest fixture to $KESTREL_DEVNET_JSON), the configuration that
// points Kestrel's HTTPS URLs at it, and its control API.
#pragma once

#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/http.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct Devnet {
    nlohmann::json info; // the start line; empty when no devnet runs

    bool up() const { return info.is_object(); }

    // Reads the start line; false when the fixture did not run.
    bool load()
    {
        const char* path = std::getenv("KESTREL_DEVNET_JSON");
        std::string text;
        if (!path || !platform::readFile(path, text)) return false;
        info = nlohmann::json::parse(text, nullptr, false);
        if (!info.is_object()) info = nullptr;
        return up();
    }

    // Kestrel's configuration with the devnet's fragment over the defaults.
    platform::Config config() const
    {
        std::vector<std::string> warnings;
        return platform::parseConfig(info["config"].dump(), warnings);
    }

    void useConfig() const { platform::setConfig(config()); }

    // Writes the devnet's fragment as kestrel-config.json into data folder
    // folder (made when missing), for another process; false on failure.
    bool writeConfig(const std::string& folder) const
    {
        platform::makeFolders(folder);
        return platform::replaceFileAtomically(folder + "/kestrel-config.json", info["config"].dump());
    }

    // One call of the control API; the answer's JSON (discarded on failure)
    // and its status.
    nlohmann::json control(const std::string& method, const std::string& path, const nlohmann::json& body = nullptr,
                           long* status = nullptr) const
    {
        // The phone's HTTP layer speaks GET and POST only; the control API
        // deletes with DELETE.
        if (method == "DELETE") return deleteRequest(info["control_url"].get<std::string>() + path, status);
        platform::HttpRequest request;
        request.method = method;
        request.url = info["control_url"].get<std::string>() + path;
        request.totalTimeoutMs = 60000;
        if (!body.is_null()) {
            request.body = body.dump();
            request.headers.push_back("Content-Type: application/json");
        }
        platform::HttpResponse response;
        platform::httpPerform(request, response);
        if (status) *status = response.status;
        return nlohmann::json::parse(response.body, nullptr, false);
    }

    // Funds address with one confirmed output per value; answers the txid.
    std::string fund(const std::string& address, const std::vector<int64_t>& sats) const
    {
        const auto answer = control("POST", "/control/fund", {{"address", address}, {"sats", sats}});
        return answer.is_object() && answer.contains("txid") ? answer["txid"].get<std::string>() : std::string();
    }

    // Registers alias on the service with the entry's other fields ("pubkey",
    // "address", "uncompressed"; without a pubkey the devnet makes a key);
    // answers the registered entry (discarded on failure) and the status.
    nlohmann::json registerAlias(const std::string& alias, nlohmann::json fields = nlohmann::json::object(),
                                 long* status = nullptr) const
    {
        fields["alias"] = alias;
        return control("POST", "/control/alias", fields, status);
    }

    // The values of address's coins on the chain API, mined and not.
    std::vector<int64_t> coinValues(const std::string& address) const
    {
        std::vector<int64_t> values;
        const std::string base = info["config"]["chain_api"].get<std::string>() + "/address/" + address;
        for (const char* list : {"/unspent/all", "/unconfirmed/unspent"}) {
            platform::HttpRequest request;
            request.url = base + list;
            platform::HttpResponse response;
            platform::httpPerform(request, response);
            const nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
            if (!answer.is_object() || !answer["result"].is_array()) continue;
            for (const nlohmann::json& coin : answer["result"]) values.push_back(coin.value("value", int64_t {0}));
        }
        return values;
    }

    // Requests the devnet saw that match query ("path=<prefix>", optionally
    // with "&host=<name>"); empty when none or the call failed.
    std::vector<nlohmann::json> requests(const std::string& query) const
    {
        const auto answer = control("GET", "/control/requests?" + query);
        std::vector<nlohmann::json> list;
        if (answer.is_object() && answer["requests"].is_array())
            for (const auto& r : answer["requests"]) list.push_back(r);
        return list;
    }

    // The last transaction the external paymail host received for alias;
    // null when there is none.
    nlohmann::json deliveryFor(const std::string& alias) const
    {
        const auto answer = control("GET", "/control/external/deliveries");
        nlohmann::json found;
        if (answer.is_object() && answer["deliveries"].is_array())
            for (const auto& d : answer["deliveries"])
                if (d.is_object() && d.value("alias", "") == alias) found = d;
        return found;
    }

    static nlohmann::json deleteRequest(const std::string& url, long* status)
    {
        std::string answer;
        CURL* curl = curl_easy_init();
        if (!curl) return nlohmann::json(nlohmann::json::value_t::discarded);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        curl_easy_setopt(
            curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* out) {
                static_cast<std::string*>(out)->append(data, size * count);
                return size * count;
            });
        long code = 0;
        if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        curl_easy_cleanup(curl);
        if (status) *status = code;
        return nlohmann::json::parse(answer, nullptr, false);
    }

    void mine(int blocks = 1) const { control("POST", "/control/mine", {{"blocks", blocks}}); }

    // "mempool", "confirmed" or "unknown".
    std::string txStatus(const std::string& txid) const
    {
        const auto answer = control("GET", "/control/tx/" + txid);
        return answer.is_object() && answer.contains("status") ? answer["status"].get<std::string>() : "unknown";
    }
};
