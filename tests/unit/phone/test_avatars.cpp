// Pictures of people against a local HTTPS service host: the profile names the
// picture, only https pictures between 16 bytes and 2 MiB are kept, and every
// key is fetched once per run whatever became of its first fetch.
#include "phone/avatars.h"

#include "event_recorder.h"
#include "https_test_server.h"
#include "phone/app_messages.h"
#include "platform/worker.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <mutex>

using namespace kestrel;

namespace {

struct Picture {
    std::string avatar; // the profile's avatar member; empty: a profile without one
    std::string body;   // what the picture's address answers
};

struct AvatarsTest : ::testing::Test {
    HttpsTestServer server;
    std::mutex mutex;
    std::map<std::string, int> hits; // path -> requests
    std::atomic<bool> release {false};
    std::map<std::string, Picture> pictures;

    void SetUp() override
    {
        forgetAvatars();
        const std::string big(3 * 1024 * 1024, 'x'), fine(1024 * 1024, 'y');
        pictures = {
            {"ok", {"https://corvane.app/img/ok.png", fine}},
            {"big", {"https://corvane.app/img/big.png", big}},
            {"limit", {"https://other.test/img/limit.png", std::string(kAvatarMaxBytes, 'z')}},
            {"under", {"https://other.test/img/under.png", std::string(kAvatarMaxBytes - 1, 'z')}},
            {"tiny", {"https://corvane.app/img/tiny.png", std::string(15, 't')}},
            {"sixteen", {"https://corvane.app/img/sixteen.png", std::string(16, 's')}},
            {"plain", {"http://corvane.app/img/plain.png", fine}},
            {"ftp", {"ftp://corvane.app/img/ftp.png", fine}},
            {"nohost", {"https:///img/x.png", fine}},
            {"none", {"", fine}},
            {"slow", {"https://other.test/img/slow.png", fine}},
        };
        server.http.Get(R"(/api/bsvalias/public-profile/(.+))",
                        [this](const httplib::Request& req, httplib::Response& res) {
                            count(req.path);
                            const std::string who = req.matches[1].str();
                            const std::string key = who.substr(0, who.find('@'));
                            const auto found = pictures.find(key);
                            if (who != key + "@corvane.app" || found == pictures.end()) {
                                res.status = 404;
                                res.set_content(R"({"error":"no such paymail"})", "application/json");
                                return;
                            }
                            nlohmann::json profile = {{"name", key}, {"domain", "corvane.app"}};
                            if (!found->second.avatar.empty()) profile["avatar"] = found->second.avatar;
                            if (key == "none") profile["avatar"] = 7; // not a text: no picture
                            res.set_content(profile.dump(), "application/json");
                        });
        server.http.Get(R"(/img/(\w+)\.png)", [this](const httplib::Request& req, httplib::Response& res) {
            count(req.path);
            const std::string key = req.matches[1].str();
            if (key == "slow")
                for (int i = 0; i < 200 && !release; ++i) server.pause(50);
            res.set_content(pictures[key].body, "image/png");
        });
        server.start();
        server.useServer();
    }

    void TearDown() override
    {
        release = true;
        platform::waitForTasks(30000);
        forgetAvatars();
    }

    void count(const std::string& path)
    {
        std::lock_guard lock(mutex);
        ++hits[path];
    }
    int hitsOf(const std::string& path)
    {
        std::lock_guard lock(mutex);
        return hits[path];
    }
};

TEST_F(AvatarsTest, KeptOnlyForSecureAddressesBetweenTheLimits)
{
    struct Case {
        std::string key;
        size_t kept; // bytes kept, 0 for none
    };
    const std::vector<Case> cases = {
        {"ok", 1024 * 1024},
        {"big", 0},
        {"limit", 0},
        {"under", kAvatarMaxBytes - 1},
        {"tiny", 0},
        {"sixteen", 16},
        {"plain", 0},
        {"ftp", 0},
        {"nohost", 0},
        {"none", 0},
        {"1BoatSLRHtKNngkdXEeobR76b53LETtpyT", 0}, // a coin address has no profile
    };
    EventRecorder events;
    for (const Case& c : cases) requestAvatar(c.key);
    ASSERT_TRUE(platform::waitForTasks(30000));
    for (const Case& c : cases) EXPECT_EQ(lookupAvatar(c.key).size(), c.kept) << c.key;
    // The picture is what the address served, byte for byte.
    EXPECT_EQ(lookupAvatar("ok"), pictures["ok"].body);
    // Addresses that are not https are never asked for.
    EXPECT_EQ(hitsOf("/img/plain.png"), 0);
    EXPECT_EQ(hitsOf("/img/ftp.png"), 0);
    EXPECT_EQ(hitsOf("/img/big.png"), 1);
    // Each finished fetch tells the card.
    int told = 0;
    for (const platform::Event& e : events.ofKind(platform::EventKind::Message))
        if (e.message == WM_PHONE_AVATAR && e.target == platform::EventTarget::CardWindow) ++told;
    EXPECT_EQ(told, static_cast<int>(cases.size()));
}

TEST_F(AvatarsTest, EachKeyIsFetchedOnceWhateverItsFirstFetchBecame)
{
    requestAvatar("ok");
    requestAvatar("big");
    requestAvatar("slow");
    // "ok" and "big" finish (one with a picture, one without); "slow" is still running.
    for (int i = 0; i < 400 && (lookupAvatar("ok").empty() || hitsOf("/img/big.png") == 0); ++i) server.pause(25);
    ASSERT_FALSE(lookupAvatar("ok").empty());
    EXPECT_TRUE(lookupAvatar("slow").empty()); // pending answers none
    for (int round = 0; round < 3; ++round)
        for (const char* key : {"ok", "big", "slow"}) requestAvatar(key);
    release = true;
    ASSERT_TRUE(platform::waitForTasks(30000));
    EXPECT_EQ(avatarFetchCount(), 3);
    for (const char* key : {"ok", "big", "slow"})
        EXPECT_EQ(hitsOf(std::string("/api/bsvalias/public-profile/") + key + "@corvane.app"), 1) << key;
    EXPECT_EQ(hitsOf("/img/slow.png"), 1);
    EXPECT_EQ(lookupAvatar("slow"), pictures["slow"].body);
}

TEST_F(AvatarsTest, AnEmptyKeyNeverFetches)
{
    requestAvatar("");
    requestAvatar("");
    ASSERT_TRUE(platform::waitForTasks(30000));
    EXPECT_EQ(avatarFetchCount(), 0);
    EXPECT_TRUE(lookupAvatar("").empty());
    std::lock_guard lock(mutex);
    EXPECT_TRUE(hits.empty());
}

TEST(SplitSecureUrl, Cases)
{
    struct Case {
        std::string url;
        bool ok;
        std::string host, path;
    };
    const std::vector<Case> cases = {
        {"https://corvane.app/avatars/ava.png", true, "corvane.app", "/avatars/ava.png"},
        {"https://cdn.example/", true, "cdn.example", "/"},
        {"https://host:8443/a?b=c", true, "host:8443", "/a?b=c"},
        {"https://corvane.app", false, "", ""},
        {"https:///x.png", false, "", ""},
        {"http://corvane.app/a.png", false, "", ""},
        {"HTTPS://corvane.app/a.png", false, "", ""},
        {"", false, "", ""},
    };
    for (const Case& c : cases) {
        std::string host = "left", path = "over";
        EXPECT_EQ(splitSecureUrl(c.url, host, path), c.ok) << c.url;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

} // namespace
