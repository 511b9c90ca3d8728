#include "phone/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace kestrel;

TEST(Text, Utf8RoundTripsAndReplacesMalformedInput)
{
    struct Case {
        std::string utf8;
        std::u16string wide;
    };
    const Case cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x93\x9E", u"\U0001F4DE"}, // outside the basic plane: a surrogate pair
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8ToWide(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(wideToUtf8(c.wide), c.utf8) << c.utf8;
    }

    const struct {
        std::string bytes;
        std::u16string wide;
    } malformed[] = {
        {"a\xFF"
         "b",
         u"a\uFFFDb"},       // byte that never starts a sequence
        {"\xC3", u"\uFFFD"}, // truncated at the end
        {"\xE2\x82"
         "A",
         u"\uFFFDA"},                  // truncated before an ASCII byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"}, // overlong lead bytes
        {"\xED\xA0\x80", u"\uFFFD"},   // encoded surrogate
        {"\x80\x80", u"\uFFFD\uFFFD"}, // stray continuation bytes
    };
    for (const auto& c : malformed) EXPECT_EQ(utf8ToWide(c.bytes), c.wide);

    EXPECT_EQ(wideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD"); // lone surrogate
    EXPECT_EQ(wideToUtf8(u"x\xDC00y"), "x\xEF\xBF\xBDy");
}

TEST(Text, LowerAsciiOnlyTouchesAtoZ)
{
    EXPECT_EQ(toLowerAscii("AbC-Z@[\xC3\x89]"), "abc-z@[\xC3\x89]");
}

TEST(Text, Base64)
{
    const struct {
        std::string bytes, text;
    } cases[] = {{"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {std::string("\0\xff\x10", 3), "AP8Q"}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64Encode(c.bytes), c.text);
        EXPECT_EQ(base64Decode(c.text), c.bytes);
    }
    EXPECT_EQ(base64Decode("YW\r\nJj"), "abc"); // line breaks are skipped
    for (const char* bad : {"YWJ", "YW=j", "Y===", "YWJj!", "=YWJ", "YQ==YQ=="})
        EXPECT_EQ(base64Decode(bad), "") << bad;
}

TEST(Text, FormatMessageTime)
{
    EXPECT_EQ(formatMessageTime(0), u"time not on the message");
    EXPECT_EQ(formatMessageTime(-5), u"time not on the message");
    const char* tz = std::getenv("TZ");
    const std::string saved = tz ? tz : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(formatMessageTime(1796479620), u"05 Dec 2026, 14:07");
    EXPECT_EQ(formatMessageTime(1), u"01 Jan 1970, 00:00");
    if (tz)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(Text, TrimBlanks)
{
    EXPECT_EQ(trimBlanks(u" \t alice \t"), u"alice");
    EXPECT_EQ(trimBlanks(u"a b"), u"a b");
    EXPECT_EQ(trimBlanks(u" \t "), u"");
    EXPECT_EQ(trimBlanks(u"\nx\n"), u"\nx\n"); // only spaces and tabs
}
