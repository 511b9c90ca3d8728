#include "phone/web_requests.h"

#include "https_test_server.h"
#include "platform/clock.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

using namespace kestrel;

namespace {

const std::string kService = "corvane.app"; // the configured service host
const std::string kChain = "api.whatsonchain.com";

struct WebRequestsTest : ::testing::Test {
    std::unique_ptr<HttpsTestServer> server = std::make_unique<HttpsTestServer>();
    std::atomic<int> inFlight {0};
    std::atomic<int> mostInFlight {0};

    void SetUp() override
    {
        serve(*server);
        server->start();
        server->useServer();
        chainBackoffSlot() = 0;
    }

    void TearDown() override { closeServiceConnection(); }

    void serve(HttpsTestServer& target)
    {
        target.http.Get("/port", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::to_string(req.remote_port), "text/plain");
        });
        auto status = [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_content("status " + std::string(req.matches[1]), "text/plain");
        };
        target.http.Get(R"(/status/(\d+))", status);
        target.http.Post(R"(/status/(\d+))", status);
        auto bytes = [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(std::stoul(req.matches[1]), 'b'), "application/octet-stream");
        };
        target.http.Get(R"(/bytes/(\d+))", bytes);
        target.http.Post(R"(/bytes/(\d+))", bytes);
        target.http.Get("/agent", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("User-Agent"), "text/plain");
        });
        target.http.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("User-Agent") + "|" + req.get_header_value("Content-Type") + "|" +
                                req.body,
                            "text/plain");
        });
        target.http.Get("/slow", [&target](const httplib::Request&, httplib::Response& res) {
            target.pause(2500);
            res.set_content("late", "text/plain");
        });
        target.http.Get("/busy", [this](const httplib::Request&, httplib::Response& res) {
            const int now = ++inFlight;
            int most = mostInFlight;
            while (now > most && !mostInFlight.compare_exchange_weak(most, now)) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            --inFlight;
            res.set_content("done", "text/plain");
        });
    }
};

TEST_F(WebRequestsTest, BodiesOfEveryStatusExceptThrottling)
{
    for (const std::string& host : {kService, kChain}) {
        for (const int status : {200, 201, 302, 400, 404, 500, 502}) {
            BackoffSlot slot {0};
            const std::string path = "/status/" + std::to_string(status);
            EXPECT_EQ(webGet(host, path, 2500, &slot, 8000), "status " + std::to_string(status)) << host << path;
            EXPECT_EQ(slot, 0) << host << path;
        }
    }
    EXPECT_EQ(chainBackoffSlot(), 0);
}

TEST_F(WebRequestsTest, ThrottlingWritesTheBackoffSlotAndAnswersEmpty)
{
    struct Case {
        std::string host;
        int status;
        int backoffMs;
        int64_t expectedWait;
    };
    const Case cases[] = {
        {kService, 429, 500, 1000}, {kService, 429, 8000, 8000}, {kService, 503, 2000, 2000},
        {kChain, 429, 500, 1000},   {kChain, 503, 8000, 8000},   {kChain, 429, 0, 1000},
    };
    for (const Case& c : cases) {
        BackoffSlot slot {0};
        const int64_t before = platform::tickMillis();
        EXPECT_EQ(webGet(c.host, "/status/" + std::to_string(c.status), 2500, &slot, c.backoffMs), "");
        const int64_t after = platform::tickMillis();
        EXPECT_GE(slot, before + c.expectedWait) << c.host << " " << c.status << " " << c.backoffMs;
        EXPECT_LE(slot, after + c.expectedWait) << c.host << " " << c.status << " " << c.backoffMs;
    }
    EXPECT_EQ(chainBackoffSlot(), 0); // every case had its own slot

    // Without a slot of its own the request writes the shared chain slot.
    for (const std::string& host : {kService, kChain}) {
        chainBackoffSlot() = 0;
        const int64_t before = platform::tickMillis();
        EXPECT_EQ(webGet(host, "/status/503", 3000, nullptr, 8000), "");
        EXPECT_GE(chainBackoffSlot(), before + 8000) << host;
        chainBackoffSlot() = 0;
        EXPECT_EQ(serviceGet("/status/429", 2500, nullptr, 500), "");
        EXPECT_GE(chainBackoffSlot(), before + 1000);
    }
}

TEST_F(WebRequestsTest, TimeLimitsHaveFloorsPerHost)
{
    struct Case {
        std::string host;
        int timeoutMs;
        long connectMs;
        long totalMs;
    };
    const Case cases[] = {
        // The service's 800 ms floors, each with 1000 ms for the TLS handshake.
        {kService, 300, 1800, 1800},       {kService, 2500, 1800, 3500},
        {kService, 0, 1800, 1800},         {kChain, 300, 1500, 1500},
        {kChain, 20000, 20000, 20000},     {"www.corvane.app", 300, 1500, 1500}, // not the service host
        {"Corvane.app", 2500, 2500, 2500},                                       // the comparison is exact
    };
    for (const Case& c : cases) {
        const WebTimeouts timeouts = webGetTimeouts(c.host, c.timeoutMs);
        EXPECT_EQ(timeouts.connectMs, c.connectMs) << c.host << " " << c.timeoutMs;
        EXPECT_EQ(timeouts.totalMs, c.totalMs) << c.host << " " << c.timeoutMs;
    }
}

TEST_F(WebRequestsTest, ServiceRequestsShareOneConnectionOtherHostsDoNot)
{
    const std::string first = serviceGet("/port", 2500, nullptr, 8000);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(serviceGet("/port", 2500, nullptr, 8000), first);
    EXPECT_EQ(webGet(kService, "/port", 2500, nullptr, 8000), first); // routed to the same connection

    const std::string other = webGet(kChain, "/port", 2500, nullptr, 8000);
    ASSERT_FALSE(other.empty());
    EXPECT_NE(webGet(kChain, "/port", 2500, nullptr, 8000), other);
    EXPECT_NE(webGet("www.corvane.app", "/port", 2500, nullptr, 8000), first);

    closeServiceConnection();
    EXPECT_NE(serviceGet("/port", 2500, nullptr, 8000), first);
}

TEST_F(WebRequestsTest, ServiceRequestsRunOneAtATime)
{
    std::vector<std::thread> threads;
    std::atomic<int> answered {0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&answered] {
            if (serviceGet("/busy", 2500, nullptr, 8000) == "done") ++answered;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(mostInFlight, 1);
}

TEST_F(WebRequestsTest, ConnectionClosedByTheServerIsReplaced)
{
    const std::string first = serviceGet("/port", 2500, nullptr, 8000);
    ASSERT_FALSE(first.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(1600)); // the server drops idle connections after 1 s
    // libcurl sees the closed connection before sending and opens a new one,
    // so this call already succeeds.
    const std::string second = serviceGet("/port", 2500, nullptr, 8000);
    ASSERT_FALSE(second.empty());
    EXPECT_NE(second, first);
    EXPECT_EQ(serviceGet("/port", 2500, nullptr, 8000), second);
}

TEST_F(WebRequestsTest, FailedServiceRequestDropsTheConnection)
{
    const std::string first = serviceGet("/port", 2500, nullptr, 8000);
    ASSERT_FALSE(first.empty());
    BackoffSlot slot {0};
    EXPECT_EQ(serviceGet("/slow", 300, &slot, 8000), ""); // times out after the 800 ms floor
    EXPECT_EQ(slot, 0);                                   // a failure is no throttling
    const std::string after = serviceGet("/port", 2500, nullptr, 8000);
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after, first);

    // The server goes away and comes back on the same port.
    closeServiceConnection();
    const int port = server->port;
    server->stop();
    EXPECT_EQ(serviceGet("/port", 2500, nullptr, 8000), "");
    EXPECT_EQ(webGet(kChain, "/port", 2500, nullptr, 8000), "");
    EXPECT_EQ(webPostJson(kService, "/echo", "{}"), "");
    server = std::make_unique<HttpsTestServer>();
    serve(*server);
    server->start(port);
    server->useServer();
    EXPECT_FALSE(serviceGet("/port", 2500, nullptr, 8000).empty());
}

TEST_F(WebRequestsTest, BodiesAreCapped)
{
    const size_t eightMiB = 8 * 1024 * 1024;
    const size_t quarterMiB = 256 * 1024;
    for (const std::string& host : {kService, kChain}) {
        const std::string body = webGet(host, "/bytes/" + std::to_string(9 * 1024 * 1024), 5000, nullptr, 8000);
        EXPECT_GE(body.size(), eightMiB) << host;
        EXPECT_LE(body.size(), eightMiB + CURL_MAX_WRITE_SIZE) << host;
        EXPECT_EQ(webGet(host, "/bytes/" + std::to_string(eightMiB - 1), 5000, nullptr, 8000).size(), eightMiB - 1);
    }
    const std::string posted = webPostJson(kService, "/bytes/" + std::to_string(1024 * 1024), "{}");
    EXPECT_GE(posted.size(), quarterMiB);
    EXPECT_LE(posted.size(), quarterMiB + CURL_MAX_WRITE_SIZE);
    EXPECT_EQ(webPostJson(kService, "/bytes/1000", "{}").size(), 1000u);
    EXPECT_FALSE(serviceGet("/port", 2500, nullptr, 8000).empty()); // a capped read leaves the service usable
}

TEST_F(WebRequestsTest, PostAnswersTheBodyWhateverTheStatus)
{
    EXPECT_EQ(webPostJson(kService, "/echo", "{\"a\":1}"), "Kestrel/0.003|application/json|{\"a\":1}");
    for (const int status : {201, 404, 429, 500, 503})
        EXPECT_EQ(webPostJson(kChain, "/status/" + std::to_string(status), "{}"), "status " + std::to_string(status));
    EXPECT_EQ(chainBackoffSlot(), 0);
    EXPECT_EQ(webGet(kService, "/agent", 2500, nullptr, 8000), "Kestrel/0.003");
    EXPECT_EQ(webGet(kChain, "/agent", 2500, nullptr, 8000), "Kestrel/0.003");
}

} // namespace
