#include "wallet/handle_forms.h"
#include "phone/phone_store.h"
#include "phone/app_messages.h"
#include "phone/text.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "event_recorder.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

using namespace kestrel;
using json = nlohmann::json;

namespace {

void resetStore()
{
    PhoneStore& s = phoneStore();
    s.admin = false;
    s.theme = 0;
    s.notify = 0;
    s.volume = 100;
    s.bsv = false;
    s.output.clear();
    s.mainSet = false;
    s.mainX = s.mainY = 0;
    s.boxes = {};
    s.answerphone = false;
    s.phoneFee = 1;
    s.greetOn = false;
    s.greetingAudio.clear();
    s.blocked.clear();
    s.heard.clear();
    s.tomb.clear();
    s.saved.clear();
    s.calls.clear();
    s.inbox.clear();
    s.ownerId.clear();
    phoneState() = PhoneState {};
}

json readJson(const std::string& path)
{
    std::string text;
    if (!platform::readFile(path, text)) return json(json::value_t::discarded);
    return json::parse(text, nullptr, false);
}

void writeText(const std::string& path, const std::string& text)
{
    ASSERT_TRUE(platform::replaceFileAtomically(path, text));
}

std::string phoneFile()
{
    return phoneFilePath();
}

class PhoneStoreTest : public ::testing::Test {
protected:
    void SetUp() override { resetStore(); }
    void TearDown() override { resetStore(); }
    TempDataFolder temp;
};

json inboxMessage(const std::string& id, const std::string& audio = "QUJD")
{
    return {{"id", id}, {"from", "bob"}, {"audio", audio}, {"ts", 1}, {"secs", 2}};
}

} // namespace

TEST(Handles, Normalisation)
{
    const struct {
        const char* in;
        const char* handle;
        const char* form;
        const char* id;
    } cases[] = {
        {"alice", "alice", "alice", "alice"},
        {"@Alice", "Alice", "alice", "alice"},
        {" @Alice.Smith@corvane.app ", "Alice.Smith", "alice.smith", "alicesmith"},
        {"@@ bob  @x@y", "bob", "bob", "bob"},
        {"  ", "", "", ""},
        {"@", "", "", ""},
        {"J\xC3\xBCrgen_1-2", "J\xC3\xBCrgen_1-2", "j\xC3\xBCrgen_1-2", "jrgen_1-2"},
        {"a b", "a b", "a b", "ab"},
        {"$Bob", "Bob", "bob", "bob"},
        {" @$ bob@corvane.app", "bob", "bob", "bob"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cv_tessera_wallet::bare_handle(c.in), c.handle) << c.in;
        EXPECT_EQ(cv_tessera_wallet::comparison_form(c.in), c.form) << c.in;
        EXPECT_EQ(cv_tessera_wallet::file_id_form(c.in), c.id) << c.in;
    }
}

TEST_F(PhoneStoreTest, FreshMachine)
{
    loadSettings();
    std::string text = "x";
    ASSERT_TRUE(platform::readFile(phoneFile(), text));
    EXPECT_EQ(text, ""); // the open created it
    EXPECT_EQ(phoneStore().volume, 100);

    switchOwner("alice");
    const json identity = readJson(identityFilePath("alice"));
    ASSERT_TRUE(identity.is_object());
    EXPECT_EQ(identity["answerphone"], false);
    EXPECT_EQ(identity["phone_fee"], 1);
    EXPECT_EQ(identity["greet_on"], false);
    for (const char* key : {"heard", "tomb", "saved", "calls", "blocked", "boxes"})
        EXPECT_EQ(identity[key], json::array()) << key;
    for (const char* key : {"theme", "notify", "volume", "bsv"}) EXPECT_TRUE(identity.contains(key)) << key;
    EXPECT_FALSE(identity.contains("inbox"));
    EXPECT_FALSE(identity.contains("greet_audio"));
    EXPECT_FALSE(identity.contains("output"));
    EXPECT_EQ(phoneStore().ownerId, "alice");
}

TEST_F(PhoneStoreTest, SettingsReadRules)
{
    const struct {
        const char* file;
        int theme, notify, volume;
        bool mainSet;
    } cases[] = {
        {R"({"volume": 74})", 0, 0, 50, false},
        {R"({"volume": 75})", 0, 0, 100, false},
        {R"({"volume": 124})", 0, 0, 100, false},
        {R"({"volume": 125})", 0, 0, 150, false},
        {R"({"volume": 175})", 0, 0, 200, false},
        {R"({"volume": 99999999999})", 0, 0, 200, false},
        {R"({"volume": -1e300})", 0, 0, 50, false},
        {R"({})", 0, 0, 100, false},
        {R"({"theme": 4, "notify": 3})", 4, 3, 100, false},
        {R"({"theme": 5, "notify": 4})", 0, 0, 100, false},
        {R"({"theme": -1, "notify": -1})", 0, 0, 100, false},
        {R"({"main_x": 10})", 0, 0, 100, false},
        {R"({"main_x": 10, "main_y": -20})", 0, 0, 100, true},
        // A wrong type ends the reading: what came before stays.
        {R"({"theme": 2, "notify": "x", "volume": 150})", 2, 0, 100, false},
        {R"({"theme": 2, "bsv": 1, "main_x": 1, "main_y": 2})", 2, 0, 100, false},
        {R"(not json)", 0, 0, 100, false},
        {R"([1, 2])", 0, 0, 100, false},
    };
    for (const auto& c : cases) {
        resetStore();
        writeText(phoneFile(), c.file);
        loadSettings();
        EXPECT_EQ(phoneStore().theme, c.theme) << c.file;
        EXPECT_EQ(phoneStore().notify, c.notify) << c.file;
        EXPECT_EQ(phoneStore().volume, c.volume) << c.file;
        EXPECT_EQ(phoneStore().mainSet, c.mainSet) << c.file;
    }
}

TEST_F(PhoneStoreTest, BoxesAndOutputAndAdmin)
{
    writeText(phoneFile(), R"({"admin": true, "bsv": true, "output": "Speakers \u00e9",
        "boxes": [{"k": 0, "x": 1, "y": 1}, {"k": 12, "x": 2, "y": 2}, {"k": 11, "x": 30, "y": 40}, {"k": 3}, 7]})");
    loadSettings();
    const PhoneStore& s = phoneStore();
    EXPECT_TRUE(s.admin);
    EXPECT_TRUE(s.bsv);
    EXPECT_EQ(s.output, u"Speakers \u00e9");
    for (int k = 1; k <= 11; ++k) {
        const bool expected = (k == 11 || k == 3);
        EXPECT_EQ(s.boxes[k].set, expected) << k;
    }
    EXPECT_EQ(s.boxes[11].x, 30);
    EXPECT_EQ(s.boxes[11].y, 40);
    EXPECT_EQ(s.boxes[3].x, 0);
}

TEST_F(PhoneStoreTest, SaveSettingsKeepsForeignKeysAndWritesOnlySetValues)
{
    writeText(phoneFile(), R"({"calls": [{"from": "x"}], "output": "old device", "zzz": 1})");
    loadSettings();
    phoneStore().output.clear();
    phoneStore().boxes[2] = CardPlacement {5, 6, true};
    saveSettings();
    const json file = readJson(phoneFile());
    EXPECT_EQ(file["zzz"], 1);
    EXPECT_EQ(file["calls"].size(), 1u);
    EXPECT_EQ(file["output"], "old device"); // empty output leaves the stored one
    EXPECT_FALSE(file.contains("main_x"));
    EXPECT_EQ(file["boxes"], json::parse(R"([{"k": 2, "x": 5, "y": 6}])"));
    EXPECT_EQ(file["volume"], 100);
    EXPECT_EQ(file["admin"], false);

    // A file that does not parse, with no backup to fall back on.
    writeText(phoneFile(), "garbage");
    ::unlink((phoneFile() + ".bak").c_str());
    saveSettings();
    const json rebuilt = readJson(phoneFile());
    ASSERT_TRUE(rebuilt.is_object());
    EXPECT_FALSE(rebuilt.contains("calls"));
    EXPECT_EQ(rebuilt["theme"], 0);
}

TEST_F(PhoneStoreTest, IdentityValuesAndClamping)
{
    const struct {
        const char* fee;
        int expected;
    } fees[] = {{"0", 1}, {"101", 1}, {"50", 50}, {"100", 100}, {"\"7\"", 1}, {"-3", 1}};
    for (const auto& f : fees) {
        resetStore();
        const std::string text = std::string(R"({"answerphone": true, "phone_fee": )") + f.fee + "}";
        applyIdentityJson(json::parse(text));
        EXPECT_EQ(phoneStore().phoneFee, f.expected) << f.fee;
        EXPECT_TRUE(phoneStore().answerphone);
    }
}

TEST_F(PhoneStoreTest, ListsFollowTheirRules)
{
    json obj = {
        {"answerphone", false},
        {"blocked", {"@Bob", "bob", "", "  ", 5, "Carol@corvane.app"}},
        {"heard", {"h1", 3}},
        {"tomb", {"t1"}},
        {"greet_audio", "not base64!"},
        {"saved", json::array({{{"n", 1}, {"id", "s1"}, {"from", "x"}, {"audio", "QUJD"}},
                               {{"n", 0}, {"id", "s0"}, {"audio", "QUJD"}},
                               {{"n", 2}, {"id", "s2"}, {"audio", "%%%"}},
                               {{"n", "3"}, {"id", "s3"}, {"audio", "QUJD"}},
                               "not an object"})},
        {"calls", json::array({{{"from", "a"}, {"to", "b"}, {"secs", 3}},
                               {{"from", "a"}, {"hide", "yes"}},
                               {{"from", "c"}, {"hide", true}, {"missed", true}}})},
        {"inbox", json::array({inboxMessage("t1"), inboxMessage("h1"), inboxMessage("ok"), inboxMessage(""),
                               inboxMessage("noaudio", ""), inboxMessage("badaudio", "@@@@")})},
    };
    ASSERT_TRUE(applyIdentityJson(obj));
    const PhoneStore& s = phoneStore();
    EXPECT_EQ(s.blocked, (std::vector<std::string> {"bob", "carol"}));
    EXPECT_EQ(s.heard, (std::vector<std::string> {"h1"}));
    EXPECT_TRUE(s.greetingAudio.empty());
    ASSERT_EQ(s.saved.size(), 1u);
    EXPECT_EQ(s.saved[0].id, "s1");
    EXPECT_EQ(s.saved[0].audio, "ABC");
    ASSERT_EQ(s.calls.size(), 2u); // the row with a non-boolean "hide" is skipped
    EXPECT_EQ(s.calls[1].from, "c");
    EXPECT_TRUE(s.calls[1].hide);
    ASSERT_EQ(s.inbox.size(), 1u);
    EXPECT_EQ(s.inbox[0].id, "ok");
    EXPECT_FALSE(applyIdentityJson(json::array()));

    phoneState().ownHandle = "alice";
    EXPECT_TRUE(isBlocked("@BOB@corvane.app"));
    EXPECT_TRUE(isBlocked("$Bob")); // the handle form a signature accepts
    EXPECT_FALSE(isBlocked("bobby"));
    EXPECT_FALSE(isBlocked("@"));
}

TEST_F(PhoneStoreTest, TombAndHeardMessagesNeverReturn)
{
    switchOwner("alice");
    phoneStore().inbox.push_back({"m1", "bob", "AUDIO", "", 10, 2});
    phoneStore().inbox.push_back({"m2", "bob", "AUDIO", "", 11, 2});
    phoneStore().inbox.push_back({"m3", "bob", "AUDIO", "", 12, 2});
    saveAll();
    ASSERT_TRUE(saveInboxMessage(0));   // m1 -> saved, heard
    ASSERT_TRUE(deleteInboxMessage(1)); // m2 -> tomb
    EXPECT_EQ(phoneState().statusText, "Saved as message 1.");

    EXPECT_EQ(phoneStore().inbox.size(), 2u); // the saved one stays listed until the next load

    switchOwner("");
    switchOwner("alice");
    std::vector<std::string> ids;
    for (const auto& m : phoneStore().inbox) ids.push_back(m.id);
    EXPECT_EQ(ids, (std::vector<std::string> {"m3"}));
    ASSERT_EQ(phoneStore().saved.size(), 1u);
    EXPECT_EQ(phoneStore().saved[0].id, "m1");
}

TEST_F(PhoneStoreTest, InboxOf2500KeepsTheNewest2000)
{
    json inbox = json::array();
    for (int i = 0; i < 2500; ++i) inbox.push_back(inboxMessage("m" + std::to_string(i)));
    platform::makeFolders(phoneFolder());
    writeText(identityFilePath("alice"), json {{"inbox", inbox}}.dump());
    switchOwner("alice");
    ASSERT_EQ(phoneStore().inbox.size(), 2000u);
    EXPECT_EQ(phoneStore().inbox.front().id, "m500");
    EXPECT_EQ(phoneStore().inbox.back().id, "m2499");
    const json written = readJson(identityFilePath("alice"));
    ASSERT_EQ(written["inbox"].size(), 2000u);
    EXPECT_EQ(written["inbox"][0]["id"], "m500");
}

TEST_F(PhoneStoreTest, CallHistoryLimitAndMissedCalls)
{
    switchOwner("alice");
    {
        platform::LockGuard lock(stateMutex());
        phoneState().ownHandle = "Alice";
    }
    for (int i = 0; i < 81; ++i) {
        CallRecord r;
        r.from = "alice";
        r.to = "bob";
        r.secs = i;
        addCallRecord(r);
    }
    ASSERT_EQ(phoneStore().calls.size(), 80u);
    EXPECT_EQ(phoneStore().calls.front().secs, 1);

    phoneStore().calls.clear();
    {
        platform::LockGuard lock(stateMutex());
        addMissedCall("bob", "00112233aabbccdd", "ab");
        addMissedCall("bob", "00112233aabbccdd", "ab");
        addMissedCall("carol", "", "");
        addMissedCall("carol", "", "");
        addMissedCall("", "ffff", "");
    }
    const auto& calls = phoneStore().calls;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].missed);
    EXPECT_EQ(calls[0].to, "Alice");
    EXPECT_EQ(calls[0].txid, "ab");
    EXPECT_GT(calls[0].ts, 0);

    const json written = readJson(identityFilePath("alice"));
    EXPECT_EQ(written["calls"][0]["id"], "00112233aabbccdd");
    EXPECT_FALSE(written["calls"][1].contains("id"));
    EXPECT_FALSE(written["calls"][0].contains("hide"));
}

TEST_F(PhoneStoreTest, LegacySavedMessagesStayWithTheFirstIdentity)
{
    writeText(phoneFile(), json {{"saved", json::array({{{"n", 1}, {"id", "L1"}, {"from", "x"}, {"audio", "QUJD"}},
                                                        {{"n", 2}, {"id", "L2"}, {"from", "y"}, {"audio", "QUJD"}}})},
                                 {"answerphone", true},
                                 {"theme", 3}}
                               .dump());
    switchOwner("alice");
    EXPECT_EQ(phoneStore().saved.size(), 2u);
    EXPECT_TRUE(phoneStore().answerphone);
    EXPECT_EQ(readJson(phoneFile())["legacy_saved_owner"], "alice");
    EXPECT_EQ(readJson(phoneFile())["theme"], 3); // the legacy object is written back whole

    switchOwner("bob");
    EXPECT_TRUE(phoneStore().saved.empty());
    EXPECT_TRUE(readJson(identityFilePath("bob"))["saved"].empty());

    switchOwner("alice");
    EXPECT_EQ(phoneStore().saved.size(), 2u);
}

TEST_F(PhoneStoreTest, LegacyCallsAreSplitPerIdentity)
{
    writeText(phoneFile(), json {{"calls", json::array({{{"from", "@Bob"}, {"to", "carol"}, {"secs", 1}},
                                                        {{"from", "dave"}, {"to", "erin"}, {"secs", 2}},
                                                        {{"from", "carol"}, {"to", "BOB@corvane.app"}, {"secs", 3}}})},
                                 {"inbox", json::array({inboxMessage("legacy")})}}
                               .dump());
    switchOwner("bob");
    const auto& calls = phoneStore().calls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].secs, 1);
    EXPECT_EQ(calls[1].secs, 3);
    EXPECT_TRUE(phoneStore().inbox.empty()); // legacy inbox messages are not carried over
}

TEST_F(PhoneStoreTest, UnestablishedIdentityFileIsRebuiltFromLegacy)
{
    writeText(phoneFile(), json {{"answerphone", true}}.dump());
    platform::makeFolders(phoneFolder());
    for (const char* content : {"not json", R"({"phone_fee": 9})", "[]"}) {
        resetStore();
        writeText(identityFilePath("alice"), content);
        switchOwner("alice");
        EXPECT_TRUE(phoneStore().answerphone) << content;
        EXPECT_EQ(phoneStore().phoneFee, 1) << content;
        EXPECT_TRUE(readJson(identityFilePath("alice")).contains("calls")) << content;
    }
}

TEST_F(PhoneStoreTest, TxidsOnlyWrittenWhenWhole)
{
    switchOwner("alice");
    const std::string txid63(63, 'a');
    const std::string txid64(64, 'b');
    phoneStore().saved.push_back({1, "s1", "bob", "AUDIO", txid63});
    phoneStore().saved.push_back({2, "s2", "bob", "AUDIO", txid64});
    phoneStore().inbox.push_back({"i1", "bob", "AUDIO", txid63, 1, 1});
    saveAll();
    const json written = readJson(identityFilePath("alice"));
    EXPECT_FALSE(written["saved"][0].contains("txid"));
    EXPECT_EQ(written["saved"][1]["txid"], txid64);
    EXPECT_FALSE(written["inbox"][0].contains("txid"));

    switchOwner("");
    switchOwner("alice");
    ASSERT_EQ(phoneStore().saved.size(), 2u);
    EXPECT_EQ(phoneStore().saved[0].txid, "");
}

TEST_F(PhoneStoreTest, RenumberSavedPutsOwnMessagesLast)
{
    phoneState().ownHandle = "@Alice";
    phoneStore().saved = {
        {5, "a", "alice", "x", ""}, {9, "b", "bob", "x", ""}, {1, "c", "ALICE", "x", ""}, {2, "d", "carol", "x", ""}};
    EXPECT_TRUE(renumberSaved());
    std::vector<int> numbers;
    for (const auto& m : phoneStore().saved) numbers.push_back(m.n);
    EXPECT_EQ(numbers, (std::vector<int> {3, 1, 4, 2}));
    EXPECT_FALSE(renumberSaved());

    phoneState().ownHandle.clear();
    EXPECT_TRUE(renumberSaved());
    numbers.clear();
    for (const auto& m : phoneStore().saved) numbers.push_back(m.n);
    EXPECT_EQ(numbers, (std::vector<int> {1, 2, 3, 4}));
}

TEST_F(PhoneStoreTest, DeletingSavedMessageTombsAndRenumbers)
{
    switchOwner("alice");
    phoneStore().saved = {{1, "a", "bob", "x", ""}, {2, "b", "bob", "x", ""}, {3, "c", "bob", "x", ""}};
    ASSERT_TRUE(deleteSavedMessage(0));
    EXPECT_FALSE(deleteSavedMessage(7));
    ASSERT_EQ(phoneStore().saved.size(), 2u);
    EXPECT_EQ(phoneStore().saved[0].n, 1);
    EXPECT_EQ(phoneStore().tomb, (std::vector<std::string> {"a"}));
}

TEST_F(PhoneStoreTest, SwitchingOwnersSavesTheOldOwnerAndPosts)
{
    EventRecorder recorder;
    historyScanFlag() = false;
    switchOwner("alice");
    phoneStore().phoneFee = 42;
    switchOwner("bob");
    EXPECT_EQ(phoneStore().phoneFee, 1);
    EXPECT_EQ(readJson(identityFilePath("alice"))["phone_fee"], 42);
    EXPECT_TRUE(historyScanFlag());
    const auto posted = recorder.ofKind(platform::EventKind::Message);
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted[0].message, WM_PHONE_CONNECTION);
    EXPECT_EQ(posted[1].target, platform::EventTarget::CardWindow);

    switchOwner("@@"); // no safe id: no owner, nothing written
    EXPECT_EQ(phoneStore().ownerId, "");
    phoneStore().phoneFee = 77;
    saveIdentity();
    EXPECT_FALSE(platform::pathExists(phoneFolder() + "/phone-.json"));
}

TEST_F(PhoneStoreTest, NonAsciiHandlesFileUnderTheirSafeId)
{
    switchOwner("Jürgen");
    EXPECT_EQ(phoneStore().ownerId, "jrgen");
    EXPECT_TRUE(platform::pathExists(identityFilePath("jrgen")));
    phoneStore().inbox.push_back({"m", "\xFF\xFEnot utf8", "AUDIO", "", 1, 1});
    saveAll(); // malformed UTF-8 is replaced, never thrown
    const json written = readJson(identityFilePath("jrgen"));
    ASSERT_TRUE(written.is_object());
    EXPECT_EQ(written["inbox"].size(), 1u);
}

TEST_F(PhoneStoreTest, TornFileFallsBackToItsBackup)
{
    switchOwner("alice");
    phoneStore().phoneFee = 33;
    saveAll();
    // A save that died half way: the file holds a prefix of the new text.
    std::string text;
    ASSERT_TRUE(platform::readFile(identityFilePath("alice"), text));
    writeText(identityFilePath("alice"), text.substr(0, text.size() / 2));
    switchOwner("");
    switchOwner("alice");
    EXPECT_EQ(phoneStore().phoneFee, 33);
}

TEST_F(PhoneStoreTest, StatusTextAndLog)
{
    EXPECT_EQ(phoneState().statusText, "Connect Tessera, then type a handle.");
    {
        EventRecorder recorder;
        setStatusText("Hung up.");
        platform::Event status;
        status.kind = platform::EventKind::Status;
        status.text = "Hung up.";
        EXPECT_EQ(recorder.all(), std::vector<platform::Event> {status});
    }
    EXPECT_EQ(phoneState().statusText, "Hung up.");

    appendLog(u"ignored");
    EXPECT_TRUE(phoneState().log.empty());
    phoneStore().admin = true;
    for (int i = 0; i < 45; ++i) appendLog(u"line " + utf8ToWide(std::to_string(i)));
    ASSERT_EQ(phoneState().log.size(), 40u);
    EXPECT_EQ(phoneState().log.front(), u"line 44");
    EXPECT_EQ(phoneState().log.back(), u"line 5");
}
