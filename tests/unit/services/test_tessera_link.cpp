#include "services/tessera_link.h"

#include "platform/data_folder.h"
#include "platform/files.h"
#include "event_recorder.h"
#include "temp_folder.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using namespace kestrel;
using json = nlohmann::json;

namespace {

class TesseraLinkTest : public ::testing::Test {
protected:
    void SetUp() override { cv_tessera_wallet::set_bound_wallet_id(""); }
    void TearDown() override { cv_tessera_wallet::set_bound_wallet_id(""); }

    std::string path(const std::string& relative) const { return temp.corvane() + relative; }
    void write(const std::string& relative, const std::string& text) const
    {
        platform::makeFolders(path(relative).substr(0, path(relative).find_last_of('/')));
        ASSERT_TRUE(platform::replaceFileAtomically(path(relative), text));
    }
    json read(const std::string& relative) const
    {
        std::string text;
        if (!platform::readFile(path(relative), text)) return json(json::value_t::discarded);
        return json::parse(text, nullptr, false);
    }
    std::string bindFile() const { return "/binds/" + bindKey("/opt/kestrel") + ".json"; }

    TempDataFolder temp;
};

} // namespace

TEST(TesseraLink, BindKey)
{
    const struct {
        std::string instance, key;
    } cases[] = {
        {"C:\\Apps\\Kestrel", "c__apps_kestrel"},
        {"/opt/Kestrel-2", "_opt_kestrel_2"},
        {"", "default"},
        {"J\xC3\xBCrgen", "j__rgen"},
        {std::string(200, 'A'), std::string(96, 'a')},
        {std::string(150, 'x') + std::string(50, 'Y'), std::string(46, 'x') + std::string(50, 'y')},
    };
    for (const auto& c : cases) EXPECT_EQ(bindKey(c.instance), c.key) << c.instance;
}

TEST(TesseraLink, StampIdsAndStatusEvents)
{
    const std::string id = newStampId();
    ASSERT_GE(id.size(), 14u);
    EXPECT_EQ(id[0], 'w');
    EXPECT_EQ(id.find_first_not_of("0123456789", 1), std::string::npos);

    std::vector<platform::Event> events;
    {
        EventRecorder recorder;
        emitTesseraEvent("status");
        emitTesseraEvent("paymail", "bob@x");
        emitTesseraEvent("k", "", "b");
        emitTesseraEvent("k", "a", "", "");
        events = recorder.all();
    }
    emitTesseraEvent("dropped");
    EXPECT_EQ(events, (std::vector<platform::Event> {
                          walletEvent("tessera", "status"), walletEvent("tessera", "paymail", {"bob@x"}),
                          walletEvent("tessera", "k", {"", "b"}), walletEvent("tessera", "k", {"a"})}));
}

TEST_F(TesseraLinkTest, RegistryLoadsNormalisedAndSavesWhole)
{
    const struct {
        const char* text;
        size_t wallets;
        bool intact;
    } cases[] = {
        {nullptr, 0, true},
        {"", 0, true},
        {"not json", 0, false},
        {"[1]", 0, false},
        {R"({"wallets": 5})", 0, true},
        {R"({"wallets": [{"id": "a"}, 3], "theirs": {"x": 1}})", 2, true},
    };
    for (const auto& c : cases) {
        ::unlink(path("/wallets.json").c_str());
        if (c.text) write("/wallets.json", c.text);
        bool intact = !c.intact;
        const json registry = loadWalletRegistry(&intact);
        EXPECT_EQ(registry["wallets"].size(), c.wallets) << (c.text ? c.text : "(none)");
        EXPECT_EQ(intact, c.intact) << (c.text ? c.text : "(none)");
    }

    json registry = loadWalletRegistry();
    registry["wallets"].push_back({{"id", "b"}, {"name", "B"}});
    ASSERT_TRUE(saveWalletRegistry(registry));
    const json saved = read("/wallets.json");
    EXPECT_EQ(saved["theirs"]["x"], 1);
    EXPECT_EQ(saved["wallets"].size(), 3u);
    EXPECT_FALSE(platform::pathExists(path("/wallets.json.tmp")));
    std::string text;
    platform::readFile(path("/wallets.json"), text);
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(TesseraLinkTest, DamagedRegistryIsNeverOverwritten)
{
    write("/wallets.json", "{\"wallets\": [{\"id\": \"a\"");
    EXPECT_FALSE(saveWalletRegistry(json {{"wallets", json::array()}}));
    std::string text;
    platform::readFile(path("/wallets.json"), text);
    EXPECT_EQ(text, "{\"wallets\": [{\"id\": \"a\"");

    // Nor does the legacy migration move a wallet it could not register.
    write("/corvane_tessera.json", "{}");
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_TRUE(platform::pathExists(path("/corvane_tessera.json")));
}

TEST_F(TesseraLinkTest, LegacyWalletGoesBackWhenTheRegistryCannotBeSaved)
{
    const std::string legacy = R"({"priv": "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd"})";
    write("/corvane_tessera.json", legacy);
    // A folder where the registry's temporary file would go: its save fails.
    std::filesystem::create_directories(path("/wallets.json.tmp"));
    registerApp("/opt/kestrel", "Kestrel");
    std::string text;
    ASSERT_TRUE(platform::readFile(path("/corvane_tessera.json"), text));
    EXPECT_EQ(text, legacy);
    size_t folders = 0;
    if (std::filesystem::exists(path("/wallets")))
        for (const auto& entry : std::filesystem::directory_iterator(path("/wallets"))) {
            (void)entry;
            ++folders;
        }
    EXPECT_EQ(folders, 0u); // no unlisted copy left behind

    // Once the registry can be saved, the wallet moves and is listed.
    std::filesystem::remove(path("/wallets.json.tmp"));
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_FALSE(platform::pathExists(path("/corvane_tessera.json")));
    const json registry = read("/wallets.json");
    ASSERT_EQ(registry["wallets"].size(), 1u);
    const std::string id = registry["wallets"][0]["id"].get<std::string>();
    ASSERT_TRUE(platform::readFile(path("/wallets/" + id + "/wallet.json"), text));
    EXPECT_EQ(text, legacy);
}

TEST_F(TesseraLinkTest, WalletIdsThatAreNoFolderNameBindNothing)
{
    // The registry, the bind file and a connect reply are files any local
    // process may write; their ids become paths in the data folder.
    for (const char* id : {"../x", "..", ".", "a/b", "../../wallets/w1", "w 1", "w1\n"}) {
        write("/wallets.json", json {{"wallets", json::array({json {{"id", id}}})}}.dump());
        ::unlink(path(bindFile()).c_str());
        registerApp("/opt/kestrel", "Kestrel");
        EXPECT_EQ(cv_tessera_wallet::bound_wallet_id(), "") << id;
        EXPECT_FALSE(platform::pathExists(path(bindFile()))) << id;

        write(bindFile(), json {{"app", "Kestrel"}, {"instance", "/opt/kestrel"}, {"wallet_id", id}}.dump());
        registerApp("/opt/kestrel", "Kestrel");
        EXPECT_EQ(cv_tessera_wallet::bound_wallet_id(), "") << id;
        EXPECT_EQ(currentWalletPath(), "") << id;
        cv_tessera_wallet::set_bound_wallet_id(id); // as a caller might
        EXPECT_EQ(cv_tessera_wallet::wallet_file_path(), "") << id;
        EXPECT_FALSE(cv_tessera_wallet::load_wallet()) << id;
        EXPECT_FALSE(cv_tessera_wallet::save_wallet()) << id;
        cv_tessera_wallet::set_bound_wallet_id("");
    }
    for (const char* id : {"w1", "1700000000123-a.b_c"}) EXPECT_TRUE(cv_tessera_wallet::is_safe_wallet_id(id)) << id;
}

TEST_F(TesseraLinkTest, RegistrationBindsTheOnlyWallet)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1", "name": "Main"}]})");
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_EQ(currentWalletId(), "w1");
    EXPECT_EQ(cv_tessera_wallet::bound_wallet_id(), "w1");
    EXPECT_EQ(currentWalletPath(), temp.corvane() + "/wallets/w1/wallet.json");
    const json bind = read(bindFile());
    EXPECT_EQ(bind, (json {{"app", "Kestrel"}, {"instance", "/opt/kestrel"}, {"wallet_id", "w1"}}));
    EXPECT_TRUE(isTesseraConnected());
    EXPECT_EQ(walletDisplayName("w1"), "Main");
    EXPECT_EQ(walletDisplayName("other"), "other");
}

TEST_F(TesseraLinkTest, TwoWalletsBindNothingUntilConnected)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1"}, {"id": "w2"}]})");
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_EQ(currentWalletId(), "");
    EXPECT_FALSE(isTesseraConnected());
    EXPECT_FALSE(platform::pathExists(path(bindFile())));
}

TEST_F(TesseraLinkTest, BindFileWinsOverTheRegistry)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1"}]})");
    write(bindFile(), R"({"app": "Kestrel", "instance": "/opt/kestrel", "wallet_id": "w9"})");
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_EQ(currentWalletId(), "w9");

    write(bindFile(), R"({"wallet_id": 7})"); // a type error is ignored; the registry then binds
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_EQ(currentWalletId(), "w1");
}

TEST_F(TesseraLinkTest, LegacyWalletMigratesOnlyIntoAnEmptyRegistry)
{
    write("/corvane_tessera.json", R"({"version": 2, "mnemonic": "x"})");
    registerApp("/opt/kestrel", "Kestrel");
    const json registry = read("/wallets.json");
    ASSERT_EQ(registry["wallets"].size(), 1u);
    const std::string id = registry["wallets"][0]["id"];
    EXPECT_EQ(registry["wallets"][0]["name"], "Wallet 1");
    EXPECT_EQ(registry["active"], id);
    EXPECT_EQ(id[0], 'w');
    EXPECT_FALSE(platform::pathExists(path("/corvane_tessera.json")));
    EXPECT_EQ(read("/wallets/" + id + "/wallet.json")["version"], 2);
    EXPECT_EQ(currentWalletId(), id); // the one wallet is bound at once

    write("/corvane_tessera.json", R"({"version": 2})");
    registerApp("/opt/kestrel", "Kestrel");
    EXPECT_TRUE(platform::pathExists(path("/corvane_tessera.json"))); // a listed wallet: left alone
    EXPECT_EQ(read("/wallets.json")["wallets"].size(), 1u);
}

TEST_F(TesseraLinkTest, ConnectRepliesAreReadAsTesseraWroteThem)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1"}, {"id": "w2"}]})");
    registerApp("/opt/kestrel", "Kestrel");
    const std::string id = writeConnectRequest();
    ASSERT_FALSE(id.empty());
    const json request = read("/connect/" + id + ".req.json");
    EXPECT_EQ(request["id"], id);
    EXPECT_EQ(request["app"], "Kestrel");
    EXPECT_EQ(request["instance"], "/opt/kestrel");
    EXPECT_TRUE(request["ts"].is_number_integer());

    const std::string reply = "/connect/" + id + ".rep.json";
    const struct {
        const char* text;
        const char* answer;
        const char* bound;
    } cases[] = {
        {nullptr, "pending", ""},
        {"not json", "denied", ""},
        {R"({"ok": false, "wallet_id": "w2"})", "denied", ""},
        {R"({"ok": "yes", "wallet_id": "w2"})", "denied", ""},
        {R"({"ok": true})", "ok", ""},
        {R"({"ok": true, "wallet_id": "../x"})", "denied", ""}, // an id that is no folder name
        {R"({"ok": true, "wallet_id": ".."})", "denied", ""},
        {R"({"ok": true, "wallet_id": "w2"})", "ok", "w2"},
    };
    for (const auto& c : cases) {
        if (c.text) write(reply, c.text);
        EXPECT_EQ(pollConnectReply(id), c.answer) << (c.text ? c.text : "(no reply)");
        EXPECT_EQ(currentWalletId(), c.bound) << (c.text ? c.text : "(no reply)");
    }
    EXPECT_EQ(read(bindFile())["wallet_id"], "w2");
    EXPECT_EQ(pollConnectReply(""), "denied");
}

TEST_F(TesseraLinkTest, DisconnectDeletesOnlyTheBindFile)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1"}]})");
    write("/wallets/w1/wallet.json", "{}");
    registerApp("/opt/kestrel", "Kestrel");
    ASSERT_TRUE(platform::pathExists(path(bindFile())));
    EXPECT_EQ(disconnectFromTessera(), "success");
    EXPECT_FALSE(platform::pathExists(path(bindFile())));
    EXPECT_EQ(currentWalletId(), "");
    EXPECT_FALSE(isTesseraConnected());
    EXPECT_TRUE(platform::pathExists(path("/wallets/w1/wallet.json")));
    EXPECT_EQ(read("/wallets.json")["wallets"].size(), 1u);

    registerApp("/opt/kestrel", "Kestrel"); // a later start binds the one wallet again
    EXPECT_EQ(currentWalletId(), "w1");
}

TEST_F(TesseraLinkTest, RenamingAfterThePaymailTouchesOnlyThatWallet)
{
    write("/wallets.json", R"({"wallets": [{"id": "w1", "name": "A"}, {"id": "w2", "name": "B", "x": 1}]})");
    {
        platform::LockGuard lock(cv_tessera_wallet::wallet_mutex());
        cv_tessera_wallet::wallet_state().paymail = "@Bob@corvane.app";
    }
    nameWalletAfterPaymail("w2");
    const json registry = read("/wallets.json");
    EXPECT_EQ(registry["wallets"][0]["name"], "A");
    EXPECT_EQ(registry["wallets"][1]["name"], "bob");
    EXPECT_EQ(registry["wallets"][1]["x"], 1);
    cv_tessera_wallet::unload_wallet();
}
