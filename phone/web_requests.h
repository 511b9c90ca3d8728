// The phone's blocking HTTPS requests (service host, chain API, profiles,
// phone-record publication, update page), made on worker threads only.
//
// Every request goes to "https://" + host + path as "Kestrel/0.003". An empty
// body means failure, no data or a throttled answer; bodies are never
// interpreted here. On 429 and 503 the request writes a backoff slot (the
// platform::tickMillis() before which the caller should not ask
// again); callers read their slots themselves.
//
// Requests to the configured service host share one kept connection and run
// strictly one at a time; other hosts get a connection per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kestrel {

using BackoffSlot = std::atomic<int64_t>;

// The shared chain backoff: the slot a request writes when its caller passes none.
BackoffSlot& chainBackoffSlot();

// GET host + path. The service host (exact match with the configured name) goes
// through serviceGet; others get a fresh connection. Answers the body of any
// status except 429 and 503, which store now + max(backoffMs, 1000) in
// backoffSlot (or the chain slot) and answer empty. Bodies stop after 8 MiB.
std::string webGet(const std::string& host, const std::string& path, int timeoutMs, BackoffSlot* backoffSlot,
                   int backoffMs);

// GET on the kept service connection, under the service-request mutex. As webGet
// otherwise; a transport failure drops the connection so the next call reconnects.
std::string serviceGet(const std::string& path, int timeoutMs, BackoffSlot* backoffSlot, int backoffMs);

// Closes the kept service connection (at shutdown); the next serviceGet
// connects again.
void closeServiceConnection();

// POST body as "Content-Type: application/json" to host + path (4 s to
// connect, 8 s in all). Answers the response body whatever the status, at
// most 256 KiB; empty on a transport failure.
std::string webPostJson(const std::string& host, const std::string& path, const std::string& body);

// The time limits a webGet to host asks libcurl for: the service host gets
// 800 ms to connect and max(timeoutMs, 800) for the request, each with 1000
// ms more for the TLS handshake (which libcurl counts as connecting); other
// hosts max(timeoutMs, 1500) for both.
struct WebTimeouts {
    long connectMs = 0;
    long totalMs = 0;
};
WebTimeouts webGetTimeouts(const std::string& host, int timeoutMs);

} // namespace kestrel
