// The wallet core's HTTP client for chain services (the chain API, ARC, the
// ordinals API, the service host's submit and paymail endpoints).
//
// Every function answers true on success with the response body in body, or
// false with a one-line error text: "curl init failed", libcurl's own text for
// a transport failure, or "HTTP <status>" with the short form of the body.
// URLs that contain the configured service host name are pinned to the
// configured address when there is one (see service_pin_entries).
#pragma once

#include "platform/http.h"

#include <string>
#include <vector>

namespace cv_tessera_wallet {

// The most a reply may hold: chain documents (web_get, which reads the chain
// API's lists and transactions) 8 MiB, any other reply 1 MiB. A longer reply
// is a failure, "reply larger than <n> bytes", with an empty body: hosts the
// user names may send anything.
inline constexpr size_t kWebReplyBytes = 1u << 20;
inline constexpr size_t kWebChainDocumentBytes = 8u << 20;

// An easy handle kept between posts to one service; close it with
// platform::closeKept. It belongs to one caller at a time.
using KeptConnection = platform::KeptConnection;

// GET url as "Corvane-Tessera/0.1", following up to 5 redirects; connect
// limit 8 s, whole request max(timeout_s, 2) s. A 429 is tried three more
// times after 400, 800 and 1600 ms. Success: status 200-299, or 404 with allow_404.
bool web_get(const std::string& url, std::string& body, std::string& error, int timeout_s, bool allow_404 = false);

// POST json with "Content-Type: application/json"; connect limit 8 s, whole
// request timeout_s (at least 1). A 429 is tried again up to attempts tries
// in all, waiting 400 ms << (try number from 0); attempts < 1 fails at once
// with the 429 text. Success: status 200-299.
bool web_post_json(const std::string& url, const std::string& json, std::string& body, std::string& error,
                   int timeout_s, int attempts = 1);

// POST as web_post_json on connection (made on first use) with TCP keep-alive;
// connect and whole request both timeout_s (at least 1); no retry. A time-out
// sets timed_out and keeps the connection; any other transport failure closes
// and forgets it.
bool web_post_json_kept(KeptConnection& connection, const std::string& url, const std::string& json, std::string& body,
                        std::string& error, int timeout_s, bool& timed_out);

// GET url without a user agent, following up to 5 redirects, 12 s in all. TLS
// checks are off only for the hosts 127.0.0.1 and localhost. A failing status
// is only "HTTP <status>".
bool web_get_plain(const std::string& url, std::string& body, std::string& error);

// The resolve entries ("<host>:443:<address>" for the service host and its
// "www." form) a request to url carries; empty when url does not contain the
// service host name or no pinned address is configured.
std::vector<std::string> service_pin_entries(const std::string& url);

} // namespace cv_tessera_wallet
