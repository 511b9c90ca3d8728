// Deployment values: host names, base URLs, fee addresses, audio devices.
//
// config() answers (a copy of) the built-in defaults overridden by
// "kestrel-config.json" in the data folder, read once on first use. A file that does not parse, or
// a key of the wrong type, is reported once on standard error and ignored
// (key by key); it never stops the program. setConfig() replaces the values
// for the rest of the run (tools and tests).
#pragma once

#include <string>
#include <vector>

namespace platform {

struct Config {
    std::string service_host = "corvane.app";   // service host
    std::string service_domain = "corvane.app"; // paymail domain appended to bare handles
    std::string service_pinned_ip;              // when set, the service host is reached here without a lookup
    std::string chain_api = "https://api.whatsonchain.com/v1/bsv/main";
    std::string arc_api = "https://arc.gorillapool.io";
    std::string ordinals_api = "https://ordinals.gorillapool.io";
    std::string download_site = "https://corvane.com";
    std::string message_fee_address;        // receives 1 satoshi of every phone record
    std::string connection_fee_address;     // receives the connection fee of a call
    std::vector<std::string> house_oracles; // sibling games' addresses; never used for change
    std::string audio_input;                // empty: default device; "file:PATH" reads a WAV
    std::string audio_output;               // empty: default device; "file:PATH" writes a WAV
    std::string ca_file;                    // extra trusted CA bundle (local stand-ins)
    std::vector<std::string> connect_to;    // "host:port:address:port" (libcurl connect-to)
    // A service instance on this machine (localServiceUrl) answers handle
    // lookups when the service does not. Its certificate is not checked, so
    // any local process could answer: off unless configured.
    bool local_service = false;
};

// Parses a config text over the defaults. Problems are appended to warnings
// (one line each); the answer holds every key that was usable.
Config parseConfig(const std::string& text, std::vector<std::string>& warnings);

Config config();
void setConfig(const Config& values);

// Is address one of the configured house oracles (never a change address)?
bool isHouseOracle(const std::string& address);

// Path of the configuration file in the data folder.
std::string configPath();

} // namespace platform
