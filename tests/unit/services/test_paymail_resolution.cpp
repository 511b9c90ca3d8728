// Paymail resolution without a network: the recipient text, the paymail
// syntax, the capability URL checks, payment-destination replies, the
// errors that need no request, and the wallet contacts.
#include "services/paymail_resolution.h"

#include "../wallet/wallet_files.h"
#include "platform/config.h"
#include "wallet/address.h"
#include "wallet/encoding.h"

#include <gtest/gtest.h>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

const std::string kHash = "89abcdefabbaabbaabbaabbaabbaabbaabbaabba";
const std::string kP2pkh = "76a914" + kHash + "88ac";
const std::string kP2sh = "a914" + kHash + "87";

std::string addressOfHash(const std::string& hash)
{
    return w::address_from_hash160(w::hex_decode(hash));
}

} // namespace

TEST(Recipient, Normalisation)
{
    const struct {
        const char* typed;
        const char* normal;
    } cases[] = {
        {"  $Alice@corvane.app ", "alice"},
        {"\t@@$ Bob \r\n", "bob"},
        {"Carol@Example.COM", "carol@example.com"},
        {"dave@corvane.app.evil", "dave@corvane.app.evil"},
        {"erin@other@corvane.app", "erin@other@corvane.app"},
        {"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"},
        {"$1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH\n", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"},
        {"1Short", "1short"},
        {" @$ ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(normalizeRecipient(c.typed), c.normal) << c.typed;
}

TEST(Recipient, PaymailSyntax)
{
    EXPECT_TRUE(isValidPaymailAlias("a"));
    EXPECT_TRUE(isValidPaymailAlias("Bob+tag-1.x_y"));
    EXPECT_TRUE(isValidPaymailAlias(std::string(64, 'a')));
    EXPECT_FALSE(isValidPaymailAlias(""));
    EXPECT_FALSE(isValidPaymailAlias(std::string(65, 'a')));
    for (const char* alias : {"bob smith", "bob/x", "bob%40", "bob@x", "bøb"})
        EXPECT_FALSE(isValidPaymailAlias(alias)) << alias;

    EXPECT_TRUE(isValidPaymailDomain("extpay.test"));
    for (const char* domain : {"ab", "localhost", ".a.com", "a.com.", "a..com", "a.com:443", "a_b.com"})
        EXPECT_FALSE(isValidPaymailDomain(domain)) << domain;
}

TEST(Recipient, ErrorsThatNeedNoRequest)
{
    TempDataFolder temp;
    w::unload_wallet();
    w::set_bound_wallet_id("");
    std::string error;
    EXPECT_EQ(resolveRecipient(" \t@$ ", "me@corvane.app", error), "");
    EXPECT_EQ(error, "enter a handle, paymail, or 1-address.");
    for (const char* bad : {"bob smith@extpay.test", "bob@localhost", "x@@extpay.test", "bob@a..test", "bob@"}) {
        EXPECT_EQ(resolveRecipient(bad, "", error), "") << bad;
        EXPECT_EQ(error, "could not resolve that paymail") << bad;
    }
    EXPECT_EQ(resolveRecipient("alice", "", error), "");
    EXPECT_EQ(error, "no Tessera wallet. Create first.");
    EXPECT_EQ(resolveServiceHandle("  ", error), "");
    EXPECT_EQ(error, "enter a handle, paymail, or 1-address.");
    // A valid legacy address needs neither wallet nor network.
    EXPECT_EQ(resolveServiceHandle(" $1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH ", error),
              "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(error, "");
}

TEST(Bsvalias, UrlOnHost)
{
    const struct {
        const char* url;
        bool on;
    } cases[] = {
        {"https://pay.example/api/x", true},
        {"https://pay.example", true},
        {"https://pay.example/", true},
        {"http://pay.example/api", false},
        {"https://pay.example:443/api", false},
        {"https://pay.example:8443/api", false},
        {"https://user@pay.example/api", false},
        {"https://pay.example@evil.example/api", false},
        {"https://evil.example/pay.example", false},
        {"https://pay.example.evil.example/api", false},
        {"https://pay.example?x=/y", false},
        {"https://PAY.example/api", false},
        {"https://", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(urlOnHost(c.url, "pay.example"), c.on) << c.url;
}

TEST(Bsvalias, CapabilityUrl)
{
    const json capabilities = {
        {"p2p", "https://srv.example/p2p/{alias}@{domain.tld}/{alias}"},
        {"domain", "https://pay.example/d/{alias}@{domain.tld}"},
        {"other", "https://elsewhere.example/{alias}@{domain.tld}"},
        {"port", "https://srv.example:8443/{alias}@{domain.tld}"},
        {"userinfo", "https://u:p@srv.example/{alias}@{domain.tld}"},
        {"number", 42},
        {"object", {{"url", "https://srv.example/"}}},
    };
    EXPECT_EQ(capabilityUrl(capabilities, "p2p", "bob", "pay.example", "srv.example"),
              "https://srv.example/p2p/bob@pay.example/bob");
    EXPECT_EQ(capabilityUrl(capabilities, "domain", "bob", "pay.example", "srv.example"),
              "https://pay.example/d/bob@pay.example");
    for (const char* id : {"other", "port", "userinfo", "number", "object", "missing"})
        EXPECT_EQ(capabilityUrl(capabilities, id, "bob", "pay.example", "srv.example"), "") << id;
    EXPECT_EQ(capabilityUrl(json::array(), "p2p", "bob", "pay.example", "srv.example"), "");
}

// Replies a paymail host may give, for an expected total of 1 satoshi (and 5
// where the total matters).
TEST(Bsvalias, PaymentOutputs)
{
    const std::string address = addressOfHash(kHash);
    const std::string upper = "76A914" + std::string("89ABCDEFABBAABBAABBAABBAABBAABBAABBAABBA") + "88AC";
    auto outputsOf = [](int n, int sats, const std::string& script) {
        json list = json::array();
        for (int i = 0; i < n; ++i) list.push_back({{"script", script}, {"satoshis", sats}});
        return json {{"outputs", list}, {"reference", "r1"}}.dump();
    };
    const struct {
        const char* name;
        std::string body;
        int64_t expected;
        std::string error; // empty: one output of `expected` to address
    } cases[] = {
        {"one P2P output", outputsOf(1, 1, kP2pkh), 1, ""},
        {"upper-case hex", outputsOf(1, 1, upper), 1, ""},
        {"two outputs of 1", outputsOf(2, 1, kP2pkh), 1, kDifferentAmount},
        {"output of 2", outputsOf(1, 2, kP2pkh), 1, kDifferentAmount},
        {"output of 0", outputsOf(1, 0, kP2pkh), 1, kDifferentAmount},
        {"negative", outputsOf(1, -1, kP2pkh), 1, kDifferentAmount},
        {"short of the total", outputsOf(1, 1, kP2pkh), 5, kDifferentAmount},
        {"huge", R"({"outputs":[{"script":")" + kP2pkh + R"(","satoshis":18446744073709551615}]})", 1,
         kDifferentAmount},
        {"fractional", R"({"outputs":[{"script":")" + kP2pkh + R"(","satoshis":1.0}]})", 1, kDifferentAmount},
        {"amount as text", R"({"outputs":[{"script":")" + kP2pkh + R"(","satoshis":"1"}]})", 1, kDifferentAmount},
        {"missing amount", R"({"outputs":[{"script":")" + kP2pkh + R"("}]})", 1, kDifferentAmount},
        {"P2SH output", outputsOf(1, 1, kP2sh), 1, kNoPaymentAddress},
        {"script not hex", outputsOf(1, 1, "76a914zz"), 1, kNoPaymentAddress},
        {"P2PKH with a byte more", outputsOf(1, 1, kP2pkh + "00"), 1, kNoPaymentAddress},
        {"entry not an object", R"({"outputs":["76a9"]})", 1, kNoPaymentAddress},
        {"empty list", R"({"outputs":[]})", 1, kNoPaymentAddress},
        {"null list", R"({"outputs":null,"output":")" + kP2pkh + R"("})", 1, kNoPaymentAddress},
        {"list is an object", R"({"outputs":{}})", 1, kNoPaymentAddress},
        {"20 outputs", outputsOf(20, 1, kP2pkh), 20, ""},
        {"21 outputs", outputsOf(21, 1, kP2pkh), 21, kTooManyOutputs},
        {"basic output", json {{"output", kP2pkh}}.dump(), 1, ""},
        {"basic P2SH output", json {{"output", kP2sh}}.dump(), 1, kNoPaymentAddress},
        {"address", json {{"address", address}}.dump(), 1, ""},
        {"bad address", json {{"address", "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMX"}}.dump(), 1, kNoPaymentAddress},
        {"output not text falls to address", json {{"output", 5}, {"address", address}}.dump(), 1, ""},
        {"nothing", "{}", 1, kNoPaymentAddress},
        {"array", "[]", 1, kNoPaymentAddress},
        {"not JSON", "<html>", 1, kNoPaymentAddress},
        {"empty", "", 1, kNoPaymentAddress},
    };
    for (const auto& c : cases) {
        std::vector<PaymentOutput> outputs;
        std::string error = "stale";
        const bool ok = parsePaymentOutputs(c.body, c.expected, outputs, error);
        EXPECT_EQ(ok, c.error.empty()) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        if (!c.error.empty()) {
            EXPECT_TRUE(outputs.empty()) << c.name;
            continue;
        }
        int64_t total = 0;
        for (const PaymentOutput& output : outputs) {
            EXPECT_EQ(output.address, address) << c.name;
            total += output.satoshis;
        }
        EXPECT_EQ(total, c.expected) << c.name;
    }
}

class Contacts : public WalletFiles {};

TEST_F(Contacts, SaveReplaceRemove)
{
    writeWallet(phraseWallet());
    std::string error;
    EXPECT_EQ(saveWalletContact(" @Bob@corvane.app ", "first"), "success");
    EXPECT_EQ(saveWalletContact("carol@extpay.test", "  carol \r\n"), "success");
    EXPECT_EQ(saveWalletContact("$BOB", "second"), "success");
    const std::string longNote(100, 'n');
    EXPECT_EQ(saveWalletContact("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", longNote), "success");
    EXPECT_EQ(saveWalletContact(" @ ", "x"), "error: enter a handle, paymail, or 1-address.");

    std::vector<WalletContact> list = listWalletContacts(error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].dest, "bob");
    EXPECT_EQ(list[0].note, "second");
    EXPECT_EQ(list[1].dest, "carol@extpay.test");
    EXPECT_EQ(list[1].note, "carol");
    EXPECT_EQ(list[2].dest, "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(list[2].note, longNote.substr(0, 80));

    // What was saved is what the next load reads.
    w::unload_wallet();
    const json file = json::parse(readWallet());
    ASSERT_EQ(file["contacts"].size(), 3u);
    EXPECT_EQ(file["contacts"][0], (json {{"dest", "bob"}, {"note", "second"}}));
    list = listWalletContacts(error);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].note, "carol");

    EXPECT_EQ(removeWalletContact("Carol@ExtPay.test"), "success");
    EXPECT_EQ(removeWalletContact("carol@extpay.test"), "error: that contact is not in the list.");
    w::unload_wallet();
    list = listWalletContacts(error);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].dest, "bob");
    EXPECT_EQ(list[1].dest, "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
}

TEST_F(Contacts, NotesAreCutOnCharacterBoundaries)
{
    EXPECT_EQ(contactNote(std::string(79, 'a') + "\xc3\xa9z"), std::string(79, 'a')); // é would straddle byte 80
    EXPECT_EQ(contactNote(std::string(78, 'a') + "\xc3\xa9z"), std::string(78, 'a') + "\xc3\xa9");
    EXPECT_EQ(contactNote(" \t note \n"), "note");
}

TEST_F(Contacts, NoWallet)
{
    std::string error;
    EXPECT_TRUE(listWalletContacts(error).empty());
    EXPECT_EQ(error, "error: no Tessera wallet. Create first.");
    EXPECT_EQ(saveWalletContact("bob", "x"), "error: no Tessera wallet. Create first.");
    EXPECT_EQ(removeWalletContact("bob"), "error: no Tessera wallet. Create first.");
}

TEST_F(Contacts, FailedSaveKeepsTheListAsOnDisk)
{
    writeWallet(phraseWallet());
    std::string error;
    ASSERT_EQ(listWalletContacts(error).size(), 0u);
    // Tessera locks the wallet meanwhile: nothing can be written.
    writeWallet(R"({"lock": "CV-LOCK1", "data": "x"})");
    EXPECT_EQ(saveWalletContact("bob", "x"), "error: could not save the wallet.");
    EXPECT_TRUE(listWalletContacts(error).empty());
}
