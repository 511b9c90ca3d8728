// Paymail resolution against the devnet: handles on the service domain (the
// service's address API, then a service instance on this machine when one is
// configured), legacy
// addresses, paymails on the external host over the P2P and the basic
// destination, the paying transaction delivered back to that host, and the
// replies that must be refused. The devnet plays extpay.test; its capability
// document is shared by every test here, so this file's tests run one at a
// time (see CMakeLists.txt).
#include "test_support.h"
#include "spend_fixture.h"

#include "https_test_server.h"
#include "services/paymail_claim.h"
#include "services/paymail_resolution.h"
#include "wallet/spend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

std::string upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class ResolutionOnDevnet : public SpendOnDevnet {
protected:
    std::string domain;
    std::string sender; // the own paymail a paymail host is told

    void SetUp() override
    {
        SpendOnDevnet::SetUp();
        domain = platform::config().service_domain;
        sender = freshAlias("payer") + "@" + domain;
    }

    // What the external host publishes for alias.
    json external(const std::string& alias) const { return devnet.control("GET", "/control/external/alias/" + alias); }

    // Registers alias on the service with address; answers the entry.
    json registerAlias(const std::string& alias, const std::string& address, const std::string& pubkey = "")
    {
        json fields = {{"address", address}};
        if (!pubkey.empty()) fields["pubkey"] = pubkey;
        long status = 0;
        const json entry = devnet.registerAlias(alias, fields, &status);
        EXPECT_EQ(status, 200) << entry.dump();
        return entry;
    }

    // Makes the external host answer a path with body (JSON or text) once, or always.
    void externalFault(const std::string& path, const json& body, bool always = false, int status = 200)
    {
        json fault = {
            {"host", "external_paymail"}, {"path", path}, {"kind", "body"}, {"body", body}, {"status", status}};
        if (always) fault["count"] = "always";
        addFault(fault);
    }

    size_t requestCount(const std::string& method, const std::string& path) const
    {
        size_t n = 0;
        for (const json& r : requests(path))
            if (r.value("method", "") == method) ++n;
        return n;
    }
};

} // namespace

TEST_F(ResolutionOnDevnet, ServiceHandlesAndLegacyAddresses)
{
    const std::string alias = freshAlias("callee");
    const std::string address = createTesseraWallet("callee").receive;
    registerAlias(alias, address);

    std::string error;
    EXPECT_EQ(kestrel::resolveRecipient("  $" + upper(alias) + "@" + domain + " ", sender, error), address);
    EXPECT_EQ(error, "");
    EXPECT_EQ(kestrel::resolveRecipient(alias, sender, error), address);

    const std::string unknown = freshAlias("nobody");
    EXPECT_EQ(kestrel::resolveRecipient(unknown, sender, error), "");
    EXPECT_EQ(error, "could not resolve " + unknown + "@" + domain);

    // 34 characters starting with "1" that are no address: a handle, kept as typed.
    const std::string notAddress = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMX";
    EXPECT_EQ(kestrel::resolveRecipient(notAddress, sender, error), "");
    EXPECT_EQ(error, "could not resolve " + notAddress + "@" + domain);

    // A name no alias can have is not sent anywhere (whatever a URL parser
    // would make of these, the path would start with the prefix below).
    const std::string oddPrefix = "/api/bsvalias/address/zq";
    const size_t odd = requests(oddPrefix).size();
    for (const std::string typed : {"zq/../zqx", "zq smith", "zq?x=1", "zq#x"}) {
        EXPECT_EQ(kestrel::resolveRecipient(typed, sender, error), "") << typed;
        EXPECT_EQ(error, "could not resolve " + typed + "@" + domain) << typed;
    }
    EXPECT_EQ(requests(oddPrefix).size(), odd);

    const std::string legacyPrefix = "/api/bsvalias/address/1BgGZ9";
    const size_t before = requests(legacyPrefix).size();
    EXPECT_EQ(kestrel::resolveRecipient(" 1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", sender, error),
              "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(requests(legacyPrefix).size(), before); // no request for an address
}

TEST_F(ResolutionOnDevnet, HandlesFromTheLocalRegistryNeedNoRequest)
{
    // A name this machine's registry knows, and the service does not.
    const std::string alias = freshAlias("neighbour");
    const std::string address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
    const json registry = {{"names", {{alias, {{"pubkey", std::string(66, '2')}, {"address", address}}}}}};
    ASSERT_TRUE(platform::replaceFileAtomically(kestrel::paymailRegistryPath(), registry.dump()));
    std::string error;
    EXPECT_EQ(kestrel::resolveRecipient("$" + upper(alias), sender, error), address) << error;
    EXPECT_EQ(requests("/api/bsvalias/address/" + alias).size(), 0u);

    // An entry without a valid address falls through to the service.
    const std::string other = freshAlias("neighbour");
    const std::string served = createTesseraWallet("served").receive;
    registerAlias(other, served);
    const json broken = {{"names", {{other, {{"pubkey", std::string(66, '2')}, {"address", "1nope"}}}}}};
    ASSERT_TRUE(platform::replaceFileAtomically(kestrel::paymailRegistryPath(), broken.dump()));
    EXPECT_EQ(kestrel::resolveRecipient(other, sender, error), served) << error;
    EXPECT_EQ(requests("/api/bsvalias/address/" + other).size(), 1u);
}

TEST_F(ResolutionOnDevnet, HandlesFallBackToAServiceOnThisMachine)
{
    const std::string alias = freshAlias("local");
    const std::string address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
    // The public service does not know the alias; the local instance does.
    HttpsTestServer local;
    std::atomic<int> asked {0};
    local.http.Get(R"(/api/bsvalias/address/(.+))", [&](const httplib::Request& request, httplib::Response& response) {
        ++asked;
        if (request.matches[1] == alias + "@" + domain)
            response.set_content(json {{"address", address}, {"handle", alias}}.dump(), "application/json");
        else
            response.status = 404;
    });
    try {
        local.start(25443);
    } catch (const std::exception&) {
        GTEST_SKIP() << "port 25443 is taken on this machine";
    }
    std::string error;
    // Its certificate is not checked, so any local process could answer:
    // asked only when the configuration says this machine runs one.
    EXPECT_EQ(kestrel::resolveRecipient(alias, sender, error), "");
    EXPECT_EQ(error, "could not resolve " + alias + "@" + domain);
    EXPECT_EQ(asked, 0);
    platform::Config values = platform::config();
    values.local_service = true;
    platform::setConfig(values);
    EXPECT_EQ(kestrel::resolveRecipient(alias, sender, error), address) << error;
    EXPECT_EQ(kestrel::resolveRecipient(freshAlias("unknown"), sender, error), "");
}

TEST_F(ResolutionOnDevnet, ExternalPaymailOverP2pLeavesADelivery)
{
    const std::string alias = freshAlias("ext");
    const json published = external(alias);
    const size_t pending = w::pending_delivery_count();
    std::string error;
    EXPECT_EQ(kestrel::resolveRecipient(" @" + upper(alias) + "@ExtPay.test", sender, error), published["address"])
        << error;
    EXPECT_EQ(requestCount("POST", "/api/p2p-destination/" + alias), 1u);
    EXPECT_EQ(requestCount("POST", "/api/payment-destination/" + alias), 0u);
    EXPECT_EQ(w::pending_delivery_count(), pending + 1);
}

TEST_F(ResolutionOnDevnet, ExternalPaymailFallsBackToTheBasicDestination)
{
    const std::string alias = freshAlias("basic");
    externalFault("/api/p2p-destination/" + alias, {{"code", 500}, {"message", "down"}}, false, 500);
    const size_t pending = w::pending_delivery_count();
    std::string error;
    EXPECT_EQ(kestrel::resolveRecipient(alias + "@extpay.test", sender, error), external(alias)["address"]) << error;
    EXPECT_EQ(requestCount("POST", "/api/payment-destination/" + alias), 1u);
    EXPECT_EQ(w::pending_delivery_count(), pending); // no reference, nothing to deliver
}

TEST_F(ResolutionOnDevnet, PaymentReachesTheExternalHost)
{
    fund({5000});
    std::string error;
    const std::string alias = freshAlias("shop");
    const std::string address = kestrel::resolveRecipient(alias + "@extpay.test", sender, error);
    ASSERT_EQ(address, external(alias)["address"]) << error;

    const std::string result = w::spend(address, 1, "");
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    const std::string txid = txidOf(result);
    ASSERT_TRUE(w::wait_for_background_posts(15000));

    const json mine = devnet.deliveryFor(alias);
    ASSERT_TRUE(mine.is_object()) << "nothing delivered for " << alias;
    EXPECT_EQ(mine["txid"], txid);
    EXPECT_EQ(mine["accepted"], true) << mine.dump();
    EXPECT_EQ(mine["signatureValid"], true);
    EXPECT_EQ(mine["metadata"]["sender"], sender);
    EXPECT_EQ(mine["metadata"]["pubkey"], w::wallet_view().identity_pub);
}

// The replies of tests/data/paymail-replies.json for 1 satoshi, given by the
// external host to the P2P destination request.
TEST_F(ResolutionOnDevnet, DestinationRepliesFromTheTable)
{
    std::ifstream file(std::string(KESTREL_TEST_DATA) + "/paymail-replies.json");
    const json cases = json::parse(file, nullptr, false);
    ASSERT_TRUE(cases.is_object());
    size_t tried = 0;
    for (const json& c : cases["replies"]) {
        if (c["expected"] != 1) continue;
        const std::string name = c["name"];
        const std::string alias = freshAlias("reply");
        externalFault("/api/p2p-destination/" + alias, c.contains("text") ? c["text"] : c["reply"]);
        std::string error;
        const std::string address = kestrel::resolveRecipient(alias + "@extpay.test", sender, error);
        EXPECT_EQ(error, c["error"]) << name;
        EXPECT_EQ(address, c.value("address", "")) << name;
        ++tried;
    }
    EXPECT_GT(tried, 20u);
}

// Capability documents whose URLs point elsewhere: such a URL counts as absent.
TEST_F(ResolutionOnDevnet, CapabilityUrlsOffTheHostAreIgnored)
{
    const std::string good = "https://extpay.test/api/payment-destination/{alias}@{domain.tld}";
    const struct {
        const char* name;
        std::string p2p;
    } cases[] = {
        {"another host", "https://other.test/api/p2p-destination/{alias}@{domain.tld}"},
        {"an explicit port", "https://extpay.test:443/api/p2p-destination/{alias}@{domain.tld}"},
        {"userinfo", "https://user@extpay.test/api/p2p-destination/{alias}@{domain.tld}"},
        {"plain http", "http://extpay.test/api/p2p-destination/{alias}@{domain.tld}"},
    };
    for (const auto& c : cases) {
        const std::string alias = freshAlias("caps");
        const json document = {{"bsvalias", "1.0"},
                               {"capabilities", {{"2a40af698840", c.p2p}, {"paymentDestination", good}}}};
        externalFault("/.well-known/bsvalias", document);
        std::string error;
        EXPECT_EQ(kestrel::resolveRecipient(alias + "@extpay.test", sender, error), external(alias)["address"])
            << c.name << ": " << error;
        EXPECT_EQ(requestCount("POST", "/api/p2p-destination/" + alias), 0u) << c.name;
        EXPECT_EQ(requestCount("POST", "/api/payment-destination/" + alias), 1u) << c.name;

        // Without the basic destination nothing is left to ask.
        const std::string second = freshAlias("caps");
        externalFault("/.well-known/bsvalias", {{"capabilities", {{"2a40af698840", c.p2p}}}});
        EXPECT_EQ(kestrel::resolveRecipient(second + "@extpay.test", sender, error), "") << c.name;
        EXPECT_EQ(error, "could not resolve " + second + "@extpay.test") << c.name;
    }
    std::string error;
    for (const json& document :
         {json {{"capabilities", json::object()}}, json {{"capabilities", "x"}}, json::array()}) {
        externalFault("/.well-known/bsvalias", document);
        EXPECT_EQ(kestrel::resolveRecipient("carol@extpay.test", sender, error), "");
        EXPECT_EQ(error, "could not resolve carol@extpay.test") << document.dump();
    }
}

TEST_F(ResolutionOnDevnet, UnreachablePaymailDomain)
{
    std::string error;
    EXPECT_EQ(kestrel::resolveRecipient("bob@nowhere.invalid", sender, error), "");
    EXPECT_EQ(error, "could not resolve bob@nowhere.invalid");
}
