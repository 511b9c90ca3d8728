// The store's file format on its own: values in, JSON out and back, without
// the store, its locks or its files.
#include "phone/store_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrel;
using json = nlohmann::json;

namespace {

// What a settings reading changed, in one comparable row.
struct Seen {
    bool admin;
    int theme, notify, volume;
    bool bsv, mainSet;
    std::vector<int> boxes; // the placed card kinds
    bool operator==(const Seen&) const = default;
};

Seen seen(const DeviceSettings& s)
{
    Seen row {s.admin, s.theme, s.notify, s.volume, s.bsv, s.mainSet, {}};
    for (int k = 1; k <= kCardKinds; ++k)
        if (s.boxes[static_cast<size_t>(k)].set) row.boxes.push_back(k);
    return row;
}

std::ostream& operator<<(std::ostream& os, const Seen& s)
{
    os << "admin " << s.admin << " theme " << s.theme << " notify " << s.notify << " volume " << s.volume << " bsv "
       << s.bsv << " main " << s.mainSet << " boxes";
    for (int k : s.boxes) os << ' ' << k;
    return os;
}

DeviceSettings someSettings()
{
    DeviceSettings s;
    s.theme = 1;
    s.notify = 1;
    s.volume = 150;
    s.boxes[7] = CardPlacement {1, 2, true};
    return s;
}

} // namespace

// The phone file stops at the first value of the wrong type; the identity
// file skips it and reads on. Absent keys keep what was there before.
TEST(StoreFormat, WrongTypesStopOrAreSkipped)
{
    const struct {
        const char* object;
        Seen stopped;
        Seen skipped;
    } cases[] = {
        {R"({})", {false, 1, 1, 150, false, false, {7}}, {false, 1, 1, 150, false, false, {7}}},
        {R"({"admin": 1, "theme": 2})", {false, 1, 1, 150, false, false, {7}}, {false, 2, 1, 150, false, false, {7}}},
        {R"({"admin": true, "theme": 2, "notify": "x", "volume": 50, "bsv": true})",
         {true, 2, 1, 150, false, false, {7}},
         {true, 2, 1, 50, true, false, {7}}},
        {R"({"main_x": 5, "main_y": "6", "boxes": [{"k": 2}]})",
         {false, 1, 1, 150, false, false, {7}},
         {false, 1, 1, 150, false, false, {2}}},
        {R"({"boxes": [{"k": 2, "x": "a"}, {"k": 3, "x": 4, "y": 5}]})",
         {false, 1, 1, 150, false, false, {}},
         {false, 1, 1, 150, false, false, {3}}},
        {R"({"boxes": "none", "theme": 9, "main_x": -1, "main_y": 1e12})",
         {false, 0, 1, 150, false, true, {7}},
         {false, 0, 1, 150, false, true, {7}}},
        {R"([{"theme": 2}])", {false, 1, 1, 150, false, false, {7}}, {false, 1, 1, 150, false, false, {7}}},
    };
    for (const auto& c : cases) {
        const json object = json::parse(c.object);
        EXPECT_EQ(seen(deviceSettingsFromJson(object, someSettings(), true, true)), c.stopped) << c.object;
        EXPECT_EQ(seen(deviceSettingsFromJson(object, someSettings(), true, false)), c.skipped) << c.object;
    }

    // Without admin (the identity file) a stored admin flag is neither read
    // nor written; with it (the phone file) an absent flag means off.
    DeviceSettings admin = someSettings();
    admin.admin = true;
    EXPECT_FALSE(deviceSettingsFromJson(json::object(), admin, true, true).admin);
    EXPECT_TRUE(deviceSettingsFromJson(json {{"admin", false}}, admin, false, true).admin);
    EXPECT_FALSE(deviceSettingsJson(admin, false).contains("admin"));
    EXPECT_EQ(deviceSettingsJson(admin, true)["admin"], true);
}

TEST(StoreFormat, SettingsComeBackAsWritten)
{
    DeviceSettings s = someSettings();
    s.admin = true;
    s.bsv = true;
    s.output = u"Speakers \u00e9";
    s.mainSet = true;
    s.mainX = -40;
    s.mainY = 2000;
    s.boxes[11] = CardPlacement {-3, 4, true};

    const DeviceSettings back = deviceSettingsFromJson(deviceSettingsJson(s, true), DeviceSettings {}, true, true);
    EXPECT_EQ(seen(back), seen(s));
    EXPECT_EQ(back.output, s.output);
    EXPECT_EQ(back.mainX, -40);
    EXPECT_EQ(back.mainY, 2000);
    EXPECT_EQ(back.boxes[11].x, -3);
    EXPECT_EQ(back.boxes[11].y, 4);
}

TEST(StoreFormat, IdentityComesBackAsWritten)
{
    for (const json& notAnObject : {json::array(), json("x"), json(nullptr), json(3)})
        EXPECT_FALSE(identityFromJson(notAnObject).has_value()) << notAnObject.dump();

    IdentityData identity;
    identity.answerphone = true;
    identity.phoneFee = 100;
    identity.greetOn = true;
    identity.greetingAudio = std::string("\x00\xFF greeting", 11);
    identity.blocked = {"bob", "carol"};
    identity.heard = {"h1"};
    identity.tomb = {"t1"};
    identity.saved = {{1, "s1", "bob", "AUDIO", std::string(64, 'a')}};
    identity.calls = {{"alice", "bob", 12, 340, 1700000000, true, true, "00112233aabbccdd", std::string(64, 'c')}};
    identity.inbox = {{"i1", "carol", "VOICE", std::string(64, 'b'), 1700000001, 4}};

    const std::optional<IdentityData> back = identityFromJson(identityJson(identity));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(identityJson(*back), identityJson(identity));
    EXPECT_EQ(back->greetingAudio, identity.greetingAudio);
    EXPECT_EQ(back->calls[0].sats, 340);
    EXPECT_EQ(back->inbox[0].txid, std::string(64, 'b'));
}

// The writer never puts more than kMaxInbox messages in a file, whoever
// filled the list: the oldest are left out.
TEST(StoreFormat, WrittenInboxKeepsTheNewest)
{
    IdentityData identity;
    for (size_t i = 0; i < kMaxInbox + 3; ++i)
        identity.inbox.push_back({"m" + std::to_string(i), "bob", "A", "", 1, 1});
    const json written = identityJson(identity);
    ASSERT_EQ(written["inbox"].size(), kMaxInbox);
    EXPECT_EQ(written["inbox"][0]["id"], "m3");
    EXPECT_EQ(identity.inbox.size(), kMaxInbox + 3); // the value itself is left alone
}
