#include "phone/web_requests.h"

#include "platform/config.h"
#include "platform/http.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <algorithm>

namespace kestrel {

namespace {

const char* const kUserAgent = "Kestrel/0.003";
constexpr size_t kGetBodyCap = 8 * 1024 * 1024;
constexpr size_t kPostBodyCap = 256 * 1024;
constexpr long kServiceFloorMs = 800;
// libcurl's connect limit takes in the TLS handshake, which the 800 ms
// connect limit of the service never had to cover.
constexpr long kServiceHandshakeMs = 1000;
constexpr long kOtherHostFloorMs = 1500;
constexpr int kMinimumBackoffMs = 1000;

// The one connection to the service host; requests on it run one at a time.
platform::Mutex serviceRequestMutex;
platform::KeptConnection serviceConnection GUARDED_BY(serviceRequestMutex);

platform::HttpRequest getRequest(const std::string& host, const std::string& path, const WebTimeouts& timeouts);
std::string answer(platform::HttpResponse& response, BackoffSlot* backoffSlot, int backoffMs);

} // namespace

BackoffSlot& chainBackoffSlot()
{
    static BackoffSlot slot {0};
    return slot;
}

std::string webGet(const std::string& host, const std::string& path, int timeoutMs, BackoffSlot* backoffSlot,
                   int backoffMs)
{
    if (host == platform::config().service_host) return serviceGet(path, timeoutMs, backoffSlot, backoffMs);
    const platform::HttpRequest request = getRequest(host, path, webGetTimeouts(host, timeoutMs));
    platform::HttpResponse response;
    if (!platform::httpPerform(request, response)) return {};
    return answer(response, backoffSlot, backoffMs);
}

std::string serviceGet(const std::string& path, int timeoutMs, BackoffSlot* backoffSlot, int backoffMs)
{
    const std::string host = platform::config().service_host;
    const platform::HttpRequest request = getRequest(host, path, webGetTimeouts(host, timeoutMs));
    platform::HttpResponse response;
    platform::LockGuard lock(serviceRequestMutex);
    if (!platform::httpPerformKept(serviceConnection, request, response)) {
        // Whatever broke (a closed keep-alive connection, a time-out), the
        // next call starts on a fresh handle.
        platform::closeKept(serviceConnection);
        return {};
    }
    return answer(response, backoffSlot, backoffMs);
}

void closeServiceConnection()
{
    platform::LockGuard lock(serviceRequestMutex);
    platform::closeKept(serviceConnection);
}

std::string webPostJson(const std::string& host, const std::string& path, const std::string& body)
{
    platform::HttpRequest request;
    request.method = "POST";
    request.url = "https://" + host + path;
    request.headers = {"Content-Type: application/json"};
    request.body = body;
    request.userAgent = kUserAgent;
    request.connectTimeoutMs = 4000;
    request.totalTimeoutMs = 8000;
    request.noSignal = true;
    request.bodyCap = kPostBodyCap;
    platform::HttpResponse response;
    if (!platform::httpPerform(request, response)) return {};
    return std::move(response.body);
}

WebTimeouts webGetTimeouts(const std::string& host, int timeoutMs)
{
    if (host == platform::config().service_host)
        return {kServiceFloorMs + kServiceHandshakeMs,
                std::max<long>(timeoutMs, kServiceFloorMs) + kServiceHandshakeMs};
    const long limit = std::max<long>(timeoutMs, kOtherHostFloorMs);
    return {limit, limit};
}

namespace {

platform::HttpRequest getRequest(const std::string& host, const std::string& path, const WebTimeouts& timeouts)
{
    platform::HttpRequest request;
    request.url = "https://" + host + path;
    request.userAgent = kUserAgent;
    request.connectTimeoutMs = timeouts.connectMs;
    request.totalTimeoutMs = timeouts.totalMs;
    request.noSignal = true;
    request.bodyCap = kGetBodyCap;
    return request;
}

std::string answer(platform::HttpResponse& response, BackoffSlot* backoffSlot, int backoffMs)
{
    if (response.status == 429 || response.status == 503) {
        BackoffSlot& slot = backoffSlot ? *backoffSlot : chainBackoffSlot();
        slot.exchange(platform::tickMillis() + std::max(backoffMs, kMinimumBackoffMs));
        return {};
    }
    return std::move(response.body);
}

} // namespace

} // namespace kestrel
