#include "wallet/web_client.h"

#include "platform/config.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace cv_tessera_wallet {

namespace {

const char* const kUserAgent = "Corvane-Tessera/0.1";
const char* const kRateLimited =
    "HTTP 429 \xE2\x80\x93 WhatsOnChain is rate-limiting. Wait a few seconds and try again.";
constexpr long kConnectLimitMs = 8000;
constexpr int kGetRetries = 3; // more tries after the first 429
constexpr size_t kErrorBodyBytes = 120;

platform::HttpRequest request_for(const std::string& url);
std::string status_error(long status, const std::string& body);
bool is_success(long status)
{
    return status >= 200 && status <= 299;
}
bool is_local_https(const std::string& url);
bool perform_through_429(const platform::HttpRequest& request, platform::HttpResponse& response, std::string& error,
                         int tries);
bool take_answer(platform::HttpResponse& response, std::string& body, std::string& error, bool allow_404 = false);
// Stops reading one byte past limit, so that a reply of exactly limit bytes is whole.
void cap_reply(platform::HttpRequest& request, size_t limit)
{
    request.bodyCap = limit + 1;
}
// True (error set, body dropped) when the reply went past its cap.
bool over_cap(platform::HttpResponse& response, size_t limit, std::string& error)
{
    if (!response.capped) return false;
    response.body.clear();
    response.body.shrink_to_fit();
    error = "reply larger than " + std::to_string(limit) + " bytes";
    return true;
}

} // namespace

bool web_get(const std::string& url, std::string& body, std::string& error, int timeout_s, bool allow_404)
{
    body.clear();
    error.clear();
    platform::HttpRequest request = request_for(url);
    request.userAgent = kUserAgent;
    request.connectTimeoutMs = kConnectLimitMs;
    request.totalTimeoutMs = std::max(timeout_s, 2) * 1000L;
    request.followRedirects = true;
    request.maxRedirects = 5;
    request.noSignal = true;
    cap_reply(request, kWebChainDocumentBytes);

    platform::HttpResponse response;
    if (!perform_through_429(request, response, error, 1 + kGetRetries)) return false;
    if (over_cap(response, kWebChainDocumentBytes, error)) return false;
    return take_answer(response, body, error, allow_404);
}

bool web_post_json(const std::string& url, const std::string& json, std::string& body, std::string& error,
                   int timeout_s, int attempts)
{
    body.clear();
    error.clear();
    if (attempts < 1) {
        error = kRateLimited;
        return false;
    }
    platform::HttpRequest request = request_for(url);
    request.method = "POST";
    request.headers = {"Content-Type: application/json"};
    request.body = json;
    request.userAgent = kUserAgent;
    request.connectTimeoutMs = kConnectLimitMs;
    request.totalTimeoutMs = std::max(timeout_s, 1) * 1000L;
    cap_reply(request, kWebReplyBytes);

    platform::HttpResponse response;
    if (!perform_through_429(request, response, error, attempts)) return false;
    if (over_cap(response, kWebReplyBytes, error)) return false;
    return take_answer(response, body, error);
}

bool web_post_json_kept(KeptConnection& connection, const std::string& url, const std::string& json, std::string& body,
                        std::string& error, int timeout_s, bool& timed_out)
{
    body.clear();
    error.clear();
    timed_out = false;
    platform::HttpRequest request = request_for(url);
    request.method = "POST";
    request.headers = {"Content-Type: application/json"};
    request.body = json;
    request.userAgent = kUserAgent;
    request.connectTimeoutMs = std::max(timeout_s, 1) * 1000L;
    request.totalTimeoutMs = request.connectTimeoutMs;
    request.tcpKeepAlive = true;
    cap_reply(request, kWebReplyBytes);

    platform::HttpResponse response;
    if (!platform::httpPerformKept(connection, request, response)) {
        error = response.error;
        // A time-out leaves a usable handle for one more try; anything else
        // may have left it broken.
        if (response.timedOut)
            timed_out = true;
        else
            platform::closeKept(connection);
        return false;
    }
    if (over_cap(response, kWebReplyBytes, error)) {
        // The reply was cut off mid-transfer: the connection is of no further use.
        platform::closeKept(connection);
        return false;
    }
    return take_answer(response, body, error);
}

bool web_get_plain(const std::string& url, std::string& body, std::string& error)
{
    body.clear();
    error.clear();
    platform::HttpRequest request = request_for(url);
    request.totalTimeoutMs = 12000;
    request.followRedirects = true;
    request.maxRedirects = 5;
    request.verify = !is_local_https(url);
    cap_reply(request, kWebReplyBytes);

    platform::HttpResponse response;
    if (!platform::httpPerform(request, response)) {
        error = response.error;
        return false;
    }
    if (over_cap(response, kWebReplyBytes, error)) return false;
    body = std::move(response.body);
    if (is_success(response.status)) return true;
    error = "HTTP " + std::to_string(response.status);
    return false;
}

std::vector<std::string> service_pin_entries(const std::string& url)
{
    const platform::Config values = platform::config();
    const std::string& host = values.service_host;
    const std::string& address = values.service_pinned_ip;
    if (host.empty() || address.empty() || url.find(host) == std::string::npos) return {};
    return {host + ":443:" + address, "www." + host + ":443:" + address};
}

namespace {

platform::HttpRequest request_for(const std::string& url)
{
    platform::HttpRequest request;
    request.url = url;
    request.resolve = service_pin_entries(url);
    request.ipv4Only = !request.resolve.empty();
    return request;
}

// Performs request, and again after 400, 800, 1600 ms ... while the answer
// is 429, at most tries times in all. False with the transfer's error.
bool perform_through_429(const platform::HttpRequest& request, platform::HttpResponse& response, std::string& error,
                         int tries)
{
    for (int try_number = 0;; ++try_number) {
        if (!platform::httpPerform(request, response)) {
            error = response.error;
            return false;
        }
        if (response.status != 429 || try_number + 1 >= tries) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400L << std::min(try_number, 20)));
    }
}

// Moves the answer's body out; true for 2xx (and 404 when allowed), else
// error gets the status text.
bool take_answer(platform::HttpResponse& response, std::string& body, std::string& error, bool allow_404)
{
    body = std::move(response.body);
    if (is_success(response.status) || (allow_404 && response.status == 404)) return true;
    error = status_error(response.status, body);
    return false;
}

std::string status_error(long status, const std::string& body)
{
    if (status == 429) return kRateLimited;
    const std::string plain = "HTTP " + std::to_string(status);
    // Proxies and load balancers answer with whole HTML pages; only the
    // status is worth a line.
    if (body.find("<html") != std::string::npos || body.find("<HTML") != std::string::npos ||
        body.find("<!DOCTYPE") != std::string::npos)
        return plain;
    std::string text = body;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (text.empty()) return plain;
    if (text.size() > kErrorBodyBytes) text.resize(kErrorBodyBytes);
    return plain + " \xE2\x80\x93 " + text;
}

// Only a URL whose host is exactly 127.0.0.1 or localhost: a prefix test
// alone would also match a host such as "localhost.example.net".
bool is_local_https(const std::string& url)
{
    for (const std::string prefix : {"https://127.0.0.1", "https://localhost"}) {
        if (url.compare(0, prefix.size(), prefix) != 0) continue;
        if (url.size() == prefix.size()) return true;
        const char next = url[prefix.size()];
        if (next == ':' || next == '/' || next == '?' || next == '#') return true;
    }
    return false;
}

} // namespace

} // namespace cv_tessera_wallet
