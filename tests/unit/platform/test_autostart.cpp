#include "platform/autostart.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct Autostart : ::testing::Test {
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", (temp.root + "/config").c_str(), 1); }
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }
    std::string entry(const char* name) const { return temp.root + "/config/autostart/" + name; }
    TempDataFolder temp;
};

TEST_F(Autostart, AddRemoveAndTheRegisteredRule)
{
    EXPECT_FALSE(platform::autostartRegistered());
    ASSERT_TRUE(platform::addAutostart("/opt/kestrel app/kestrel"));
    EXPECT_TRUE(platform::autostartRegistered());
    std::string text;
    ASSERT_TRUE(platform::readFile(entry("kestrel.desktop"), text));
    EXPECT_NE(text.find("Exec=\"/opt/kestrel app/kestrel\"\n"), std::string::npos) << text;

    ASSERT_TRUE(platform::replaceFileAtomically(entry("kestrel.desktop"), "[Desktop Entry]\nExec=ab\n"));
    EXPECT_FALSE(platform::autostartRegistered()); // fewer than 3 bytes
    EXPECT_TRUE(platform::removeAutostart());
    EXPECT_FALSE(platform::pathExists(entry("kestrel.desktop")));
}

TEST_F(Autostart, AnOlderEntryIsReplacedAndNoneIsNeverAdded)
{
    platform::migrateAutostart("/usr/bin/kestrel");
    EXPECT_FALSE(platform::pathExists(entry("kestrel.desktop")));

    ASSERT_TRUE(platform::makeFolders(temp.root + "/config/autostart"));
    ASSERT_TRUE(platform::replaceFileAtomically(entry("c-phone.desktop"), "[Desktop Entry]\nExec=\"C:/old\"\n"));
    platform::migrateAutostart("/usr/bin/kestrel");
    EXPECT_FALSE(platform::pathExists(entry("c-phone.desktop")));
    EXPECT_TRUE(platform::autostartRegistered());
}

} // namespace
