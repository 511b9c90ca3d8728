// kestrel-cli, the headless phone, as scripts use it: one phone per data
// folder, its commands and the events they bring, and an orderly end on a
// signal.
#include "cli_phone.h"
#include "spend_fixture.h"
#include "test_support.h"

#include "calls/phone_fee.h"
#include "platform/files.h"

#include <gtest/gtest.h>

using json = nlohmann::json;

namespace {

class CliOnDevnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        ASSERT_TRUE(devnet.writeConfig(folder.corvane()));
    }

    std::string stderrPath(const char* name) const { return folder.root + "/" + name + ".stderr"; }
    std::string stderrText(const char* name) const
    {
        std::string text;
        platform::readFile(stderrPath(name), text);
        return text;
    }

    // The price the service publishes for alias, as a caller reads it.
    int publishedFee(const std::string& alias) const
    {
        devnet.useConfig();
        return kestrel::fetchPhoneFeeRecord(alias).feePerSecond;
    }

    void TearDown() override { clearFault(); }

    void clearFault()
    {
        if (faultId.empty()) return;
        long status = 0;
        devnet.control("DELETE", "/control/faults/" + faultId, nullptr, &status);
        EXPECT_EQ(status, 200);
        faultId.clear();
    }

    Devnet devnet;
    TempDataFolder folder;
    std::string faultId;
};

} // namespace

TEST_F(CliOnDevnet, OnePhonePerDataFolder)
{
    CliPhone first;
    ASSERT_TRUE(first.start(folder.root, stderrPath("first")));
    const json ready = first.waitForEvent("ready");
    ASSERT_TRUE(ready.is_object()) << stderrText("first");
    EXPECT_EQ(ready["version"], "0.003");
    EXPECT_EQ(ready["data_folder"], folder.corvane());
    EXPECT_TRUE(ready["t"].is_number_integer());

    CliPhone second;
    ASSERT_TRUE(second.start(folder.root, stderrPath("second")));
    EXPECT_EQ(second.wait(), 0);
    EXPECT_TRUE(second.events.empty());
    EXPECT_NE(stderrText("second").find("another phone runs on the data folder " + folder.corvane()), std::string::npos)
        << stderrText("second");

    TempDataFolder elsewhere;
    ASSERT_TRUE(devnet.writeConfig(elsewhere.corvane()));
    CliPhone beside;
    ASSERT_TRUE(beside.start(elsewhere.root, elsewhere.root + "/stderr"));
    EXPECT_TRUE(beside.waitForEvent("ready").is_object());
    beside.send("quit");
    EXPECT_EQ(beside.wait(), 0);

    first.send("quit");
    EXPECT_EQ(first.wait(), 0);
}

TEST_F(CliOnDevnet, ConnectStatusFeeAndQuit)
{
    const PhoneWallet wallet = makePhoneWallet(devnet, "cli", folder.root);
    ASSERT_FALSE(devnet.fund(wallet.receive, {20000}).empty());

    CliPhone phone;
    ASSERT_TRUE(phone.start(folder.root, stderrPath("phone")));
    ASSERT_TRUE(phone.waitForEvent("ready").is_object()) << stderrText("phone");
    phone.send("connect");
    EXPECT_TRUE(phone.waitForEvent("connection", {{"connected", true}, {"handle", wallet.alias}}).is_object())
        << stderrText("phone");
    EXPECT_TRUE(phone
                    .waitForEvent("status", {{"text", "Calls will divert to your answer-phone after ten rings."},
                                             {"state", "Idle"}})
                    .is_object());
    const json balance = phone.waitFor(
        [](const json& e) {
            return e.value("event", "") == "balance" && e.value("text", "").ends_with("   20000 sats");
        },
        90000); // a slow chain API answer costs a backoff of eight seconds
    EXPECT_TRUE(balance.is_object());

    phone.send("fee 5");
    EXPECT_TRUE(phone.waitForEvent("status", {{"text", "Callers pay 5 sat/s."}}).is_object());
    EXPECT_EQ(publishedFee(wallet.alias), 5);
    phone.send("fee 101");
    EXPECT_TRUE(phone.waitForEvent("error").is_object());
    phone.send("answerphone on");
    EXPECT_TRUE(phone.waitForEvent("status", {{"text", "Calls will divert to your answer-phone after three rings."}})
                    .is_object());
    phone.send("status");
    const json snapshot = phone.waitForEvent("snapshot");
    ASSERT_TRUE(snapshot.is_object());
    EXPECT_EQ(snapshot["state"], "Idle");
    EXPECT_EQ(snapshot["handle"], wallet.alias);
    EXPECT_EQ(snapshot["connected"], true);
    EXPECT_EQ(snapshot["answerphone"], true);
    EXPECT_EQ(snapshot["fee"], 5);
    EXPECT_TRUE(snapshot["balance"].get<std::string>().ends_with("20000 sats"));

    phone.send("disconnect");
    EXPECT_TRUE(phone.waitForEvent("status", {{"text", "Tessera closed."}}).is_object());
    EXPECT_TRUE(phone.waitForEvent("connection", {{"connected", false}}).is_object());
    phone.send("quit");
    EXPECT_EQ(phone.wait(), 0);
    for (const json& e : phone.events) {
        ASSERT_TRUE(e.is_object()) << "a line that is not a JSON object";
        EXPECT_TRUE(e["t"].is_number_integer()) << e.dump();
    }
}

TEST_F(CliOnDevnet, ASignalEndsThePhoneInOrder)
{
    for (int sig : {SIGTERM, SIGINT}) {
        CliPhone phone;
        ASSERT_TRUE(phone.start(folder.root, stderrPath("phone")));
        ASSERT_TRUE(phone.waitForEvent("ready").is_object()) << stderrText("phone");
        phone.signal(sig);
        EXPECT_EQ(phone.wait(), 0) << sig;
        std::string settings;
        ASSERT_TRUE(platform::readFile(folder.corvane() + "/cphone/phone.json", settings)) << sig;
        EXPECT_TRUE(json::parse(settings, nullptr, false).is_object()) << settings;
        // The next phone on the folder starts: the first one let go of it.
    }
}

// The phone record follows the price: a refused publication says so, and the
// phone's next start publishes what the service does not have yet.
TEST_F(CliOnDevnet, PriceReachesThePaymailHost)
{
    const PhoneWallet wallet = makePhoneWallet(devnet, "price", folder.root);
    const auto startConnected = [&](CliPhone& phone) {
        ASSERT_TRUE(phone.start(folder.root, stderrPath("phone")));
        phone.send("connect");
        ASSERT_TRUE(phone.waitForEvent("connection", {{"connected", true}, {"handle", wallet.alias}}).is_object())
            << phone.transcript() << stderrText("phone");
    };
    {
        CliPhone phone;
        startConnected(phone);
        EXPECT_EQ(publishedFee(wallet.alias), 1);
        phone.send("fee 4");
        EXPECT_TRUE(phone.waitForEvent("status", {{"text", "Callers pay 4 sat/s."}}).is_object()) << phone.transcript();
        EXPECT_EQ(publishedFee(wallet.alias), 4);

        const json fault = devnet.control("POST", "/control/fault",
                                          {{"host", "service"},
                                           {"path", "/api/paymail/phone"},
                                           {"kind", "status"},
                                           {"status", 500},
                                           {"count", "always"}});
        ASSERT_TRUE(fault.is_object() && fault.contains("id")) << fault.dump();
        faultId = fault["id"].is_string() ? fault["id"].get<std::string>() : fault["id"].dump();
        phone.send("fee 3");
        EXPECT_TRUE(phone.waitForEvent("status", {{"text", "The paymail host has not taken the fee yet."}}).is_object())
            << phone.transcript();
        phone.send("quit");
        EXPECT_EQ(phone.wait(), 0);
    }
    {
        CliPhone phone;
        startConnected(phone);
        EXPECT_TRUE(phone.waitForEvent("status", {{"text", "The paymail host has not taken the fee yet."}}).is_object())
            << phone.transcript();
        EXPECT_EQ(publishedFee(wallet.alias), 4);
        phone.send("quit");
        EXPECT_EQ(phone.wait(), 0);
    }
    clearFault();
    {
        CliPhone phone;
        startConnected(phone);
        EXPECT_TRUE(phone.waitForEvent("status", {{"text", "Callers pay 3 sat/s."}}).is_object()) << phone.transcript();
        EXPECT_EQ(publishedFee(wallet.alias), 3);
        phone.send("quit");
        EXPECT_EQ(phone.wait(), 0);
    }
}
