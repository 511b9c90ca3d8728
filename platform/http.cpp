#include "platform/http.h"

#include "platform/config.h"

#include <csignal>
#include <mutex>

namespace platform {

namespace {

struct BodySink {
    std::string* body = nullptr;
    size_t cap = 0;
    bool capped = false;
};

// The lists a handle points to while it runs one request.
struct RequestLists {
    curl_slist* headers = nullptr;
    curl_slist* resolve = nullptr;
    curl_slist* connectTo = nullptr;
};

bool performOn(CURL* handle, const HttpRequest& request, HttpResponse& response, RequestLists& lists);
void freeLists(RequestLists& lists);

} // namespace

void httpInit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // Requests run in no-signal mode, where libcurl leaves SIGPIPE alone;
        // a write on a socket the peer closed must fail, not end the process.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGPIPE, SIG_IGN);
    });
}

bool httpPerform(const HttpRequest& request, HttpResponse& response)
{
    httpInit();
    response = HttpResponse {};
    CURL* handle = curl_easy_init();
    if (!handle) {
        response.curlCode = CURLE_FAILED_INIT;
        response.error = "curl init failed";
        return false;
    }
    RequestLists lists;
    const bool completed = performOn(handle, request, response, lists);
    curl_easy_cleanup(handle);
    freeLists(lists);
    return completed;
}

bool httpPerformKept(KeptConnection& connection, const HttpRequest& request, HttpResponse& response)
{
    httpInit();
    response = HttpResponse {};
    if (!connection.handle) {
        connection.handle = curl_easy_init();
        if (!connection.handle) {
            response.curlCode = CURLE_FAILED_INIT;
            response.error = "curl init failed";
            return false;
        }
    } else {
        // Clears the options of the last request but keeps the live
        // connection and the name cache.
        curl_easy_reset(connection.handle);
    }
    RequestLists old {connection.headers, connection.resolve, connection.connectTo};
    freeLists(old);
    RequestLists lists;
    const bool completed = performOn(connection.handle, request, response, lists);
    connection.headers = lists.headers;
    connection.resolve = lists.resolve;
    connection.connectTo = lists.connectTo;
    return completed;
}

void closeKept(KeptConnection& connection)
{
    if (connection.handle) curl_easy_cleanup(connection.handle);
    RequestLists lists {connection.headers, connection.resolve, connection.connectTo};
    freeLists(lists);
    connection = KeptConnection {};
}

namespace {

size_t writeBody(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<BodySink*>(user);
    const size_t bytes = size * count;
    // No exception may cross libcurl's C frames: out of memory stops the
    // transfer (a short count is CURLE_WRITE_ERROR).
    try {
        sink->body->append(data, bytes);
    } catch (...) {
        return 0;
    }
    if (sink->cap != 0 && sink->body->size() >= sink->cap) {
        // A short count makes libcurl stop with CURLE_WRITE_ERROR; the block
        // that crossed the cap stays in the body.
        sink->capped = true;
        return 0;
    }
    return bytes;
}

bool append(curl_slist*& list, const std::string& item)
{
    curl_slist* grown = curl_slist_append(list, item.c_str());
    if (!grown) return false;
    list = grown;
    return true;
}

bool buildLists(const HttpRequest& request, const Config& values, RequestLists& lists)
{
    for (const auto& header : request.headers)
        if (!append(lists.headers, header)) return false;
    // libcurl would otherwise announce larger bodies with "Expect:
    // 100-continue" and wait for the server's go-ahead.
    if (request.method == "POST" && !append(lists.headers, "Expect:")) return false;
    for (const auto& entry : request.resolve)
        if (!append(lists.resolve, entry)) return false;
    for (const auto& mapping : values.connect_to)
        if (!append(lists.connectTo, mapping)) return false;
    return true;
}

void fail(HttpResponse& response, CURLcode code)
{
    response.curlCode = code;
    response.error = curl_easy_strerror(code);
    response.timedOut = code == CURLE_OPERATION_TIMEDOUT;
}

bool performOn(CURL* handle, const HttpRequest& request, HttpResponse& response, RequestLists& lists)
{
    if (request.method != "GET" && request.method != "POST") {
        fail(response, CURLE_BAD_FUNCTION_ARGUMENT);
        return false;
    }
    const Config values = config();
    if (!buildLists(request, values, lists)) {
        fail(response, CURLE_OUT_OF_MEMORY);
        return false;
    }
    BodySink sink {&response.body, request.bodyCap, false};

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (request.method == "POST") {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        // An explicit size, as the body may hold NUL bytes; it is not copied.
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    if (lists.headers) curl_easy_setopt(handle, CURLOPT_HTTPHEADER, lists.headers);
    if (!request.userAgent.empty()) curl_easy_setopt(handle, CURLOPT_USERAGENT, request.userAgent.c_str());

    if (request.connectTimeoutMs > 0) curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
    if (request.totalTimeoutMs > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, request.totalTimeoutMs);
    if (request.followRedirects) {
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, request.maxRedirects);
    }
    if (request.noSignal) curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (request.tcpKeepAlive) curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    if (request.ipv4Only) curl_easy_setopt(handle, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    if (lists.resolve) curl_easy_setopt(handle, CURLOPT_RESOLVE, lists.resolve);

    if (!request.verify) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    // CAINFO replaces the default bundle file; the system's CA folder stays
    // in use, so the extra file adds to the trusted set.
    if (!values.ca_file.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, values.ca_file.c_str());
    if (lists.connectTo) curl_easy_setopt(handle, CURLOPT_CONNECT_TO, lists.connectTo);

    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);

    CURLcode code = curl_easy_perform(handle);
    if (code == CURLE_WRITE_ERROR && sink.capped) code = CURLE_OK;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.status = status;
    response.capped = sink.capped;
    if (code != CURLE_OK) {
        fail(response, code);
        return false;
    }
    return true;
}

void freeLists(RequestLists& lists)
{
    curl_slist_free_all(lists.headers);
    curl_slist_free_all(lists.resolve);
    curl_slist_free_all(lists.connectTo);
    lists = RequestLists {};
}

} // namespace

void splitUrl(const std::string& url, std::string& host, std::string& path)
{
    const size_t scheme = url.find("://");
    const std::string rest = scheme == std::string::npos ? url : url.substr(scheme + 3);
    const size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    path = slash == std::string::npos ? std::string() : rest.substr(slash);
}

} // namespace platform
