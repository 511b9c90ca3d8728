// HTTP(S) requests on libcurl for both the phone and the wallet code.
//
// A request is a plain HttpRequest record; the answer is an HttpResponse.
// httpPerform() runs one request on a fresh easy handle; a KeptConnection
// keeps one easy handle (and its live connection) between requests.
//
// Every request also honours two configuration values (platform/config.h):
// ca_file, an extra CA bundle trusted besides the system's, and connect_to,
// "host:port:address:port" mappings, so that the product's HTTPS URLs reach a
// local stand-in unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <curl/curl.h>

namespace platform {

struct HttpRequest {
    std::string method = "GET"; // "GET" or "POST"
    std::string url;
    std::vector<std::string> headers; // "Name: value" lines
    std::string body;                 // sent as the POST data
    long connectTimeoutMs = 0;        // name lookup, TCP and TLS set-up; 0: libcurl's default
    long totalTimeoutMs = 0;          // the whole request; 0: no limit
    bool followRedirects = false;
    long maxRedirects = 5;
    bool noSignal = false;
    bool tcpKeepAlive = false;
    bool ipv4Only = false;
    std::vector<std::string> resolve; // "host:port:address" entries that skip the name lookup
    bool verify = true;               // certificate and host-name checks
    std::string userAgent;            // empty: no User-Agent header
    size_t bodyCap = 0;               // stop reading once the body holds this many bytes; 0: no cap
};

struct HttpResponse {
    long status = 0;  // HTTP status; 0 when none was received
    std::string body; // at most bodyCap plus the one block that crossed it
    CURLcode curlCode = CURLE_OK;
    std::string error;     // libcurl's text for curlCode; empty on success
    bool timedOut = false; // curlCode is a time-out
    bool capped = false;   // reading stopped at the body cap (still a success)
};

// An easy handle kept between requests, made on first use, with the lists it
// points to (they must live as long as the handle uses them).
struct KeptConnection {
    CURL* handle = nullptr;
    curl_slist* resolve = nullptr;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
};

// curl_global_init, once per process (later calls do nothing). The perform
// functions call it themselves; start-up may call it early.
void httpInit();

// Runs request on a fresh easy handle. True when a complete answer (any
// status) arrived, a capped body included; false on a transport failure, with
// curlCode and error set. A handle that cannot be made gives "curl init failed".
bool httpPerform(const HttpRequest& request, HttpResponse& response);

// As httpPerform, on connection's handle (made when absent), so a live
// connection to the same host is reused. The handle stays after a failure;
// the caller decides whether to close it.
bool httpPerformKept(KeptConnection& connection, const HttpRequest& request, HttpResponse& response);

// Frees the handle and its lists; the record is reset. Safe on an empty record.
void closeKept(KeptConnection& connection);

// "https://host:port/base/path" (scheme optional) split into the host (with
// any port) and the rest from its first "/" (empty when there is none).
void splitUrl(const std::string& url, std::string& host, std::string& path);

} // namespace platform
