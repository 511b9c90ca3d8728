#include "wallet/web_client.h"

#include "https_test_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace cv_tessera_wallet;

namespace {

const std::string kRateLimited =
    "HTTP 429 \xE2\x80\x93 WhatsOnChain is rate-limiting. Wait a few seconds and try again.";
const std::string kDash = " \xE2\x80\x93 ";
const std::string kLongJson = "{\"error\":\"" + std::string(280, 'e') + "\",\"code\":7}"; // 300 bytes

// What the server answers on /case/<index>, and what each function makes of it.
struct StatusCase {
    int status;
    std::string body;
    bool allow404;
    bool ok;
    std::string error; // web_get and web_post_json
};
const StatusCase kStatusCases[] = {
    {200, "{\"ok\":true}", false, true, ""},
    {204, "", false, true, ""},
    {299, "edge", false, true, ""},
    {404, "{\"error\":\"unknown tx\"}", false, false, "HTTP 404" + kDash + "{\"error\":\"unknown tx\"}"},
    {404, "{\"error\":\"unknown tx\"}", true, true, ""},
    {404, "", true, true, ""},
    {500, "", false, false, "HTTP 500"},
    {502, "<html><body><h1>502 Bad Gateway</h1></body></html>", false, false, "HTTP 502"},
    {503, "<!DOCTYPE html><p>down</p>", false, false, "HTTP 503"},
    {500, "<HTML>oops</HTML>", false, false, "HTTP 500"},
    {400, kLongJson, false, false, "HTTP 400" + kDash + kLongJson.substr(0, 120)},
    {400, "bad request \r\n \t\n", false, false, "HTTP 400" + kDash + "bad request"},
    {400, " \r\n", false, false, "HTTP 400"},
    {300, "choose", false, false, "HTTP 300" + kDash + "choose"},
};

struct WebClientTest : ::testing::Test {
    std::unique_ptr<HttpsTestServer> server = std::make_unique<HttpsTestServer>();
    std::atomic<int> hits {0};
    std::atomic<int> rateLimitedFirst {0}; // this many requests to /flaky answer 429

    void SetUp() override
    {
        serve(*server);
        server->start();
        server->useServer();
    }

    void serve(HttpsTestServer& target)
    {
        auto statusCase = [](const httplib::Request& req, httplib::Response& res) {
            const StatusCase& c = kStatusCases[std::stoul(req.matches[1])];
            res.status = c.status;
            res.set_content(c.body, "application/json");
        };
        target.http.Get(R"(/case/(\d+))", statusCase);
        target.http.Post(R"(/case/(\d+))", statusCase);
        auto flaky = [this](const httplib::Request&, httplib::Response& res) {
            if (++hits <= rateLimitedFirst) {
                res.status = 429;
                res.set_content("{\"error\":\"Too Many Requests\"}", "application/json");
            } else {
                res.set_content("{\"txid\":\"ok\"}", "application/json");
            }
        };
        target.http.Get("/flaky", flaky);
        target.http.Post("/flaky", flaky);
        auto echo = [](const httplib::Request& req, httplib::Response& res) {
            const std::string agent = req.has_header("User-Agent") ? req.get_header_value("User-Agent") : "(none)";
            res.set_content(agent + "|" + req.get_header_value("Content-Type") + "|" + req.body + "|" +
                                std::to_string(req.remote_port),
                            "text/plain");
        };
        target.http.Get("/echo", echo);
        target.http.Post("/echo", echo);
        auto moved = [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("https://other.test/case/0");
        };
        target.http.Get("/moved", moved);
        target.http.Post("/moved", moved);
        target.http.Get("/loop", [this](const httplib::Request&, httplib::Response& res) {
            ++hits;
            res.set_redirect("/loop");
        });
        // /size/<n>: a reply of n bytes.
        auto sized = [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(std::stoul(req.matches[1]), 'x'), "application/json");
        };
        target.http.Get(R"(/size/(\d+))", sized);
        target.http.Post(R"(/size/(\d+))", sized);
        target.http.Post("/slow", [&target](const httplib::Request&, httplib::Response& res) {
            target.pause(2500);
            res.set_content("late", "text/plain");
        });
    }

    // The field of an /echo answer: 0 user agent, 1 content type, 2 body, 3 client port.
    static std::string field(const std::string& echoed, int index)
    {
        size_t start = 0;
        for (int i = 0; i < index; ++i) start = echoed.find('|', start) + 1;
        return echoed.substr(start, echoed.find('|', start) - start);
    }
};

TEST_F(WebClientTest, StatusesBecomeSuccessOrTheirErrorText)
{
    for (size_t i = 0; i < std::size(kStatusCases); ++i) {
        const StatusCase& c = kStatusCases[i];
        const std::string url = "https://api.whatsonchain.com/case/" + std::to_string(i);
        std::string body = "stale";
        std::string error = "stale";
        EXPECT_EQ(web_get(url, body, error, 5, c.allow404), c.ok) << i;
        EXPECT_EQ(error, c.error) << i;
        EXPECT_EQ(body, c.body) << i; // also kept on failure, for callers that look

        if (c.allow404) continue; // POSTs have no such option
        KeptConnection connection;
        bool timedOut = true;
        EXPECT_EQ(web_post_json(url, "{}", body, error, 5), c.ok) << i;
        EXPECT_EQ(error, c.error) << i;
        EXPECT_EQ(web_post_json_kept(connection, url, "{}", body, error, 5, timedOut), c.ok) << i;
        EXPECT_EQ(error, c.error) << i;
        EXPECT_FALSE(timedOut);
        EXPECT_NE(connection.handle, nullptr); // an HTTP status is no reason to drop it
        platform::closeKept(connection);

        EXPECT_EQ(web_get_plain(url, body, error), c.ok) << i;
        EXPECT_EQ(error, c.ok ? "" : "HTTP " + std::to_string(c.status)) << i; // never the body
    }
}

TEST_F(WebClientTest, RepliesAreCapped)
{
    // A host may send without end; a reply past its cap is a failure, whole
    // replies up to the cap are not.
    const std::string base = "https://api.whatsonchain.com/size/";
    const struct {
        const char* what;
        std::function<bool(const std::string& url, std::string& body, std::string& error)> call;
        size_t cap;
    } cases[] = {
        {"get", [](const std::string& u, std::string& b, std::string& e) { return web_get(u, b, e, 20); },
         kWebChainDocumentBytes},
        {"plain get", [](const std::string& u, std::string& b, std::string& e) { return web_get_plain(u, b, e); },
         kWebReplyBytes},
        {"post", [](const std::string& u, std::string& b, std::string& e) { return web_post_json(u, "{}", b, e, 20); },
         kWebReplyBytes},
        {"kept post",
         [](const std::string& u, std::string& b, std::string& e) {
             KeptConnection connection;
             bool timedOut = false;
             const bool ok = web_post_json_kept(connection, u, "{}", b, e, 20, timedOut);
             platform::closeKept(connection);
             return ok;
         },
         kWebReplyBytes},
    };
    for (const auto& c : cases) {
        std::string body, error;
        EXPECT_TRUE(c.call(base + std::to_string(c.cap), body, error)) << c.what << ": " << error;
        EXPECT_EQ(body.size(), c.cap) << c.what;
        EXPECT_FALSE(c.call(base + std::to_string(c.cap + 1), body, error)) << c.what;
        EXPECT_EQ(error, "reply larger than " + std::to_string(c.cap) + " bytes") << c.what;
        EXPECT_TRUE(body.empty()) << c.what;
    }
}

TEST_F(WebClientTest, GetTriesThreeMoreTimesOn429)
{
    std::string body;
    std::string error;
    rateLimitedFirst = 100;
    EXPECT_FALSE(web_get("https://api.whatsonchain.com/flaky", body, error, 5)); // waits 0.4 + 0.8 + 1.6 s
    EXPECT_EQ(hits, 4);
    EXPECT_EQ(error, kRateLimited);

    hits = 0;
    rateLimitedFirst = 1;
    EXPECT_TRUE(web_get("https://api.whatsonchain.com/flaky", body, error, 5));
    EXPECT_EQ(hits, 2);
    EXPECT_EQ(body, "{\"txid\":\"ok\"}");
    EXPECT_EQ(error, "");
}

TEST_F(WebClientTest, PostTriesUpToItsAttemptsOn429)
{
    struct Case {
        int attempts;
        int rateLimited;
        bool ok;
        int tries;
    };
    const Case cases[] = {
        {0, 0, false, 0},   // fails at once, nothing sent
        {-3, 0, false, 0},  //
        {1, 100, false, 1}, // no second try
        {2, 100, false, 2}, // one wait of 400 ms
        {3, 1, true, 2},    // one wait of 400 ms, then success
    };
    for (const Case& c : cases) {
        hits = 0;
        rateLimitedFirst = c.rateLimited;
        std::string body;
        std::string error;
        EXPECT_EQ(web_post_json("https://arc.gorillapool.io/flaky", "{\"rawTx\":\"00\"}", body, error, 5, c.attempts),
                  c.ok)
            << c.attempts;
        EXPECT_EQ(hits, c.tries) << c.attempts;
        EXPECT_EQ(error, c.ok ? "" : kRateLimited) << c.attempts;
    }
}

TEST_F(WebClientTest, OnlyGetRetries429AmongTheOthers)
{
    rateLimitedFirst = 100;
    std::string body;
    std::string error;
    KeptConnection connection;
    bool timedOut = false;
    EXPECT_FALSE(web_post_json_kept(connection, "https://corvane.app/flaky", "{}", body, error, 2, timedOut));
    EXPECT_EQ(error, kRateLimited);
    EXPECT_FALSE(web_get_plain("https://corvane.app/flaky", body, error));
    EXPECT_EQ(error, "HTTP 429");
    EXPECT_EQ(hits, 2);
    platform::closeKept(connection);
}

TEST_F(WebClientTest, UserAgentsAndContentType)
{
    std::string body;
    std::string error;
    ASSERT_TRUE(web_get("https://api.whatsonchain.com/echo", body, error, 5)) << error;
    EXPECT_EQ(field(body, 0), "Corvane-Tessera/0.1");
    ASSERT_TRUE(web_post_json("https://arc.gorillapool.io/echo", "{\"rawTx\":\"00\"}", body, error, 5)) << error;
    EXPECT_EQ(field(body, 0), "Corvane-Tessera/0.1");
    EXPECT_EQ(field(body, 1), "application/json");
    EXPECT_EQ(field(body, 2), "{\"rawTx\":\"00\"}");
    KeptConnection connection;
    bool timedOut = false;
    ASSERT_TRUE(
        web_post_json_kept(connection, "https://corvane.app/echo", "{\"txhex\":\"00\"}", body, error, 2, timedOut))
        << error;
    EXPECT_EQ(field(body, 0), "Corvane-Tessera/0.1");
    EXPECT_EQ(field(body, 1), "application/json");
    platform::closeKept(connection);
    ASSERT_TRUE(web_get_plain("https://corvane.app/echo", body, error)) << error;
    EXPECT_EQ(field(body, 0), "(none)");
}

TEST_F(WebClientTest, GetsFollowRedirectsAndPostsDoNot)
{
    std::string body;
    std::string error;
    EXPECT_TRUE(web_get("https://corvane.app/moved", body, error, 5)) << error;
    EXPECT_EQ(body, kStatusCases[0].body);
    EXPECT_TRUE(web_get_plain("https://corvane.app/moved", body, error)) << error;
    EXPECT_EQ(body, kStatusCases[0].body);
    EXPECT_FALSE(web_post_json("https://corvane.app/moved", "{}", body, error, 5));
    EXPECT_EQ(error, "HTTP 302");
    KeptConnection connection;
    bool timedOut = false;
    EXPECT_FALSE(web_post_json_kept(connection, "https://corvane.app/moved", "{}", body, error, 2, timedOut));
    EXPECT_EQ(error, "HTTP 302");
    platform::closeKept(connection);

    EXPECT_FALSE(web_get("https://corvane.app/loop", body, error, 5));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS));
    EXPECT_EQ(hits, 6); // the first request and five redirects
}

TEST_F(WebClientTest, KeptConnectionIsReusedAndSurvivesATimeOut)
{
    KeptConnection connection;
    std::string body;
    std::string error;
    bool timedOut = true;
    ASSERT_TRUE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut)) << error;
    EXPECT_FALSE(timedOut);
    const std::string firstPort = field(body, 3);
    ASSERT_TRUE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut)) << error;
    EXPECT_EQ(field(body, 3), firstPort); // the same connection

    CURL* const handle = connection.handle;
    EXPECT_FALSE(web_post_json_kept(connection, "https://corvane.app/slow", "{}", body, error, 1, timedOut));
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(error, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    EXPECT_EQ(connection.handle, handle); // kept for the one more try its callers make

    ASSERT_TRUE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut)) << error;
    EXPECT_FALSE(timedOut);
    platform::closeKept(connection);
}

TEST_F(WebClientTest, KeptConnectionIsForgottenAfterAnyOtherTransportFailure)
{
    KeptConnection connection;
    std::string body;
    std::string error;
    bool timedOut = false;
    ASSERT_TRUE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut)) << error;
    ASSERT_NE(connection.handle, nullptr);

    const int port = server->port;
    server->stop(); // closes the kept connection from the server's side and stops listening
    EXPECT_FALSE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut));
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(error, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(connection.handle, nullptr);
    EXPECT_EQ(connection.resolve, nullptr);

    // The same for the plain functions: the transport text, no retry.
    EXPECT_FALSE(web_get("https://api.whatsonchain.com/flaky", body, error, 5));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_FALSE(web_post_json("https://arc.gorillapool.io/flaky", "{}", body, error, 5, 3));
    EXPECT_EQ(error, curl_easy_strerror(CURLE_COULDNT_CONNECT));
    EXPECT_EQ(hits, 0);

    server = std::make_unique<HttpsTestServer>();
    serve(*server);
    server->start(port);
    server->useServer(); // its own CA
    ASSERT_TRUE(web_post_json_kept(connection, "https://corvane.app/echo", "{}", body, error, 2, timedOut)) << error;
    EXPECT_NE(connection.handle, nullptr);
    platform::closeKept(connection);
}

TEST_F(WebClientTest, PlainGetChecksCertificatesExceptOnThisMachine)
{
    platform::Config values = server->routedConfig();
    values.ca_file.clear(); // the test CA is not trusted now
    platform::setConfig(values);
    const std::string port = std::to_string(server->port);
    struct Case {
        std::string url;
        bool ok;
    };
    const Case cases[] = {
        {"https://127.0.0.1:" + port + "/case/0", true},
        {"https://localhost:" + port + "/case/0", true},
        {"https://corvane.app/case/0", false},
        {"https://localhost.test/case/0", false}, // begins like localhost, is another host
    };
    for (const Case& c : cases) {
        std::string body;
        std::string error;
        EXPECT_EQ(web_get_plain(c.url, body, error), c.ok) << c.url;
        EXPECT_EQ(error, c.ok ? "" : curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION)) << c.url;
    }
    std::string body;
    std::string error;
    EXPECT_FALSE(web_get("https://127.0.0.1:" + port + "/case/0", body, error, 5)); // only the plain GET relaxes
}

TEST(WebClientPinning, EntriesForTheServiceHostAndItsWwwForm)
{
    struct Case {
        std::string host;
        std::string address;
        std::string url;
        std::vector<std::string> entries;
    };
    const std::vector<std::string> pinned = {"corvane.app:443:203.0.113.7", "www.corvane.app:443:203.0.113.7"};
    const Case cases[] = {
        {"corvane.app", "203.0.113.7", "https://corvane.app/oi/submit", pinned},
        {"corvane.app", "203.0.113.7", "https://www.corvane.app/api/bsvalias/id/bob@corvane.app", pinned},
        {"corvane.app", "203.0.113.7", "https://127.0.0.1:25443/api/bsvalias/address/bob@corvane.app", pinned},
        {"corvane.app", "203.0.113.7", "https://api.whatsonchain.com/v1/bsv/main/tx/raw", {}},
        {"corvane.app", "", "https://corvane.app/oi/submit", {}}, // no pinned address: normal lookup
        {"", "203.0.113.7", "https://corvane.app/oi/submit", {}},
    };
    for (const Case& c : cases) {
        platform::Config values;
        values.service_host = c.host;
        values.service_pinned_ip = c.address;
        platform::setConfig(values);
        EXPECT_EQ(service_pin_entries(c.url), c.entries) << c.host << " " << c.address << " " << c.url;
    }
}

TEST(WebClientPinning, PinnedHostNeedsNoNameLookup)
{
    // ".invalid" never resolves: only a pinned request gets as far as
    // connecting (to whatever answers on 127.0.0.1:443, usually nothing).
    const std::string unresolved = curl_easy_strerror(CURLE_COULDNT_RESOLVE_HOST);
    platform::Config values;
    values.service_host = "pin.invalid";
    platform::setConfig(values);
    std::string body;
    std::string error;
    EXPECT_FALSE(web_get_plain("https://pin.invalid/x", body, error));
    EXPECT_EQ(error, unresolved);

    values.service_pinned_ip = "127.0.0.1";
    platform::setConfig(values);
    for (const std::string url : {"https://pin.invalid/x", "https://www.pin.invalid/x"}) {
        web_get_plain(url, body, error);
        EXPECT_NE(error, unresolved) << url;
        web_post_json(url, "{}", body, error, 2);
        EXPECT_NE(error, unresolved) << url;
    }
}

} // namespace
