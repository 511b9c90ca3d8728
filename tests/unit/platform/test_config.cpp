#include "platform/config.h"
#include "platform/files.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Config, DefaultsWithoutFile)
{
    std::vector<std::string> warnings;
    const Config values = parseConfig("{}", warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(values.chain_api, "https://api.whatsonchain.com/v1/bsv/main");
    EXPECT_EQ(values.service_host, values.service_domain);
    EXPECT_TRUE(values.connect_to.empty());
    EXPECT_FALSE(values.local_service); // a local instance is trusted only when configured
}

TEST(Config, LocalServiceIsAFlag)
{
    const struct {
        const char* text;
        bool local;
        size_t warnings;
    } cases[] = {
        {R"({"local_service": true})", true, 0},
        {R"({"local_service": false})", false, 0},
        {R"({"local_service": "true"})", false, 1},
        {R"({"local_service": 1})", false, 1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> warnings;
        EXPECT_EQ(parseConfig(c.text, warnings).local_service, c.local) << c.text;
        EXPECT_EQ(warnings.size(), c.warnings) << c.text;
    }
}

TEST(Config, OverridesKeyByKey)
{
    std::vector<std::string> warnings;
    const Config values = parseConfig(R"({
        "service_host": "svc.test", "chain_api": 7, "connect_to": ["svc.test:443:127.0.0.1:9443", 5],
        "house_oracles": "1Abc", "ca_file": "/tmp/ca.pem", "unknown": true})",
                                      warnings);
    EXPECT_EQ(values.service_host, "svc.test");
    EXPECT_EQ(values.chain_api, Config {}.chain_api); // wrong type: default stays
    EXPECT_EQ(values.connect_to, std::vector<std::string> {"svc.test:443:127.0.0.1:9443"});
    EXPECT_TRUE(values.house_oracles.empty());
    EXPECT_EQ(values.ca_file, "/tmp/ca.pem");
    EXPECT_EQ(warnings.size(), 3u); // chain_api, one connect_to element, house_oracles
}

TEST(Config, MalformedTextKeepsEveryDefault)
{
    for (const char* text : {"", "{", "[1,2]", "null", "\"text\"", "{\"service_host\": }"}) {
        std::vector<std::string> warnings;
        const Config values = parseConfig(text, warnings);
        EXPECT_EQ(values.service_host, Config {}.service_host) << text;
        EXPECT_EQ(warnings.size(), 1u) << text;
    }
}

TEST(Config, ReadOnceFromTheDataFolder)
{
    TempDataFolder temp;
    ASSERT_TRUE(replaceFileAtomically(configPath(), R"({"download_site": "https://dl.test"})"));
    EXPECT_EQ(config().download_site, "https://dl.test");
    Config changed = config();
    changed.download_site = "https://other.test";
    setConfig(changed);
    EXPECT_EQ(config().download_site, "https://other.test");
}
