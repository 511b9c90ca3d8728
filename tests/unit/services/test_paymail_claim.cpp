// The own paymail: alias normalisation, the local paymail registry's rules
// (own name, quotas by host role, taken names, carried-over values, avatar
// and ordinals address, the fallback file), the claim message, and the claim
// itself against a local HTTPS server playing the service's claim endpoint.
#include "wallet/handle_forms.h"
#include "services/paymail_claim.h"

#include "event_recorder.h"
#include "https_test_server.h"
#include "services/identity.h"
#include "services/tessera_link.h"
#include "wallet/keys.h"
#include "wallet/wallet_files.h"

#include <gtest/gtest.h>

#include <mutex>
#include <unistd.h>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

// The identity key of kPhrase (m/44'/236'/100'/0/0), as @bsv/sdk derives it.
const std::string kIdentityPub = "038130bb72791d1d196c0c4c5bc971f1317f6f810b6f8381fd66bd0943926e4578";
const std::string kOtherKey = "02" + std::string(64, 'b');
const std::string kAddress = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";
const std::string kOrdAddress = "1111111111111111111114oLvT2";

json readRegistry()
{
    std::string text;
    if (!platform::readFile(paymailRegistryPath(), text)) return json(json::value_t::discarded);
    return json::parse(text, nullptr, false);
}

void writeRegistry(const json& registry)
{
    ASSERT_TRUE(platform::replaceFileAtomically(paymailRegistryPath(), registry.dump(2)));
}

// The own alias and identity key as a loaded wallet would hold them.
void setOwn(const std::string& alias, const std::string& identityPub, const std::string& avatarOrigin = "")
{
    platform::LockGuard lock(w::wallet_mutex());
    w::wallet_state().paymail = alias;
    w::wallet_state().identity_pub = identityPub;
    w::wallet_state().ord_avatar = {};
    w::wallet_state().ord_avatar.origin = avatarOrigin;
}

class PaymailRegistry : public WalletFiles {};

} // namespace

TEST(PaymailAlias, NormalisationAndNameKeys)
{
    const struct {
        std::string text, alias, key;
    } cases[] = {
        {"@Bob@corvane.app", "bob", "bob"},
        {"$ Alice ", "alice", "alice"},
        {"@@$carol\r\n", "carol", "carol"},
        {"Dave Smith@x.test", "dave smith", "davesmith"},
        {"e.f_g-h", "e.f_g-h", "e.f_g-h"},
        {"J\xC3\xBCrgen!", "j\xC3\xBCrgen!", "jrgen"},
        {"", "", ""},
        {"@corvane.app", "corvane.app", "corvane.app"}, // only leading "@" are stripped
        {" @$ \r\n", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(w::alias_form(c.text), c.alias) << c.text;
        EXPECT_EQ(w::registry_key_form(c.text), c.key) << c.text;
    }
}

TEST(PaymailClaim, MessageText)
{
    const struct {
        std::string ord, bnPub, bnAddress, message;
    } cases[] = {
        {"", "", "", "CV-PAYMAIL-CLAIM|bob|02ab|1Addr|av|1700000000"},
        {"1Ord", "", "", "CV-PAYMAIL-CLAIM|bob|02ab|1Addr|av|1Ord|1700000000"},
        {"", "03bn", "1Bn", "CV-PAYMAIL-CLAIM|bob|02ab|1Addr|av||03bn|1Bn|1700000000"},
        {"1Ord", "03bn", "1Bn", "CV-PAYMAIL-CLAIM|bob|02ab|1Addr|av|1Ord|03bn|1Bn|1700000000"},
        {"", "03bn", "", "CV-PAYMAIL-CLAIM|bob|02ab|1Addr|av|1700000000"}, // half a BN key counts as none
    };
    for (const auto& c : cases)
        EXPECT_EQ(claimMessage("bob", "02ab", "1Addr", "av", c.ord, c.bnPub, c.bnAddress, 1700000000), c.message);
    EXPECT_EQ(claimMessage("bob", "02ab", "", "", "", "", "", 5), "CV-PAYMAIL-CLAIM|bob|02ab|||5");
    EXPECT_EQ(claimFingerprint("bob", "1Addr", "av", "1Ord"), "bob|1Addr|1Ord|av|bn1");
}

TEST_F(PaymailRegistry, OwnAliasPrefersSelfOnlyWhenItIsOurs)
{
    writeRegistry({{"names",
                    {{"zed", {{"pubkey", kIdentityPub}}},
                     {"mine", {{"pubkey", "038130BB72791D1D196C0C4C5BC971F1317F6F810B6F8381FD66BD0943926E4578"}}},
                     {"theirs", {{"pubkey", kOtherKey}}},
                     {"broken", "not an object"}}},
                   {"self", "theirs"}});
    EXPECT_EQ(findOwnAlias(kIdentityPub), "mine"); // self belongs to another key: first own name
    EXPECT_EQ(findOwnAlias(kOtherKey), "theirs");

    json registry = readRegistry();
    registry["self"] = "zed";
    writeRegistry(registry);
    EXPECT_EQ(findOwnAlias(kIdentityPub), "zed");
    EXPECT_EQ(findOwnAlias("02" + std::string(64, 'c')), "");
    EXPECT_EQ(findOwnAlias(""), "");
}

TEST_F(PaymailRegistry, QuotaByHostRole)
{
    const struct {
        const char* role;
        int owned;
        std::string result;
    } cases[] = {
        {nullptr, 10, "paymail quota reached (10 free labels per identity)"},
        {"agent", 10, "paymail quota reached (10 free labels per identity)"},
        {"operator", 9, ""},
        {"dev", 10, ""},
        {"dev", 20, "paymail quota reached (20 free labels per identity)"},
        {"architect", 20, ""},
    };
    for (const auto& c : cases) {
        json registry = {{"names", json::object()}};
        for (int i = 0; i < 20; ++i) {
            const std::string name = "name" + std::to_string(i);
            registry["names"][name] = {{"pubkey", i < c.owned ? kIdentityPub : kOtherKey}};
        }
        if (c.role) registry["host_role"] = c.role;
        writeRegistry(registry);
        setOwn("Newname", kIdentityPub);
        EXPECT_EQ(registerOwnName(kIdentityPub, kAddress), c.result) << (c.role ? c.role : "default") << c.owned;
        EXPECT_EQ(readRegistry()["names"].contains("newname"), c.result.empty());
        // A name the identity already holds is never refused by the quota.
        setOwn("name0", kIdentityPub);
        if (c.owned > 0) {
            EXPECT_EQ(registerOwnName(kIdentityPub, kAddress), "");
        }
    }
    EXPECT_EQ(nameQuota("ARCHITECT"), -1);
    EXPECT_EQ(nameQuota("Dev"), 20);
    EXPECT_EQ(nameQuota("bogus"), 10);
}

TEST_F(PaymailRegistry, RegisteringFailuresAndTakenNames)
{
    writeRegistry({{"names", {{"bob", {{"pubkey", kOtherKey}, {"address", "1Theirs"}}}}}});
    const struct {
        std::string alias, key, result;
    } cases[] = {
        {"", kIdentityPub, kNeedPaymailName},
        {"!!!", kIdentityPub, kNeedPaymailName},
        {"carol", "", kNoTesseraIdentity},
        {"@Bob@corvane.app", kIdentityPub, "bob@corvane.app is already taken"},
    };
    for (const auto& c : cases) {
        setOwn(c.alias, c.key);
        EXPECT_EQ(registerOwnName(c.key, kAddress), c.result) << c.alias;
    }
    EXPECT_EQ(readRegistry()["names"]["bob"]["address"], "1Theirs");
    EXPECT_FALSE(readRegistry().contains("self"));

    // The owner's key in another case is still the owner.
    std::string upper = kOtherKey;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    setOwn("bob", upper);
    EXPECT_EQ(registerOwnName(upper, kAddress), "");
    EXPECT_EQ(readRegistry()["names"]["bob"], (json {{"pubkey", kOtherKey}, {"address", kAddress}}));
    EXPECT_EQ(readRegistry()["self"], "bob");
}

TEST_F(PaymailRegistry, RegisteringCarriesOverOrdinalsAndAvatar)
{
    const struct {
        const char* what;
        json registry;
        json entry;
    } cases[] = {
        {"previous entry",
         {{"names", {{"dan", {{"pubkey", kIdentityPub}, {"ord", "1PrevOrd"}, {"avatar", "prev_0"}, {"x", 1}}}}}},
         {{"pubkey", kIdentityPub}, {"address", kAddress}, {"ord", "1PrevOrd"}, {"avatar", "prev_0"}}},
        {"another own entry",
         {{"names",
           {{"aaa", {{"pubkey", kOtherKey}, {"ord", "1NotOurs"}, {"avatar", "theirs_0"}}},
            {"bbb", {{"pubkey", kIdentityPub}, {"ord", "1OwnOrd"}, {"avatar", "own_0"}}}}}},
         {{"pubkey", kIdentityPub}, {"address", kAddress}, {"ord", "1OwnOrd"}, {"avatar", "own_0"}}},
        {"avatars",
         {{"names", json::object()}, {"avatars", {{kIdentityPub, "kept_0"}, {kOtherKey, "theirs_0"}}}},
         {{"pubkey", kIdentityPub}, {"address", kAddress}, {"avatar", "kept_0"}}},
        {"nothing known",
         {{"names", {{"dan", {{"pubkey", kIdentityPub}, {"address", "1Old"}}}}}},
         {{"pubkey", kIdentityPub}, {"address", kAddress}}},
    };
    for (const auto& c : cases) {
        writeRegistry(c.registry);
        setOwn("Dan", kIdentityPub);
        EXPECT_EQ(registerOwnName(kIdentityPub, kAddress), "") << c.what;
        EXPECT_EQ(readRegistry()["names"]["dan"], c.entry) << c.what;
    }
}

TEST_F(PaymailRegistry, LookupAndHostRole)
{
    writeRegistry({{"names", {{"bob", {{"pubkey", kOtherKey}, {"address", "1BobAddr"}}}, {"odd", "text"}}}});
    EXPECT_EQ(lookupRegistryAddress("@Bob@corvane.app"), "1BobAddr");
    EXPECT_EQ(lookupRegistryAddress("odd"), "");
    EXPECT_EQ(lookupRegistryAddress("nobody"), "");

    const struct {
        std::string role, stored;
    } cases[] = {
        {"Architect", "architect"},
        {"dev", "dev"},
        {"AGENT", "agent"},
        {"operator", "operator"},
        {"default", ""},
        {"root", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        setHostRole("dev");
        setHostRole(c.role);
        EXPECT_EQ(hostRole(), c.stored) << c.role;
        EXPECT_EQ(readRegistry().contains("host_role"), !c.stored.empty()) << c.role;
        EXPECT_EQ(readRegistry()["names"]["bob"]["address"], "1BobAddr"); // the rest is kept
    }
}

TEST_F(PaymailRegistry, AvatarAndOrdinalsAddressOfOwnNames)
{
    writeRegistry({{"names",
                    {{"a", {{"pubkey", kIdentityPub}, {"avatar", "old_0"}}},
                     {"b", {{"pubkey", kIdentityPub}}},
                     {"c", {{"pubkey", kOtherKey}, {"avatar", "theirs_0"}}}}},
                   {"avatars", {{kOtherKey, "theirs_0"}}}});
    setOwn("a", "");
    EXPECT_EQ(syncOwnAvatar(), kNoIdentityPubkey);

    setOwn("a", kIdentityPub, "new_0");
    EXPECT_EQ(syncOwnAvatar(), "");
    json registry = readRegistry();
    EXPECT_EQ(registry["avatars"][kIdentityPub], "new_0");
    EXPECT_EQ(registry["names"]["a"]["avatar"], "new_0");
    EXPECT_EQ(registry["names"]["b"]["avatar"], "new_0");
    EXPECT_EQ(registry["names"]["c"]["avatar"], "theirs_0");

    setOwn("a", kIdentityPub, "");
    EXPECT_EQ(syncOwnAvatar(), "");
    registry = readRegistry();
    EXPECT_FALSE(registry["avatars"].contains(kIdentityPub));
    EXPECT_FALSE(registry["names"]["a"].contains("avatar"));
    EXPECT_EQ(registry["avatars"][kOtherKey], "theirs_0");

    setOwnOrdinalsAddress("1NotAnAddress");
    setOwnOrdinalsAddress("");
    EXPECT_FALSE(readRegistry()["names"]["a"].contains("ordAddress"));
    setOwnOrdinalsAddress(kOrdAddress);
    registry = readRegistry();
    EXPECT_EQ(registry["names"]["a"]["ordAddress"], kOrdAddress);
    EXPECT_EQ(registry["names"]["b"]["ordAddress"], kOrdAddress);
    EXPECT_FALSE(registry["names"]["c"].contains("ordAddress"));
}

TEST_F(PaymailRegistry, UnreadableRegistryAndTheFallbackFile)
{
    platform::makeFolders(temp.corvane());
    ASSERT_TRUE(platform::replaceFileAtomically(paymailRegistryPath(), "[1, 2"));
    EXPECT_EQ(loadPaymailRegistry(), json::object());
    ASSERT_TRUE(platform::replaceFileAtomically(paymailRegistryPath(), "[1, 2]"));
    EXPECT_EQ(loadPaymailRegistry(), json::object());
    ::unlink(paymailRegistryPath().c_str());

    // An older installation kept it under "userinfo" in the program's folder.
    // The working folder is wherever the user happens to be: a file there is
    // never taken.
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof(previous)), nullptr);
    const std::string work = temp.root + "/work";
    const std::string program = temp.root + "/program";
    platform::makeFolders(work + "/userinfo");
    platform::makeFolders(program + "/userinfo");
    const json planted = {{"names", {{"eve", {{"pubkey", kOtherKey}, {"address", "1Mallory"}}}}}, {"self", "eve"}};
    ASSERT_TRUE(platform::replaceFileAtomically(work + "/userinfo/corvane_paymail.json", planted.dump()));
    ASSERT_EQ(::chdir(work.c_str()), 0);
    EXPECT_EQ(lookupRegistryAddress("eve"), "");
    EXPECT_FALSE(platform::pathExists(paymailRegistryPath()));

    const json old = {{"names", {{"eve", {{"pubkey", kOtherKey}, {"address", "1Eve"}}}}}, {"self", "eve"}};
    ASSERT_TRUE(platform::replaceFileAtomically(program + "/userinfo/corvane_paymail.json", old.dump()));
    setLegacyRegistryFolder(program);
    EXPECT_EQ(legacyPaymailRegistryPath(), program + "/userinfo/corvane_paymail.json");
    EXPECT_EQ(lookupRegistryAddress("eve"), "1Eve");
    setLegacyRegistryFolder("");
    ASSERT_EQ(::chdir(previous), 0);
    EXPECT_EQ(readRegistry(), old); // copied into the data folder
    EXPECT_EQ(lookupRegistryAddress("eve"), "1Eve");
    EXPECT_EQ(legacyPaymailRegistryPath(), platform::executableFolder() + "/userinfo/corvane_paymail.json");
}

TEST_F(PaymailRegistry, ResolveTakesTheRegistryNameWhenTheWalletHasNone)
{
    std::string text = phraseWallet();
    text.replace(text.find("alice@corvane.app"), 17, "");
    writeWallet(text);
    ASSERT_TRUE(w::load_wallet());
    writeRegistry(
        {{"names", {{"alice", {{"pubkey", kIdentityPub}}}, {"zoe", {{"pubkey", kOtherKey}}}}}, {"self", "zoe"}});

    std::vector<platform::Event> events;
    {
        EventRecorder recorder;
        resolveOwnPaymail(true);
        events = recorder.all();
    }

    EXPECT_EQ(ownPaymail(), "alice@corvane.app");
    EXPECT_EQ(json::parse(readWallet())["paymail"], "alice"); // the wallet keeps it
    const json registry = readRegistry();
    EXPECT_EQ(registry["self"], "alice");
    EXPECT_EQ(registry["names"]["alice"]["address"], w::wallet_view().receive_address);
    EXPECT_EQ(registry["names"]["alice"]["ordAddress"], w::wallet_view().ord_address);
    EXPECT_EQ(events, std::vector<platform::Event> {walletEvent("tessera", "paymail", {"alice@corvane.app"})});
}

TEST_F(PaymailRegistry, ResolveRegistersTheWalletsOwnAlias)
{
    writeWallet(phraseWallet()); // paymail "alice@corvane.app"
    ASSERT_TRUE(w::load_wallet());
    const std::string before = readWallet();
    resolveOwnPaymail(true);
    EXPECT_EQ(ownAlias(), "alice");
    EXPECT_EQ(readRegistry()["names"]["alice"]["pubkey"], kIdentityPub);
    EXPECT_EQ(readWallet(), before); // the alias came from the wallet: nothing to save

    // Without HD keys nothing is resolved.
    w::unload_wallet();
    resolveOwnPaymail(false);
    EXPECT_EQ(ownAlias(), "");
}

TEST_F(PaymailRegistry, ASecondResolveWritesNothing)
{
    // Every signed record resolves the own paymail; the shared files must not
    // be rewritten each time.
    writeWallet(phraseWallet());
    ASSERT_TRUE(w::load_wallet());
    const std::string wallets = temp.corvane() + "/wallets.json";
    ASSERT_TRUE(platform::replaceFileAtomically(wallets, R"({"wallets": [{"id": "w1", "name": "Main"}]})"));
    resolveOwnPaymail(false);
    const json registry = readRegistry();
    ASSERT_EQ(registry["names"]["alice"]["ordAddress"], w::wallet_view().ord_address);
    std::string text;
    ASSERT_TRUE(platform::readFile(wallets, text));
    ASSERT_EQ(json::parse(text)["wallets"][0]["name"], "alice");

    // Both files compact now: any write would bring back the writer's layout.
    const std::string compactRegistry = registry.dump();
    const std::string compactWallets = json::parse(text).dump();
    ASSERT_TRUE(platform::replaceFileAtomically(paymailRegistryPath(), compactRegistry));
    ASSERT_TRUE(platform::replaceFileAtomically(wallets, compactWallets));
    const std::string walletBefore = readWallet();
    resolveOwnPaymail(false);
    ASSERT_TRUE(platform::readFile(paymailRegistryPath(), text));
    EXPECT_EQ(text, compactRegistry);
    ASSERT_TRUE(platform::readFile(wallets, text));
    EXPECT_EQ(text, compactWallets);
    EXPECT_EQ(readWallet(), walletBefore);
}

namespace {

// The service's claim endpoint: records every body and answers as told.
class ClaimServer : public WalletFiles {
protected:
    HttpsTestServer server;
    std::mutex lock;
    std::vector<json> bodies;
    int status = 200;
    std::string answer = R"({"ok": true})";

    void SetUp() override
    {
        WalletFiles::SetUp();
        forgetClaimFingerprint();
        server.http.Post("/api/paymail/claim", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            bodies.push_back(json::parse(req.body, nullptr, false));
            res.status = status;
            res.set_content(answer, "application/json");
        });
        server.start();
        server.useServer();
        writeWallet(phraseWallet());
        ASSERT_TRUE(w::load_wallet());
    }
    void TearDown() override
    {
        server.stop();
        platform::setConfig({});
        forgetClaimFingerprint();
        WalletFiles::TearDown();
    }
    size_t claims()
    {
        std::lock_guard<std::mutex> guard(lock);
        return bodies.size();
    }
    void answerWith(int newStatus, const std::string& newAnswer)
    {
        std::lock_guard<std::mutex> guard(lock);
        status = newStatus;
        answer = newAnswer;
    }
};

} // namespace

TEST_F(ClaimServer, BodyIsSignedWithTheIdentityAndCarriesTheBnKey)
{
    const std::string address = w::wallet_view().receive_address;
    EXPECT_EQ(claimPaymail("@Alice@corvane.app", kIdentityPub, address, "av_0", ""), "");
    ASSERT_EQ(claims(), 1u);
    const json body = bodies[0];
    EXPECT_EQ(body["alias"], "alice");
    EXPECT_EQ(body["pubkey"], kIdentityPub);
    EXPECT_EQ(body["address"], address);
    EXPECT_EQ(body["avatar"], "av_0");
    EXPECT_FALSE(body.contains("ordAddress"));
    std::string bnPub, bnPriv, bnAddress, error;
    ASSERT_TRUE(w::bn_key(bnPub, bnPriv, bnAddress, error));
    w::wipe_string(bnPriv);
    EXPECT_EQ(body["bnPub"], bnPub);
    EXPECT_EQ(body["bnAddress"], bnAddress);
    ASSERT_TRUE(body["ts"].is_number_integer());
    const std::string message = "CV-PAYMAIL-CLAIM|alice|" + kIdentityPub + "|" + address + "|av_0||" + bnPub + "|" +
                                bnAddress + "|" + std::to_string(body["ts"].get<int64_t>());
    EXPECT_TRUE(verifySignedMessage(message, kIdentityPub, body["sig"]));
}

TEST_F(ClaimServer, FailureTexts)
{
    const struct {
        std::string alias, key;
        int status;
        std::string answer, result;
    } cases[] = {
        {"", kIdentityPub, 200, "{}", kNeedAliasAndPubkey},
        {"alice", "", 200, "{}", kNeedAliasAndPubkey},
        {"alice", kOtherKey, 200, "{}", kIdentityMismatch},
        {"alice", kIdentityPub, 409, R"({"error": "alice@corvane.app is already taken"})",
         "alice@corvane.app is already taken"},
        {"alice", kIdentityPub, 200, R"({"ok": false, "error": "not today"})", "not today"},
        {"alice", kIdentityPub, 200, R"({"ok": false})", kHostRefused},
        {"alice", kIdentityPub, 503, "", "HTTP 503"},
        {"alice", kIdentityPub, 500, R"({"error": ""})", "HTTP 500 \xE2\x80\x93 {\"error\": \"\"}"},
    };
    for (const auto& c : cases) {
        answerWith(c.status, c.answer);
        EXPECT_EQ(claimPaymail(c.alias, c.key, "1Addr", "", ""), c.result) << c.answer;
    }
    w::set_bound_wallet_id("");
    w::unload_wallet();
    EXPECT_EQ(claimPaymail("alice", kIdentityPub, "1Addr", "", ""), w::kHdNotConnected);
}

TEST_F(ClaimServer, SameFingerprintClaimsOnce)
{
    const std::string address = w::wallet_view().receive_address;
    EXPECT_EQ(ensurePaymailClaim("alice", kIdentityPub, address, "av_0", kOrdAddress), "");
    EXPECT_EQ(ensurePaymailClaim("alice", kIdentityPub, address, "av_0", kOrdAddress), "");
    EXPECT_EQ(claims(), 1u);
    EXPECT_EQ(bodies[0]["ordAddress"], kOrdAddress);

    EXPECT_EQ(ensurePaymailClaim("alice", kIdentityPub, address, "av_1", kOrdAddress), ""); // new avatar
    EXPECT_EQ(claims(), 2u);

    // A refused claim is not remembered: the next refresh tries again.
    answerWith(503, "");
    EXPECT_EQ(ensurePaymailClaim("alice", kIdentityPub, address, "av_2", kOrdAddress), "HTTP 503");
    answerWith(200, R"({"ok": true})");
    EXPECT_EQ(ensurePaymailClaim("alice", kIdentityPub, address, "av_2", kOrdAddress), "");
    EXPECT_EQ(claims(), 4u);

    EXPECT_EQ(ensurePaymailClaim("", kIdentityPub, address, "av_3", ""), "");
    EXPECT_EQ(ensurePaymailClaim("alice", "", address, "av_3", ""), "");
    EXPECT_EQ(claims(), 4u);
}
