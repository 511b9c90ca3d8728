// Coins: reading the chain API's lists and pages, the pick rule of the phone
// coin cache, and the local knowledge (spent, held, change, reserves,
// inscriptions, balance) with its files.
#include "wallet/address.h"
#include "wallet/coins.h"
#include "wallet/keys.h"
#include "https_test_server.h"
#include "wallet_files.h"

#include "platform/clock.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <mutex>

using namespace cv_tessera_wallet;
using json = nlohmann::json;

namespace {

const std::string kTxA = std::string(62, 'a') + "01";
const std::string kTxB = std::string(62, 'b') + "02";

Coin coinOf(int64_t sats, const std::string& txid = kTxA, uint32_t vout = 0)
{
    Coin c;
    c.txid = txid;
    c.vout = vout;
    c.sats = sats;
    return c;
}

std::string addressAt(uint32_t account, uint32_t index)
{
    std::string priv, pub, address;
    derive_from_phrase(kPhrase, "m/44'/236'/" + std::to_string(account) + "'/0/" + std::to_string(index), priv, pub,
                       address);
    return address;
}

Bytes hashOf(const std::string& address)
{
    Bytes h;
    decode_address(address, h);
    return h;
}

json readJson(const std::string& path)
{
    flush_coin_files();
    std::string text;
    platform::readFile(path, text);
    return json::parse(text, nullptr, false);
}

} // namespace

// ---- chain lists ----------------------------------------------------------

TEST(CoinList, ReadsBothShapesAndSkipsWhatCannotBeSpent)
{
    struct Case {
        std::string body;
        bool ok;
        std::vector<std::string> coins; // "txid:vout:sats"
        std::string token;
    };
    const std::string a = kTxA, b = kTxB;
    const Case cases[] = {
        {"[]", true, {}, ""},
        {R"([{"tx_hash": ")" + a + R"(", "tx_pos": 1, "value": 500}])", true, {a + ":1:500"}, ""},
        {R"({"result": [{"txid": ")" + b + R"(", "vout": 2, "value": 7}], "nextPageToken": "+/+/x"})",
         true,
         {b + ":2:7"},
         "+/+/x"},
        // Upper-case txids come out lower-case; a spent-in-mempool coin, a zero
        // or negative value, a short txid, a fractional value, a missing vout
        // and a non-object are skipped.
        {R"([{"tx_hash": ")" + std::string(62, 'A') + R"(01", "tx_pos": 0, "value": 1},
            {"tx_hash": ")" +
             b + R"(", "tx_pos": 0, "value": 9, "isSpentInMempoolTx": true},
            {"tx_hash": ")" +
             b + R"(", "tx_pos": 1, "value": 0},
            {"tx_hash": ")" +
             b + R"(", "tx_pos": 2, "value": -5},
            {"tx_hash": "abcd", "tx_pos": 3, "value": 5},
            {"tx_hash": ")" +
             b + R"(", "tx_pos": 4, "value": 0.5},
            {"tx_hash": ")" +
             b + R"(", "value": 5},
            {"tx_hash": ")" +
             b + R"(", "tx_pos": 5, "value": 5, "isSpentInMempoolTx": false}, 7])",
         true,
         {a + ":0:1", b + ":5:5"},
         ""},
        {R"({"result": "none"})", false, {}, ""},
        {R"({"error": "x"})", false, {}, ""},
        {"<html>busy</html>", false, {}, ""},
        {"", false, {}, ""},
    };
    for (const Case& c : cases) {
        std::vector<Coin> coins;
        std::string token = "stale";
        EXPECT_EQ(parse_coin_list(c.body, coins, &token), c.ok) << c.body;
        std::vector<std::string> got;
        for (const Coin& coin : coins)
            got.push_back(coin.txid + ":" + std::to_string(coin.vout) + ":" + std::to_string(coin.sats));
        EXPECT_EQ(got, c.coins) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

namespace {

// A chain API with three pages of coins for one address and an unpaged list.
class ChainPages : public ::testing::Test {
protected:
    HttpsTestServer server;
    std::mutex mutex;
    std::vector<std::string> targets;
    bool failSecondPage = false;
    std::string address = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";

    void SetUp() override
    {
        const std::string base = "/v1/bsv/main/address/" + address;
        server.http.Get(base + "/unspent/all", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            targets.push_back(req.target);
            const std::string token = req.has_param("token") ? req.get_param_value("token") : "";
            json page = {{"result", json::array()}};
            if (token.empty()) {
                page["result"].push_back({{"tx_hash", kTxA}, {"tx_pos", 0}, {"value", 100}});
                page["nextPageToken"] = "+/+/page two";
            } else if (token == "+/+/page two") {
                if (failSecondPage) {
                    res.status = 503;
                    return;
                }
                page["result"].push_back({{"tx_hash", kTxA}, {"tx_pos", 1}, {"value", 200}});
                page["nextPageToken"] = "+/+/three=";
            } else if (token == "+/+/three=") {
                page["result"].push_back({{"tx_hash", kTxB}, {"tx_pos", 0}, {"value", 300}});
                page["nextPageToken"] = "+/+/three="; // repeated: the end
            } else {
                res.status = 400;
                res.set_content("Invalid page token", "text/plain");
                return;
            }
            res.set_content(page.dump(), "application/json");
        });
        server.http.Get(base + "/unspent", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(json::array({{{"tx_hash", kTxB}, {"tx_pos", 7}, {"value", 900}}}).dump(),
                            "application/json");
        });
        server.start();
        server.useServer();
    }
    void TearDown() override { platform::setConfig(platform::Config {}); }
};

std::vector<int64_t> valuesOf(const std::vector<Coin>& coins)
{
    std::vector<int64_t> values;
    for (const Coin& c : coins) values.push_back(c.sats);
    return values;
}

} // namespace

TEST_F(ChainPages, FollowsTokensUntilOneRepeats)
{
    std::vector<Coin> coins;
    std::string error;
    ASSERT_TRUE(fetch_unspent_all(address, coins, error)) << error;
    EXPECT_EQ(valuesOf(coins), (std::vector<int64_t> {100, 200, 300}));
    ASSERT_EQ(targets.size(), 3u);
    const std::string base = "/v1/bsv/main/address/" + address + "/unspent/all";
    EXPECT_EQ(targets[0], base);
    EXPECT_EQ(targets[1], base + "?token=%2B%2F%2B%2Fpage%20two");
    EXPECT_EQ(targets[2], base + "?token=%2B%2F%2B%2Fthree%3D");
}

TEST_F(ChainPages, AFailedPageFallsBackToTheUnpagedList)
{
    failSecondPage = true;
    std::vector<Coin> coins;
    std::string error;
    ASSERT_TRUE(fetch_unspent_all(address, coins, error)) << error;
    EXPECT_EQ(valuesOf(coins), (std::vector<int64_t> {900}));
}

// ---- picking ----------------------------------------------------------------

TEST(PickRule, SmallestCoverFirstElseUpToFourFromTheTop)
{
    struct Case {
        std::vector<int64_t> cache; // ascending
        int64_t need;
        std::vector<int64_t> change;   // values that are own unconfirmed change
        std::vector<int64_t> unusable; // values that are spent or held
        std::vector<int64_t> picked;   // empty: no pick
    };
    const Case cases[] = {
        {{300, 400, 1200, 5000}, 500, {}, {}, {1200}},
        {{300, 400, 1200, 5000}, 9000, {}, {}, {}}, // 5000 + 1200 + 400 + 300 = 6900
        {{300, 400, 1200, 5000}, 6000, {}, {}, {5000, 1200}},
        {{300, 400, 1200, 5000}, 6900, {}, {}, {5000, 1200, 400, 300}},
        {{100, 100, 100, 100, 100}, 450, {}, {}, {}}, // five coins would do, four may be used
        {{300, 400, 1200, 5000}, 500, {1200}, {}, {5000}},
        {{300, 400, 1200, 5000}, 500, {1200, 5000}, {}, {1200}},
        {{300, 400, 1200, 5000}, 500, {}, {1200}, {5000}},
        {{300, 400, 1200, 5000}, 5500, {}, {1200}, {5000, 400, 300}},
        {{69}, 69, {}, {}, {69}},
        {{68}, 69, {}, {}, {}},
        {{}, 1, {}, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<Coin> cache;
        for (size_t i = 0; i < c.cache.size(); ++i) cache.push_back(coinOf(c.cache[i], kTxA, static_cast<uint32_t>(i)));
        auto has = [](const std::vector<int64_t>& values, const Coin& coin) {
            return std::find(values.begin(), values.end(), coin.sats) != values.end();
        };
        std::vector<Coin> picked;
        const bool ok = pick_coins(
            cache, c.need, [&](const Coin& coin) { return !has(c.unusable, coin); },
            [&](const Coin& coin) { return has(c.change, coin); }, picked);
        EXPECT_EQ(ok, !c.picked.empty()) << c.need;
        EXPECT_EQ(valuesOf(picked), c.picked) << c.need;
    }
}

// ---- local knowledge --------------------------------------------------------

namespace {

class CoinBooks : public WalletFiles {
protected:
    void SetUp() override
    {
        WalletFiles::SetUp();
        reset_coin_state();
    }
    void TearDown() override
    {
        reset_coin_state();
        platform::setConfig(platform::Config {});
        WalletFiles::TearDown();
    }
    std::string snap(const std::string& name) const { return temp.corvane() + "/ord_snap/" + name; }
    void writeFile(const std::string& relative, const std::string& text) const
    {
        const std::string path = temp.corvane() + relative;
        platform::makeFolders(path.substr(0, path.rfind('/')));
        ASSERT_TRUE(platform::replaceFileAtomically(path, text));
    }
};

} // namespace

TEST_F(CoinBooks, TagsFollowTheBinding)
{
    struct Case {
        std::string id;
        std::string tag;
        std::string reserve;
    };
    const Case cases[] = {
        {"w1", "w1", "w1"},
        {"w-1_x.y/z", "w_1_x_y_z", "w-1_x_y_z"},
        {std::string(90, 'q'), std::string(80, 'q'), std::string(90, 'q')},
        {"", "wallet", "none"},
    };
    for (const Case& c : cases) {
        set_bound_wallet_id(c.id);
        EXPECT_EQ(coin_file_tag(), c.tag) << c.id;
        EXPECT_EQ(reserve_tag(), c.reserve) << c.id;
    }
    // Unbound with a wallet loaded: its identity address names the files.
    set_bound_wallet_id("w1");
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    set_bound_wallet_id("");
    EXPECT_EQ(coin_file_tag(), wallet_view().identity_address);
}

TEST_F(CoinBooks, SpentInEitherTxidOrderAndKeptInTheFile)
{
    const Coin coin = coinOf(500, kTxA, 3);
    Coin reversed = coin;
    reversed.txid = reverse_txid(kTxA);
    Coin upper = coin;
    for (char& ch : upper.txid) ch = static_cast<char>(std::toupper(ch));
    EXPECT_FALSE(is_spent(coin));

    mark_spent(reversed);
    EXPECT_TRUE(is_spent(coin));
    EXPECT_TRUE(is_spent(upper));
    EXPECT_TRUE(is_spent(reversed));
    EXPECT_FALSE(is_spent(coinOf(500, kTxA, 4)));

    const json file = readJson(snap("w1_spent.json"));
    ASSERT_TRUE(file.is_object());
    EXPECT_EQ(file["outpoints"], json({outpoint_key(reverse_txid(kTxA), 3), outpoint_key(kTxA, 3)})); // sorted

    // Another wallet has its own books; coming back reads them from the file.
    set_bound_wallet_id("w2");
    EXPECT_FALSE(is_spent(coin));
    set_bound_wallet_id("w1");
    reset_coin_state();
    EXPECT_TRUE(is_spent(coin));
}

TEST_F(CoinBooks, HeldCoinsAreNotUsable)
{
    const Coin coin = coinOf(500, kTxA, 1);
    EXPECT_TRUE(is_usable(coin));
    hold_coins({coin});
    EXPECT_TRUE(is_held(coin));
    EXPECT_EQ(held_count(), 1u);
    EXPECT_FALSE(is_usable(coin));
    release_coins({coin});
    EXPECT_EQ(held_count(), 0u);
    EXPECT_TRUE(is_usable(coin));
    EXPECT_FALSE(is_usable(coinOf(1)));
    mark_spent(coin);
    EXPECT_FALSE(is_usable(coin));
}

TEST_F(CoinBooks, SiblingReservesNameCoinsNeverToSpend)
{
    const std::string upperA = std::string(62, 'A') + "01";
    writeFile("/kiosk/reserves_w1.json",
              json({{"reserves", {{{"utxo", kTxA + "_0"}, {"listing", "x"}}, {{"origin", upperA + ":1"}}}}}).dump());
    writeFile("/vitrine/reserves_w1.json", json({{"reserves",
                                                  {{{"cert", "c"},
                                                    {"price_sats", 10},
                                                    {"spot", 1},
                                                    {"cert_utxo", kTxB + "_4"},
                                                    {"pic_utxo", kTxB + "_5"}}}}})
                                               .dump());
    writeFile("/bourse/reserves_w1.json", json({{"holds", {{{"cover", reverse_txid(kTxB) + "_9"}}}}}).dump());
    writeFile("/bourse/reserves_w2.json", json({{"holds", {{{"utxo", kTxB + "_6"}}}}}).dump());

    struct Case {
        Coin coin;
        bool reserved;
    };
    const Case cases[] =
        {
            {coinOf(5, kTxA, 0), true},  {coinOf(5, kTxA, 1), true}, {coinOf(5, kTxA, 2), false},
            {coinOf(5, kTxB, 4), true},  {coinOf(5, kTxB, 5), true}, {coinOf(5, kTxB, 9), true},
            {coinOf(5, kTxB, 6), false}, // another wallet's reservation
        };
    for (const Case& c : cases) EXPECT_EQ(is_reserved(c.coin), c.reserved) << c.coin.txid << ":" << c.coin.vout;

    writeFile("/kiosk/reserves_w1.json", "not json");
    EXPECT_FALSE(is_reserved(coinOf(5, kTxA, 0)));
    EXPECT_TRUE(is_reserved(coinOf(5, kTxB, 4)));
}

TEST_F(CoinBooks, InscriptionTestFollowsTheFreshList)
{
    const std::string address = addressAt(1, 0);
    EXPECT_TRUE(is_inscription(address, coinOf(1)));
    EXPECT_FALSE(is_inscription(address, coinOf(2)));

    OrdinalsList list;
    list.inscription_keys = {outpoint_key(kTxB, 0)};
    list.complete = true;
    store_inscription_list(address, list);
    EXPECT_TRUE(is_inscription(address, coinOf(5000, kTxB, 0)));
    EXPECT_TRUE(is_inscription(address, coinOf(5000, reverse_txid(kTxB), 0)));
    EXPECT_FALSE(is_inscription(address, coinOf(1, kTxA, 0)));
    EXPECT_TRUE(is_inscription(addressAt(1, 1), coinOf(1, kTxA, 0))); // no list for that address

    list.complete = false;
    store_inscription_list(address, list);
    EXPECT_TRUE(is_inscription(address, coinOf(1, kTxA, 0)));
    EXPECT_FALSE(is_inscription(address, coinOf(2, kTxA, 0)));

    list.complete = true;
    store_inscription_list(address, list);
    note_inscription_failure();
    EXPECT_TRUE(is_inscription(address, coinOf(1, kTxA, 0)));
    EXPECT_FALSE(is_inscription(address, coinOf(5000, kTxB, 0))); // the list is not trusted after a failure
}

TEST_F(CoinBooks, OrdinalsPagesSeparateInscriptionsFromPlainCoins)
{
    const json page = json::array({
        {{"txid", kTxA}, {"vout", 0}, {"satoshis", 1}, {"outpoint", kTxA + "_0"}, {"origin", {{"outpoint", "x"}}}},
        {{"txid", kTxA}, {"vout", 1}, {"satoshis", 1}, {"data", {{"bsv20", json::object()}}}},
        {{"txid", kTxA}, {"vout", 2}, {"satoshis", 1}, {"data", {{"insc", json::object()}}}},
        {{"txid", kTxB}, {"vout", 0}, {"satoshis", 700}, {"data", json::object()}},
        {{"txid", kTxB}, {"vout", 1}, {"value", 800}},
        {{"txid", kTxB}, {"vout", 2}, {"satoshis", 1}},
        {{"outpoint", kTxB + "_3"}, {"satoshis", 1}, {"origin", nullptr}},
        "junk",
        // Amounts beyond the 21 million BSV money range are no coins.
        {{"txid", kTxB}, {"vout", 4}, {"satoshis", 9223372036854775807}},
        {{"txid", kTxB}, {"vout", 5}, {"satoshis", 2100000000000001}},
        {{"txid", kTxB}, {"vout", 6}, {"value", 2100000000000000}},
    });
    OrdinalsList list;
    size_t count = 0;
    ASSERT_TRUE(parse_ordinals_page(page.dump(), list, count));
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(list.inscription_keys, (std::vector<std::string> {outpoint_key(kTxA, 0), outpoint_key(kTxA, 1),
                                                                outpoint_key(kTxA, 2), outpoint_key(kTxB, 3)}));
    ASSERT_EQ(list.plain.size(), 3u);
    EXPECT_EQ(list.plain[0].sats, 700);
    EXPECT_EQ(list.plain[1].sats, 800);
    EXPECT_EQ(list.plain[2].sats, 2100000000000000);
    EXPECT_FALSE(parse_ordinals_page(R"({"message": "busy"})", list, count));
}

TEST_F(CoinBooks, RecordedTransactionsLeaveChangeAndSpentInputs)
{
    writeWallet(phraseWallet("[0, 2, 0, 0, 0, 0]", "1"));
    ASSERT_TRUE(load_wallet());
    EXPECT_EQ(local_balance(), -1); // nothing known yet

    const std::string receive = addressAt(1, 1);
    const std::string other = addressAt(1, 0);
    Coin input = coinOf(10000, kTxA, 0);
    input.hash160 = hashOf(receive);
    const std::string sent = kTxB;
    const std::vector<Output> outputs = {
        {1, p2pkh_locking_script(hashOf("1BoatSLRHtKNngkdXEeobR76b53LETtpyT"))}, // someone else
        {0, {0x00, 0x6A, 0x01, 0x41}},                                           // data
        {700, p2pkh_locking_script(hashOf(other))},                              // own, below 1000
        {1500, p2pkh_locking_script(hashOf(addressAt(1, 2)))},                   // own, counted
        {5000, p2pkh_locking_script(hashOf(receive))},                           // change
        {9, p2pkh_locking_script(hashOf(addressAt(1, 3)))},                      // beyond counters[1]: not ours
    };
    record_sent({input}, outputs, sent, {});

    EXPECT_TRUE(is_spent(input));
    EXPECT_EQ(last_sent_txid(), sent);
    std::vector<std::string> change;
    for (const ChangeCoin& c : unconfirmed_change())
        change.push_back(std::to_string(c.vout) + ":" + std::to_string(c.sats));
    EXPECT_EQ(change, (std::vector<std::string> {"2:700", "3:1500", "4:5000"}));
    ASSERT_EQ(address_coins(receive).size(), 1u);
    EXPECT_EQ(address_coins(receive)[0].sats, 5000);
    EXPECT_EQ(local_balance(), 5000 + 1500);

    const json file = readJson(snap("w1_change.json"));
    ASSERT_TRUE(file.is_object());
    ASSERT_EQ(file["coins"].size(), 3u);
    EXPECT_EQ(file["coins"][2], json({{"addr", receive}, {"sats", 5000}, {"txid", sent}, {"vout", 4}}));

    // Recording it again adds nothing; the books survive a restart.
    record_sent({input}, outputs, sent, {});
    EXPECT_EQ(unconfirmed_change().size(), 3u);
    reset_coin_state();
    EXPECT_EQ(unconfirmed_change().size(), 3u);
    EXPECT_TRUE(is_spent(input));

    // Spending the change takes it off the list, the file and the balance.
    Coin spent_change = coinOf(5000, sent, 4);
    spent_change.hash160 = hashOf(receive);
    forget_failed_inputs({spent_change});
    EXPECT_EQ(unconfirmed_change().size(), 2u);
    EXPECT_TRUE(address_coins(receive).empty());
    EXPECT_EQ(readJson(snap("w1_change.json"))["coins"].size(), 2u);
    EXPECT_EQ(local_balance(), 1500);
}

// A conflict text does not say which input another transaction spent: the
// inputs are left out for a while, not given up for good.
TEST_F(CoinBooks, ConflictMarksExpire)
{
    platform::setMockTime(1'700'000'000'000);
    const Coin coin = coinOf(500, kTxA, 4);
    forget_failed_inputs({coin});
    EXPECT_TRUE(is_spent(coin));
    EXPECT_FALSE(is_usable(coin));
    EXPECT_EQ(readJson(snap("w1_spent.json")).dump().find(kTxA), std::string::npos);
    platform::advanceMockTime(30 * 60 * 1000);
    EXPECT_FALSE(is_spent(coin));
    EXPECT_TRUE(is_usable(coin));
    platform::setMockTime(0);
}

// An ordinals list decides for 20 s of the program's clock, and so does a
// failed ordinals request; after that the 1-satoshi rule decides again.
TEST_F(CoinBooks, InscriptionKnowledgeAgesOnTheClock)
{
    platform::setMockTime(1'700'000'000'000);
    const std::string address = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
    const Coin listed = coinOf(500, kTxA, 0);
    const Coin dust = coinOf(1, kTxB, 1);
    OrdinalsList list;
    list.inscription_keys = {outpoint_key(kTxA, 0)};
    list.complete = true;
    store_inscription_list(address, list);
    EXPECT_TRUE(is_inscription(address, listed));
    EXPECT_FALSE(is_inscription(address, dust));
    platform::advanceMockTime(19'999);
    EXPECT_TRUE(is_inscription(address, listed));
    platform::advanceMockTime(1);
    EXPECT_FALSE(is_inscription(address, listed));
    EXPECT_TRUE(is_inscription(address, dust));

    store_inscription_list(address, list);
    note_inscription_failure();
    EXPECT_FALSE(is_inscription(address, listed));
    EXPECT_TRUE(is_inscription(address, dust));
    platform::advanceMockTime(19'999);
    store_inscription_list(address, list); // fresh, but the failure is not yet 20 s old
    EXPECT_FALSE(is_inscription(address, listed));
    platform::advanceMockTime(1);
    EXPECT_TRUE(is_inscription(address, listed));
    platform::setMockTime(0);
}

// Entries whose spends the chain has confirmed leave the spent set once a
// complete scan no longer lists them; recent own entries wait an hour for
// lists that lag.
TEST_F(CoinBooks, ConfirmedSpendsLeaveTheSpentSet)
{
    HttpsTestServer server;
    server.http.Get(".*",
                    [](const httplib::Request&, httplib::Response& res) { res.set_content("[]", "application/json"); });
    server.start();
    server.useServer();
    platform::setMockTime(1'700'000'000'000);
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    writeFile("/ord_snap/w1_spent.json", json({{"outpoints", {outpoint_key(kTxA, 1)}}}).dump());
    mark_spent(coinOf(5, kTxB, 2));
    EXPECT_TRUE(is_spent(coinOf(5, kTxA, 1)));

    SpendCoins coins;
    std::string error;
    ASSERT_TRUE(gather_spend_coins(coins, error)) << error;
    EXPECT_FALSE(is_spent(coinOf(5, kTxA, 1)));
    EXPECT_TRUE(is_spent(coinOf(5, kTxB, 2)));
    const std::string file = readJson(snap("w1_spent.json")).dump();
    EXPECT_EQ(file.find(kTxA), std::string::npos);
    EXPECT_NE(file.find(kTxB), std::string::npos);

    platform::advanceMockTime(60 * 60 * 1000);
    ASSERT_TRUE(gather_spend_coins(coins, error)) << error;
    EXPECT_FALSE(is_spent(coinOf(5, kTxB, 2)));
    EXPECT_EQ(readJson(snap("w1_spent.json")), json({{"outpoints", json::array()}}));
    platform::setMockTime(0);
}

TEST_F(CoinBooks, BrokenFilesStartEmpty)
{
    writeFile("/ord_snap/w1_spent.json", "{\"outpoints\": 5}");
    writeFile("/ord_snap/w1_change.json",
              R"({"coins": [{"txid": "zz", "vout": 0, "sats": 5, "addr": "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"},
                            {"txid": ")" +
                  kTxA + R"(", "vout": 1, "sats": 5, "addr": "nope"},
                            {"txid": ")" +
                  kTxA + R"(", "vout": 3, "sats": 9223372036854775807, "addr": "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"},
                            {"txid": ")" +
                  kTxA + R"(", "vout": 2, "sats": 5, "addr": "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"}]})");
    EXPECT_FALSE(is_spent(coinOf(5)));
    ASSERT_EQ(unconfirmed_change().size(), 1u);
    EXPECT_EQ(unconfirmed_change()[0].vout, 2u);
}
