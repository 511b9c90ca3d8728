#include "app/update_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PageCase {
    const char* name;
    std::string page;
    int build;
};

TEST(UpdateCheck, PublishedBuildOfPages)
{
    const std::string longTail(24000, 'x');
    const PageCase cases[] = {
        {"current build with markup", "<b>Current build:</b>&nbsp;<span>Version 0.004</span>", 4},
        {"devnet page", "<p><b>Current build:</b>&nbsp;<span>Version 0.003</span></p>", 3},
        {"last version with equals", "<p>Version history</p><p>version = 0.003</p>", 3},
        {"three-part number", "Version 1.0.2", 1000},
        {"version only before the tail", "Version 0.009" + longTail, -1},
        {"no version", "<html><body>Downloads</body></html>", -1},
        {"version without number", "Version: beta", -1},
        {"current build picks the following version", "Version 0.001 CURRENT BUILD &#160; VERSION:\t0.007", 7},
        {"bare integer", "Current build version 5", 5},
        {"entity between", "Current build&NBSP;Version&nbsp;1.25", 1250},
    };
    for (const PageCase& c : cases) EXPECT_EQ(kestrel::findPublishedBuild(c.page), c.build) << c.name;
}

TEST(UpdateCheck, BuildNumbers)
{
    const std::pair<const char*, int> cases[] = {
        {"0.004", 4},   {"1.25", 1250}, {"5", 5},    {"  0.003\n", 3}, {"", -1},        {"   ", -1},
        {"-0.004", -1}, {"-5", -1},     {"abc", -1}, {".", -1},        {"1.0.2", 1000}, {"0.0005", 1},
    };
    for (const auto& [text, build] : cases) EXPECT_EQ(kestrel::parseBuildNumber(text), build) << '"' << text << '"';
}

} // namespace
