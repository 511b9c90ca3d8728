#include "platform/http.h"

#include "https_test_server.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// Serves the routes every test here uses.
struct HttpFixture : ::testing::Test {
    HttpsTestServer server;

    void SetUp() override
    {
        server.http.Get("/hello", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("hello from " + req.get_header_value("Host"), "text/plain");
        });
        server.http.Get("/agent", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.has_header("User-Agent") ? req.get_header_value("User-Agent") : "(none)", "text/plain");
        });
        server.http.Get("/port", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::to_string(req.remote_port), "text/plain");
        });
        server.http.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(std::stoul(req.matches[1]), 'x'), "application/octet-stream");
        });
        server.http.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.status = 201;
            const std::string expect = req.has_header("Expect") ? req.get_header_value("Expect") : "(none)";
            res.set_content(req.get_header_value("Content-Type") + "|" + expect + "|" + req.body, "text/plain");
        });
        server.http.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("https://other.test/hello");
        });
        server.http.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            server.pause(1500);
            res.set_content("late", "text/plain");
        });
        server.start();
        server.useServer();
    }

    HttpResponse get(const std::string& url, HttpRequest request = {})
    {
        request.url = url;
        HttpResponse response;
        const bool completed = httpPerform(request, response);
        EXPECT_EQ(completed, response.curlCode == CURLE_OK) << url;
        return response;
    }
};

TEST_F(HttpFixture, ProductUrlsReachTheLocalServerThroughConnectToAndTheCaFile)
{
    for (const std::string host : {"corvane.app", "www.corvane.app", "api.whatsonchain.com"}) {
        const HttpResponse response = get("https://" + host + "/hello");
        EXPECT_EQ(response.curlCode, CURLE_OK) << response.error;
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "hello from " + host); // the URL's host name travels unchanged
        EXPECT_TRUE(response.error.empty());
    }
}

TEST_F(HttpFixture, CertificateChecksNeedTheExtraCaFile)
{
    Config values = server.routedConfig();
    values.ca_file.clear(); // the system's CAs only
    setConfig(values);
    const HttpResponse refused = get("https://corvane.app/hello");
    EXPECT_EQ(refused.curlCode, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(refused.error, curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_EQ(refused.status, 0);

    HttpRequest unchecked;
    unchecked.verify = false;
    EXPECT_EQ(get("https://corvane.app/hello", unchecked).status, 200);
}

TEST_F(HttpFixture, ResolveEntriesReplaceTheNameLookup)
{
    Config values = server.routedConfig();
    values.connect_to.clear();
    setConfig(values);
    const std::string url = "https://pin.invalid:" + std::to_string(server.port) + "/hello";
    EXPECT_EQ(get(url).curlCode, CURLE_COULDNT_RESOLVE_HOST); // .invalid never resolves

    HttpRequest pinned;
    pinned.resolve = {"pin.invalid:" + std::to_string(server.port) + ":127.0.0.1"};
    pinned.ipv4Only = true;
    const HttpResponse response = get(url, pinned);
    EXPECT_EQ(response.status, 200) << response.error;
    EXPECT_EQ(response.body, "hello from pin.invalid:" + std::to_string(server.port));
}

TEST_F(HttpFixture, UserAgentOnlyWhenGiven)
{
    EXPECT_EQ(get("https://other.test/agent").body, "(none)");
    HttpRequest named;
    named.userAgent = "Kestrel/0.003";
    EXPECT_EQ(get("https://other.test/agent", named).body, "Kestrel/0.003");
}

TEST_F(HttpFixture, BodyCapStopsReadingAfterTheBlockThatCrossesIt)
{
    struct Case {
        size_t served;
        size_t cap;
        bool capped;
    };
    const Case cases[] = {
        {100, 0, false},                         // no cap
        {100, 1000, false},                      // under the cap
        {1 << 20, 256 * 1024, true},             // the POST cap
        {9 * 1024 * 1024, 8 * 1024 * 1024, true} // the GET cap
    };
    for (const Case& c : cases) {
        HttpRequest request;
        request.bodyCap = c.cap;
        const HttpResponse response = get("https://chain.test/bytes/" + std::to_string(c.served), request);
        EXPECT_EQ(response.curlCode, CURLE_OK) << c.served; // a capped body is a success
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.capped, c.capped) << c.served;
        if (c.capped) {
            EXPECT_GE(response.body.size(), c.cap);
            EXPECT_LT(response.body.size(), c.cap + CURL_MAX_WRITE_SIZE + 1);
        } else {
            EXPECT_EQ(response.body.size(), c.served);
        }
    }
}

TEST_F(HttpFixture, PostSendsBodyAndHeadersWithoutWaitingForContinue)
{
    HttpRequest request;
    request.method = "POST";
    request.url = "https://corvane.app/echo";
    request.headers = {"Content-Type: application/json"};
    request.body = "{\"txhex\":\"" + std::string(2 * 1024 * 1024, 'a') + "\"}";
    request.body[12] = '\0'; // binary bodies travel whole
    HttpResponse response;
    ASSERT_TRUE(httpPerform(request, response)) << response.error;
    EXPECT_EQ(response.status, 201);
    const std::string echoed = "application/json|(none)|" + request.body;
    EXPECT_EQ(response.body.substr(0, 24), echoed.substr(0, 24)); // no "Expect: 100-continue"
    EXPECT_TRUE(response.body == echoed);
}

TEST_F(HttpFixture, RedirectsOnlyWhenAsked)
{
    EXPECT_EQ(get("https://corvane.app/moved").status, 302);
    HttpRequest follow;
    follow.followRedirects = true;
    const HttpResponse response = get("https://corvane.app/moved", follow);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "hello from other.test");
}

TEST_F(HttpFixture, TimeOutIsReportedAsSuch)
{
    HttpRequest request;
    request.totalTimeoutMs = 200;
    request.noSignal = true;
    const HttpResponse response = get("https://corvane.app/slow", request);
    EXPECT_EQ(response.curlCode, CURLE_OPERATION_TIMEDOUT);
    EXPECT_TRUE(response.timedOut);
    EXPECT_EQ(response.error, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    EXPECT_TRUE(response.body.empty());
}

TEST_F(HttpFixture, KeptConnectionIsReusedUntilClosed)
{
    KeptConnection connection;
    HttpRequest request;
    request.url = "https://corvane.app/port";
    HttpResponse first;
    ASSERT_TRUE(httpPerformKept(connection, request, first)) << first.error;
    ASSERT_NE(connection.handle, nullptr);
    HttpResponse second;
    ASSERT_TRUE(httpPerformKept(connection, request, second)) << second.error;
    EXPECT_EQ(second.body, first.body); // same client port: the same connection

    HttpRequest other; // the options of the last request do not linger
    other.method = "POST";
    other.url = "https://corvane.app/echo";
    other.body = "{}";
    HttpResponse third;
    ASSERT_TRUE(httpPerformKept(connection, other, third)) << third.error;
    EXPECT_EQ(third.status, 201);
    HttpResponse fourth;
    ASSERT_TRUE(httpPerformKept(connection, request, fourth)) << fourth.error;
    EXPECT_EQ(fourth.status, 200);
    EXPECT_EQ(fourth.body, first.body);

    closeKept(connection);
    EXPECT_EQ(connection.handle, nullptr);
    EXPECT_EQ(connection.connectTo, nullptr);
    closeKept(connection); // twice is harmless
    HttpResponse fresh;
    ASSERT_TRUE(httpPerformKept(connection, request, fresh)) << fresh.error;
    EXPECT_NE(fresh.body, first.body); // a new handle, a new connection
    closeKept(connection);
}

TEST_F(HttpFixture, UnknownMethodIsRefused)
{
    HttpRequest request;
    request.method = "DELETE";
    request.url = "https://corvane.app/hello";
    HttpResponse response;
    EXPECT_FALSE(httpPerform(request, response));
    EXPECT_EQ(response.curlCode, CURLE_BAD_FUNCTION_ARGUMENT);
}

} // namespace
