// Paymail resolution without a network: the recipient text, the paymail
// syntax, the capability URL checks, payment-destination replies, the
// errors that need no request, and the wallet contacts.
#include "wallet/handle_forms.h"
#include "services/paymail_resolution.h"

#include "../wallet/wallet_files.h"
#include "platform/config.h"
#include "wallet/address.h"
#include "wallet/encoding.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

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
    for (const auto& c : cases) EXPECT_EQ(w::recipient_form(c.typed), c.normal) << c.typed;
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

// The replies of tests/data/paymail-replies.json: a body ("reply" as JSON or
// "text"), the amount expected, and the error or the address it gives.
TEST(Bsvalias, PaymentOutputs)
{
    std::ifstream file(std::string(KESTREL_TEST_DATA) + "/paymail-replies.json");
    const json cases = json::parse(file, nullptr, false);
    ASSERT_TRUE(cases.is_object() && cases["replies"].size() > 20);
    EXPECT_EQ(addressOfHash(cases["hash160"]), cases["replies"][0]["address"]);
    for (const json& c : cases["replies"]) {
        const std::string name = c["name"];
        const std::string body = c.contains("text") ? c["text"].get<std::string>() : c["reply"].dump();
        const std::string expectedError = c["error"];
        std::vector<PaymentOutput> outputs;
        std::string error = "stale";
        const bool ok = parsePaymentOutputs(body, c["expected"], outputs, error);
        EXPECT_EQ(ok, expectedError.empty()) << name;
        EXPECT_EQ(error, expectedError) << name;
        if (!ok) {
            EXPECT_TRUE(outputs.empty()) << name;
            continue;
        }
        int64_t total = 0;
        for (const PaymentOutput& output : outputs) {
            EXPECT_EQ(output.address, c["address"]) << name;
            total += output.satoshis;
        }
        EXPECT_EQ(total, c["expected"]) << name;
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
