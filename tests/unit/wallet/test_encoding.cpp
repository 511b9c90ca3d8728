#include "wallet/encoding.h"

#include <gtest/gtest.h>

using namespace cv_tessera_wallet;

TEST(Hex, EncodesLowerCaseAndDecodesEitherCase)
{
    const Bytes bytes {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(hex_encode(bytes), "000fa0ff");
    EXPECT_EQ(hex_decode("000fa0ff"), bytes);
    EXPECT_EQ(hex_decode("000FA0FF"), bytes);
    EXPECT_EQ(hex_decode(""), Bytes {});
}

TEST(Hex, BadTextGivesEmptyBytes)
{
    for (const char* text : {"0", "abc", "zz", "0g", "g0", " 00", "00 ", "0x00", "-1", "\xff\xff"})
        EXPECT_TRUE(hex_decode(text).empty()) << text;
}

TEST(Txid, TextChecksAndByteOrder)
{
    const std::string txid = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    EXPECT_TRUE(is_txid(txid));
    EXPECT_EQ(reverse_txid(txid), "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100");
    EXPECT_EQ(reverse_txid(reverse_txid(txid)), "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    for (const std::string& bad : {txid.substr(1), txid + "0", txid.substr(0, 63) + "g", std::string()}) {
        EXPECT_FALSE(is_txid(bad)) << bad;
        EXPECT_EQ(reverse_txid(bad), "") << bad;
    }
}

TEST(Txid, OutpointKeysMatchWhateverTheCase)
{
    const std::string lower = "ab" + std::string(62, 'c');
    const std::string upper = "AB" + std::string(62, 'C');
    EXPECT_EQ(outpoint_key(lower, 0), lower + ":0");
    EXPECT_EQ(outpoint_key(upper, 4294967295u), lower + ":4294967295");
}

TEST(Writers, LittleEndianIntegers)
{
    Bytes out;
    write_u32(out, 0x01020304);
    write_u64(out, 0x0102030405060708ull);
    EXPECT_EQ(hex_encode(out), "040302010807060504030201");
}

TEST(Writers, CompactSizeAtEveryBoundary)
{
    const struct {
        uint64_t value;
        const char* hex;
    } cases[] = {
        {0, "00"},
        {252, "fc"},
        {253, "fdfd00"},
        {0xffff, "fdffff"},
        {0x10000, "fe00000100"},
        {0xffffffffull, "feffffffff"},
        {0x100000000ull, "ff0000000001000000"},
    };
    for (const auto& c : cases) {
        Bytes out;
        write_compact_size(out, c.value);
        EXPECT_EQ(hex_encode(out), c.hex) << c.value;
    }
}

TEST(Writers, PushDataPrefixes)
{
    const struct {
        size_t size;
        const char* prefix;
    } cases[] = {
        {0, "00"},     {1, "01"},       {75, "4b"},        {76, "4c4c"},
        {255, "4cff"}, {256, "4d0001"}, {65535, "4dffff"}, {65536, "4e00000100"},
    };
    for (const auto& c : cases) {
        Bytes out;
        write_push_data(out, Bytes(c.size, 0xab));
        const std::string prefix = c.prefix;
        EXPECT_EQ(hex_encode(out).substr(0, prefix.size()), prefix) << c.size;
        EXPECT_EQ(out.size(), prefix.size() / 2 + c.size) << c.size;
    }
}

TEST(Base64, RoundTripsWithPadding)
{
    const struct {
        const char* bytes;
        const char* text;
    } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xfb\xff", "+/8="}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64_encode(c.bytes), c.text);
        EXPECT_EQ(base64_decode(c.text), c.bytes);
    }
    for (const char* bad : {"Zg", "Zg=", "Z===", "Zm9v!", "=Zm9"}) EXPECT_EQ(base64_decode(bad), "") << bad;
}

// Page tokens and handles go into URLs this way.
TEST(PercentEncoding, KeepsUnreservedBytesAndEncodesTheRestInUpperCase)
{
    const std::pair<std::string, std::string> cases[] = {
        {"+/+/AbC0", "%2B%2F%2B%2FAbC0"}, {"a-b.c_d~e", "a-b.c_d~e"}, {"x=y&z", "x%3Dy%26z"},
        {"sp ace", "sp%20ace"},           {"\xC3\xA9", "%C3%A9"},     {"", ""},
    };
    for (const auto& [text, encoded] : cases) EXPECT_EQ(percent_encode(text), encoded);
}
