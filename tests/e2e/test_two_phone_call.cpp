// Two phones on the devnet: alice and bob are kestrel-cli processes in data
// folders of their own, with Tessera wallets made by the stand-in, funded and
// with claimed handles, espeak-ng sentences as microphones and WAV files as
// speakers. The devnet mines a block every few seconds while they talk.
#include "cli_phone.h"
#include "sound.h"
#include "spend_fixture.h"
#include "test_support.h"

#include "calls/phone_fee.h"
#include "platform/files.h"
#include "platform/http.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using json = nlohmann::json;

namespace {

const char* kAliceSays = "The quick brown fox jumps over the lazy dog, and then it runs away.";
const char* kBobSays = "Seven silver swans swim slowly south, singing softly at sunset.";

struct Side {
    TempDataFolder folder;
    PhoneWallet wallet;
    std::string sentence; // the sentence alone
    std::string microphone;
    std::string speaker;
    CliPhone phone;
};

class TwoPhones : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
        devnet.control("POST", "/control/settings", {{"mine_interval", 3}});
        ASSERT_TRUE(prepare(alice, "alice", kAliceSays, 60000));
        ASSERT_TRUE(prepare(bob, "bob", kBobSays, 20000));
        devnet.mine();
    }

    void TearDown() override
    {
        for (Side* side : {&alice, &bob}) {
            side->phone.send("quit");
            EXPECT_EQ(side->phone.wait(), 0) << stderrOf(*side);
        }
        devnet.control("POST", "/control/settings", {{"mine_interval", 0}});
    }

    bool prepare(Side& side, const std::string& stem, const char* words, int64_t sats)
    {
        const std::string root = side.folder.root;
        side.sentence = root + "/sentence.wav";
        side.microphone = root + "/microphone.wav";
        side.speaker = root + "/speaker.wav";
        if (!speak(words, side.sentence) || !microphoneFile(side.sentence, 1.5, 40, side.microphone)) return false;
        json config = devnet.info["config"];
        config["audio_input"] = "file:" + side.microphone;
        config["audio_output"] = "file:" + side.speaker;
        platform::makeFolders(side.folder.corvane());
        if (!platform::replaceFileAtomically(side.folder.corvane() + "/kestrel-config.json", config.dump()))
            return false;
        side.wallet = makePhoneWallet(devnet, stem, root);
        if (side.wallet.receive.empty()) return false;
        // Many coins: a call spends one per record until the split ones confirm.
        std::vector<int64_t> coins(30, sats / 30);
        return !devnet.fund(side.wallet.receive, coins).empty();
    }

    // Gives side a silent microphone (before it starts).
    static bool silence(Side& side)
    {
        int status = 0;
        runCommand("sox -n -r 8000 -c 1 -b 16 -e signed-integer " + shellQuoted(side.microphone) + " trim 0 120",
                   &status);
        return status == 0;
    }

    // Waits for a status line of side's phone.
    static bool said(Side& side, const std::string& text, int deadlineMs = 60000)
    {
        return side.phone.waitForEvent("status", {{"text", text}}, deadlineMs).is_object();
    }

    // The call state side's phone reports now.
    static std::string stateOf(Side& side)
    {
        side.phone.send("status");
        const json snapshot = side.phone.waitForEvent("snapshot");
        return snapshot.is_object() ? snapshot.value("state", "") : "";
    }

    bool start(Side& side)
    {
        if (!side.phone.start(side.folder.root, side.folder.root + "/stderr")) return false;
        if (!side.phone.waitForEvent("ready").is_object()) return false;
        side.phone.send("connect");
        return side.phone.waitForEvent("connection", {{"connected", true}, {"handle", side.wallet.alias}}).is_object();
    }

    static std::string stderrOf(const Side& side)
    {
        std::string text;
        platform::readFile(side.folder.root + "/stderr", text);
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }

    // The values of the confirmed and unconfirmed coins of address, on the chain API.
    std::vector<int64_t> coinValues(const std::string& address) const { return devnet.coinValues(address); }

    // With KESTREL_E2E_KEEP set to a folder, the sides' microphone and
    // speaker files are copied there (named by test and side) to listen to.
    static void keep(const Side& side, const std::string& name)
    {
        const char* folder = std::getenv("KESTREL_E2E_KEEP");
        if (!folder || !*folder) return;
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (const char* file : {"microphone", "speaker"}) {
            int status = 0;
            runCommand("cp " + shellQuoted(side.folder.root + "/" + file + ".wav") + " " +
                           shellQuoted(std::string(folder) + "/" + test + "-" + name + "-" + file + ".wav"),
                       &status);
        }
    }

    static double heard(const Side& listener, const Side& talker)
    {
        keep(listener, listener.wallet.alias.substr(0, listener.wallet.alias.find('-')));
        return bestCorrelation(envelope(wavSamples(talker.sentence)), envelope(wavSamples(listener.speaker)));
    }

    Devnet devnet;
    Side alice, bob;
};

} // namespace

TEST_F(TwoPhones, APaidCallWithSpeechBothWays)
{
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);

    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << stderrOf(bob);
    bob.phone.send("answer");
    const json bobConnected = bob.phone.waitForEvent("state", {{"state", "Connected"}}, 60000);
    const json aliceConnected = alice.phone.waitForEvent("state", {{"state", "Connected"}}, 60000);
    ASSERT_TRUE(bobConnected.is_object()) << stderrOf(bob);
    ASSERT_TRUE(aliceConnected.is_object()) << stderrOf(alice);
    EXPECT_EQ(aliceConnected["call_id"], bobConnected["call_id"]);
    EXPECT_EQ(aliceConnected["peer"], bob.wallet.alias);
    EXPECT_EQ(bobConnected["peer"], alice.wallet.alias);

    // Talk until each side has heard a dozen slices of the other: the
    // sentences are four seconds long, and the fee is paid every ten.
    for (Side* listener : {&alice, &bob})
        for (int i = 0; i < 14; ++i)
            ASSERT_TRUE(listener->phone.waitForEvent("audio_received", {}, 60000).is_object()) << stderrOf(*listener);
    alice.phone.send("hangup");
    EXPECT_TRUE(alice.phone.waitForEvent("status", {{"text", "Hung up."}}, 60000).is_object());
    EXPECT_TRUE(bob.phone.waitForEvent("status", {{"text", "They hung up."}}, 60000).is_object());

    for (Side* side : {&alice, &bob}) {
        side->phone.send("history");
        const json history = side->phone.waitForEvent("history");
        ASSERT_TRUE(history.is_object());
        ASSERT_FALSE(history["calls"].empty()) << history.dump() << side->phone.transcript();
        const json& row = history["calls"][0];
        EXPECT_EQ(row["from"], alice.wallet.alias) << row.dump();
        EXPECT_EQ(row["to"], bob.wallet.alias) << row.dump();
        EXPECT_GT(row["secs"].get<int>(), 0) << row.dump();
        EXPECT_FALSE(row["missed"].get<bool>());
    }

    // Quit first, so that the speaker files are closed whole.
    for (Side* side : {&alice, &bob}) {
        side->phone.send("quit");
        EXPECT_EQ(side->phone.wait(), 0);
    }
    const double aliceHearsBob = heard(alice, bob), aliceHearsHerself = heard(alice, alice);
    const double bobHearsAlice = heard(bob, alice), bobHearsHimself = heard(bob, bob);
    std::printf("alice hears bob %.2f (herself %.2f), bob hears alice %.2f (himself %.2f)\n", aliceHearsBob,
                aliceHearsHerself, bobHearsAlice, bobHearsHimself);
    EXPECT_GT(aliceHearsBob, 0.7) << "alice's speaker does not hold bob's sentence";
    EXPECT_GT(bobHearsAlice, 0.7) << "bob's speaker does not hold alice's sentence";
    EXPECT_GT(aliceHearsBob, aliceHearsHerself + 0.1);
    EXPECT_GT(bobHearsAlice, bobHearsHimself + 0.1);

    // Bob was paid 10 satoshis before he answered and 10 more every 10 seconds
    // after; the service got its connection fee (the devnet's rate: 25,000).
    const std::vector<int64_t> bobCoins = coinValues(bob.wallet.receive);
    const auto tens = std::count(bobCoins.begin(), bobCoins.end(), 10);
    EXPECT_GE(tens, 2) << "the prepayment and at least one 10-second payment";
    const std::vector<int64_t> feeCoins = coinValues(devnet.info["config"]["connection_fee_address"]);
    EXPECT_NE(std::find(feeCoins.begin(), feeCoins.end(), 25000), feeCoins.end());
}

// A test line: bob answers by himself after a second and plays back what he
// hears, so alice hears her own sentence and never bob's.
TEST_F(TwoPhones, AnEchoLineAnswersByItselfAndPlaysBackWhatItHears)
{
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    for (const char* bad : {"autoanswer soon", "autoanswer -1", "autoanswer 61", "echo maybe"}) {
        bob.phone.send(bad);
        EXPECT_TRUE(bob.phone.waitForEvent("error", {}, 10000).is_object()) << bad;
    }
    bob.phone.send("autoanswer 1");
    bob.phone.send("echo on");

    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << bob.phone.transcript();
    ASSERT_TRUE(bob.phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object()) << bob.phone.transcript();
    ASSERT_TRUE(alice.phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object())
        << alice.phone.transcript();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(alice.phone.waitForEvent("audio_received", {}, 60000).is_object())
            << alice.phone.transcript() << bob.phone.transcript();
    alice.phone.send("hangup");
    ASSERT_TRUE(said(bob, "They hung up.")) << bob.phone.transcript();

    for (Side* side : {&alice, &bob}) {
        side->phone.send("quit");
        EXPECT_EQ(side->phone.wait(), 0);
    }
    const double aliceHearsHerself = heard(alice, alice), aliceHearsBob = heard(alice, bob);
    std::printf("alice hears herself %.2f (bob's sentence %.2f)\n", aliceHearsHerself, aliceHearsBob);
    EXPECT_GT(aliceHearsHerself, 0.6) << "alice's speaker does not hold her own sentence";
    EXPECT_GT(aliceHearsHerself, aliceHearsBob + 0.1) << "bob's microphone reached the call";
}

// The callee's price: the caller is asked, "no" costs nothing and sends no
// invite, "yes" prepays ten seconds of it. A blocked caller never rings.
TEST_F(TwoPhones, PriceQuestionAndBlockedCaller)
{
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    bob.phone.send("fee 5");
    ASSERT_TRUE(said(bob, "Callers pay 5 sat/s.")) << bob.phone.transcript();

    alice.phone.send("call " + bob.wallet.alias);
    const json question = alice.phone.waitForEvent("question", {}, 60000);
    ASSERT_TRUE(question.is_object()) << alice.phone.transcript();
    EXPECT_NE(question["text"].get<std::string>().find("charges 5 sats a second"), std::string::npos);
    alice.phone.send("no");
    ASSERT_TRUE(said(alice, "Call cancelled.")) << alice.phone.transcript();
    EXPECT_EQ(stateOf(alice), "Idle");
    for (const json& e : alice.phone.events) EXPECT_NE(e.value("state", ""), "Calling") << "an invite went out";
    std::vector<int64_t> bobCoins = coinValues(bob.wallet.receive);
    EXPECT_EQ(std::count(bobCoins.begin(), bobCoins.end(), 50), 0);

    alice.phone.send("call " + bob.wallet.alias + " --yes");
    ASSERT_TRUE(alice.phone.waitForEvent("state", {{"state", "Calling"}}, 60000).is_object());
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << bob.phone.transcript();
    bobCoins = coinValues(bob.wallet.receive);
    EXPECT_EQ(std::count(bobCoins.begin(), bobCoins.end(), 50), 1) << "the prepayment of ten seconds at 5";
    bob.phone.send("hangup");
    EXPECT_TRUE(said(alice, "They hung up.")) << alice.phone.transcript();
    EXPECT_TRUE(alice.phone.waitForEvent("state", {{"state", "Idle"}}).is_object());

    bob.phone.send("block " + alice.wallet.alias);
    ASSERT_TRUE(said(bob, "Blocked " + alice.wallet.alias + ".")) << bob.phone.transcript();
    alice.phone.send("call " + bob.wallet.alias + " --yes");
    const json calling = alice.phone.waitForEvent("state", {{"state", "Calling"}}, 60000);
    ASSERT_TRUE(calling.is_object()) << alice.phone.transcript();
    const json invite = bob.phone.waitForEvent("record", {{"kind", "invite"}, {"id", calling["call_id"]}}, 60000);
    ASSERT_TRUE(invite.is_object()) << bob.phone.transcript();
    EXPECT_EQ(stateOf(bob), "Idle");
    alice.phone.send("hangup");
    EXPECT_TRUE(said(alice, "Hung up.")) << alice.phone.transcript();
    for (const json& e : bob.phone.events) {
        if (e.value("event", "") == "ring") {
            EXPECT_LT(e["t"].get<int64_t>(), invite["t"].get<int64_t>()) << e.dump();
        }
    }
}

// A silent microphone sends nothing, while the other side's speech still
// arrives.
TEST_F(TwoPhones, SilenceSendsNoAudio)
{
    ASSERT_TRUE(silence(alice));
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << bob.phone.transcript();
    bob.phone.send("answer");
    ASSERT_TRUE(alice.phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(alice.phone.waitForEvent("audio_received", {}, 60000).is_object()) << alice.phone.transcript();
    alice.phone.send("hangup");
    ASSERT_TRUE(said(alice, "Hung up.")) << alice.phone.transcript();
    ASSERT_TRUE(said(bob, "They hung up.")) << bob.phone.transcript();
    for (const json& e : alice.phone.events) EXPECT_NE(e.value("event", ""), "audio_sent") << e.dump();
    for (const json& e : bob.phone.events) EXPECT_NE(e.value("event", ""), "audio_received") << e.dump();
}

// A second caller while the line is busy is not answered, and rings once the
// first call ends (its invite is still within its three minutes).
TEST_F(TwoPhones, SecondCallerRingsWhenTheLineIsFree)
{
    Side carol;
    ASSERT_TRUE(prepare(carol, "carol", kAliceSays, 20000));
    devnet.mine();
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    ASSERT_TRUE(start(carol)) << stderrOf(carol);

    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << bob.phone.transcript();
    bob.phone.send("answer");
    ASSERT_TRUE(bob.phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object());

    carol.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone
                    .waitFor(
                        [&](const json& e) {
                            return e.value("event", "") == "record" && e.value("kind", "") == "invite" &&
                                   e.value("from", "") == carol.wallet.alias;
                        },
                        60000)
                    .is_object())
        << bob.phone.transcript();
    EXPECT_EQ(stateOf(bob), "Connected");
    EXPECT_EQ(stateOf(carol), "Calling");

    alice.phone.send("hangup");
    ASSERT_TRUE(said(bob, "They hung up.")) << bob.phone.transcript();
    ASSERT_TRUE(
        bob.phone.waitForEvent("state", {{"state", "Ringing"}, {"peer", carol.wallet.alias}}, 60000).is_object())
        << bob.phone.transcript();
    bob.phone.send("answer");
    EXPECT_TRUE(carol.phone.waitForEvent("state", {{"state", "Connected"}}, 60000).is_object())
        << carol.phone.transcript();
    carol.phone.send("hangup");
    EXPECT_TRUE(said(bob, "They hung up.")) << bob.phone.transcript();
    carol.phone.send("quit");
    EXPECT_EQ(carol.phone.wait(), 0);
}

// Nobody answers: alice hears bob's published greeting, then leaves a
// message that bob finds in his inbox and plays.
TEST_F(TwoPhones, AMessageAfterTheGreeting)
{
    // A greeting of 20 seconds is a transaction of about 45 kB at 100 sat/kB.
    ASSERT_FALSE(devnet.fund(bob.wallet.receive, {20000, 20000}).empty());
    devnet.mine();
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    bob.phone.send("greeting record");
    ASSERT_TRUE(said(bob, "Recording the greeting.")) << bob.phone.transcript();
    ASSERT_TRUE(said(bob, "Greeting saved.", 90000)) << bob.phone.transcript() << stderrOf(bob);
    const kestrel::PhoneFeeRecord published = kestrel::fetchPhoneFeeRecord(bob.wallet.alias);
    EXPECT_GE(published.greetingAddress.size(), 26u) << "the phone record names the greeting address";

    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(bob.phone.waitForEvent("ring", {}, 60000).is_object()) << bob.phone.transcript();
    ASSERT_TRUE(said(alice, "Their greeting.", 90000)) << alice.phone.transcript();
    ASSERT_TRUE(said(alice, "Leave a message.", 90000)) << alice.phone.transcript();
    ASSERT_TRUE(alice.phone.waitForEvent("state", {{"state", "LeavingMessage"}}, 30000).is_object());
    // Speak for a while: the sentence comes round every five and a half seconds.
    ASSERT_TRUE(said(alice, "Recording  12 / 60", 30000)) << alice.phone.transcript();
    alice.phone.send("hangup");
    ASSERT_TRUE(said(alice, "Message left for " + bob.wallet.alias + ".", 60000)) << alice.phone.transcript();
    const json filed = bob.phone.waitForEvent("message", {{"from", alice.wallet.alias}}, 60000);
    ASSERT_TRUE(filed.is_object()) << bob.phone.transcript();
    EXPECT_GE(filed["secs"].get<int>(), 10);
    EXPECT_LE(filed["secs"].get<int>(), 16);

    bob.phone.send("inbox");
    const json inbox = bob.phone.waitForEvent("inbox");
    ASSERT_TRUE(inbox.is_object() && inbox["messages"].size() == 1) << inbox.dump();
    EXPECT_EQ(inbox["messages"][0]["n"], 1);
    EXPECT_EQ(inbox["messages"][0]["from"], alice.wallet.alias);
    EXPECT_EQ(inbox["messages"][0]["secs"], filed["secs"]);
    EXPECT_EQ(inbox["messages"][0]["txid"], filed["txid"]);
    bob.phone.send("play 1");
    EXPECT_TRUE(bob.phone.waitForEvent("playback_done", {}, 60000).is_object()) << bob.phone.transcript();

    bob.phone.send("history");
    const json history = bob.phone.waitForEvent("history");
    ASSERT_TRUE(history.is_object() && !history["calls"].empty()) << history.dump();
    EXPECT_EQ(history["calls"][0]["from"], alice.wallet.alias);
    EXPECT_EQ(history["calls"][0]["missed"], true);

    for (Side* side : {&alice, &bob}) {
        side->phone.send("quit");
        EXPECT_EQ(side->phone.wait(), 0);
    }
    const double aliceHearsGreeting = heard(alice, bob), bobHearsMessage = heard(bob, alice);
    const double aliceHearsHerself = heard(alice, alice), bobHearsHimself = heard(bob, bob);
    std::printf("alice hears bob's greeting %.2f (herself %.2f), bob hears alice's message %.2f (himself %.2f)\n",
                aliceHearsGreeting, aliceHearsHerself, bobHearsMessage, bobHearsHimself);
    // Greetings and messages pass the recorder, whose pauses come out
    // shorter than the sentence's: their envelopes match less closely than a
    // call's, so each is judged against the speaker's match with the wrong
    // sentence too.
    EXPECT_GT(aliceHearsGreeting, 0.6) << "alice's speaker does not hold bob's greeting";
    EXPECT_GT(aliceHearsGreeting, aliceHearsHerself + 0.1);
    EXPECT_GT(bobHearsMessage, 0.6) << "bob's speaker does not hold alice's message";
    EXPECT_GT(bobHearsMessage, bobHearsHimself + 0.1);
}

// With the answer-phone on, a caller is diverted after about six seconds:
// the ring loop ends after the third ring.
TEST_F(TwoPhones, TheAnswerPhoneTakesTheCall)
{
    ASSERT_TRUE(start(alice)) << stderrOf(alice);
    ASSERT_TRUE(start(bob)) << stderrOf(bob);
    bob.phone.send("answerphone on");
    ASSERT_TRUE(said(bob, "Calls will divert to your answer-phone after three rings.")) << bob.phone.transcript();
    alice.phone.send("call " + bob.wallet.alias);
    ASSERT_TRUE(alice.phone.waitForEvent("state", {{"state", "LeavingMessage"}}, 60000).is_object())
        << alice.phone.transcript();
    for (const json& e : alice.phone.events) {
        EXPECT_NE(e.value("text", ""), "Ringing  5") << "the ring loop went on after the divert";
    }
    alice.phone.send("hangup");
    EXPECT_TRUE(alice.phone.waitForEvent("state", {{"state", "Idle"}}, 60000).is_object()) << alice.phone.transcript();
}
