// The update check against the devnet's download site: the published
// version decides whether there is anything newer; a missing page is silent.
#include "app/update_check.h"
#include "devnet_client.h"

#include <gtest/gtest.h>

namespace {

class UpdateOnDevnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
    }
    void TearDown() override { devnet.control("POST", "/control/download", {{"version", "0.003"}}); }
    Devnet devnet;
};

TEST_F(UpdateOnDevnet, PublishedVersionDecides)
{
    const std::pair<const char*, int> cases[] = {{"0.004", 4}, {"0.003", 3}};
    for (const auto& [version, build] : cases) {
        devnet.control("POST", "/control/download", {{"version", version}});
        const std::string page = kestrel::fetchDownloadPage();
        ASSERT_FALSE(page.empty()) << version;
        EXPECT_EQ(kestrel::findPublishedBuild(page), build) << version;
        EXPECT_EQ(kestrel::findPublishedBuild(page) > kestrel::kThisBuild, build == 4) << version;
    }
}

TEST_F(UpdateOnDevnet, MissingPageIsSilent)
{
    devnet.control("POST", "/control/fault",
                   {{"host", "download"}, {"kind", "status"}, {"status", 404}, {"count", 1}, {"path", "/cphone/"}});
    EXPECT_EQ(kestrel::fetchDownloadPage(), "");
    devnet.control("POST", "/control/download", {{"version", "0.004"}});
    EXPECT_EQ(kestrel::findPublishedBuild(kestrel::fetchDownloadPage()), 4); // the fault was spent
}

} // namespace
