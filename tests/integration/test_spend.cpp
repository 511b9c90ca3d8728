// The spend command, the phone spend and coin splitting against the devnet,
// with wallets made by the Tessera stand-in: payments reach the chain with
// valid signatures, books follow each spend, and coins that must not be
// spent (spent a moment ago, reserved by a sibling) never are.
#include "spend_fixture.h"

#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "wallet/building.h"
#include "wallet/phone_spend.h"
#include "wallet/spend.h"
#include "wallet/spend_hooks.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using namespace cv_tessera_wallet;
using json = nlohmann::json;

namespace {

const std::string kBob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";

std::atomic<int64_t> observedSpend {0};
void observeSpend(int64_t spent)
{
    observedSpend += spent;
}

bool hasInput(const Transaction& tx, const std::string& txid, uint32_t vout)
{
    for (const TxInput& in : tx.inputs)
        if (in.txid == txid && in.vout == vout) return true;
    return false;
}

} // namespace

TEST_F(SpendOnDevnet, PaysWithSpendAndAgainFromItsOwnChange)
{
    fund({20000});
    observedSpend = 0;
    set_spend_observer(observeSpend);

    const std::string first = spend(kBob, 5000, "for the call");
    ASSERT_EQ(first.rfind("success: ", 0), 0u) << first;
    const std::string txid1 = txidOf(first);
    EXPECT_EQ(devnet.txStatus(txid1), "mempool");
    const Transaction tx1 = chainTx(txid1);
    ASSERT_EQ(tx1.outputs.size(), 3u);
    EXPECT_EQ(p2pkhAddressOf(tx1.outputs[0]), kBob);
    EXPECT_EQ(tx1.outputs[0].sats, 5000);
    EXPECT_EQ(tx1.outputs[1].script, data_script("for the call"));
    EXPECT_EQ(p2pkhAddressOf(tx1.outputs[2]), wallet.receive);
    const int64_t fee1 = 20000 - 5000 - tx1.outputs[2].sats;
    EXPECT_EQ(observedSpend.load(), 5000 + fee1);

    const std::vector<ChangeCoin> change = unconfirmed_change();
    ASSERT_EQ(change.size(), 1u);
    EXPECT_EQ(change[0].txid, txid1);
    EXPECT_EQ(change[0].vout, 2u);

    // Before any block: the only coin is the unconfirmed change.
    const std::string second = spend(kBob, 3000, "");
    ASSERT_EQ(second.rfind("success: ", 0), 0u) << second;
    const Transaction tx2 = chainTx(txidOf(second));
    ASSERT_EQ(tx2.inputs.size(), 1u);
    EXPECT_EQ(tx2.inputs[0].txid, txid1);
    EXPECT_EQ(tx2.inputs[0].vout, 2u);

    devnet.mine();
    EXPECT_EQ(devnet.txStatus(txid1), "confirmed");
    EXPECT_EQ(devnet.txStatus(txidOf(second)), "confirmed");
    set_spend_observer(nullptr);

    EXPECT_EQ(spend(kBob, 1000000, ""), "error: insufficient funds. Need 1000020 sats, you have " +
                                            std::to_string(tx2.outputs[1].sats) + " in your Tessera wallet.");
}

TEST_F(SpendOnDevnet, EmptyWalletHasNothingToSpend)
{
    EXPECT_EQ(spend(kBob, 1000, ""), "error: you have 0 in your Tessera wallet.");
    EXPECT_EQ(local_balance(), 0);
    EXPECT_EQ(phone_send(kBob, "hello", 100, false), "hold: waiting for a confirmed coin");
    EXPECT_EQ(phone_prepare_coins(), "hold: waiting for a confirmed coin");
}

TEST_F(SpendOnDevnet, PhonePayloadsInFastAndSynchronousMode)
{
    fund({3000, 4000});
    const std::string fee_address = devnet.config().message_fee_address;
    const std::string payload = std::string(150, 'p');

    const std::string fast = phone_send(kBob, payload, 100, false, fee_address);
    ASSERT_EQ(fast.rfind("success: ", 0), 0u) << fast;
    const std::string txid1 = txidOf(fast);
    EXPECT_EQ(devnet.txStatus(txid1), "mempool");
    const Transaction tx1 = chainTx(txid1);
    ASSERT_EQ(tx1.outputs.size(), 4u);
    EXPECT_EQ(p2pkhAddressOf(tx1.outputs[0]), kBob);
    EXPECT_EQ(tx1.outputs[0].sats, 1);
    EXPECT_EQ(p2pkhAddressOf(tx1.outputs[1]), fee_address);
    EXPECT_EQ(tx1.outputs[1].sats, 1);
    EXPECT_EQ(tx1.outputs[2].script, data_script(payload));
    EXPECT_EQ(tx1.outputs[2].sats, 0);
    EXPECT_EQ(p2pkhAddressOf(tx1.outputs[3]), wallet.receive);
    const int64_t fee1 = 3000 - 2 - tx1.outputs[3].sats;
    EXPECT_EQ(fast, "success: " + txid1 + " " + std::to_string(fee1));
    ASSERT_EQ(tx1.inputs.size(), 1u);

    // The synchronous send takes the other confirmed coin; a second address
    // that does not decode is left out.
    const std::string sync = phone_send(kBob, "sync", 250, true, "not-an-address");
    ASSERT_EQ(sync.rfind("success: ", 0), 0u) << sync;
    const Transaction tx2 = chainTx(txidOf(sync));
    ASSERT_EQ(tx2.outputs.size(), 3u);
    EXPECT_EQ(tx2.outputs[1].script, data_script("sync"));
    EXPECT_FALSE(hasInput(tx2, tx1.inputs[0].txid, tx1.inputs[0].vout));
    const int64_t fee2 = 4000 - 1 - tx2.outputs[2].sats;
    Coin any;
    any.txid = std::string(64, '0');
    EXPECT_EQ(fee2, fee_for(serialize({any}, tx2.outputs, true).size(), 250));
    EXPECT_EQ(sync, "success: " + txidOf(sync) + " " + std::to_string(fee2));

    devnet.mine();
    EXPECT_EQ(devnet.txStatus(txid1), "confirmed");
    EXPECT_EQ(devnet.txStatus(txidOf(sync)), "confirmed");
}

TEST_F(SpendOnDevnet, SplitsTheLargestCoinTowardsOneHundredTwentyOne)
{
    fund({200000});
    EXPECT_EQ(phone_ready_coins(), 1);
    const std::string split = phone_prepare_coins();
    ASSERT_EQ(split.rfind("success: ", 0), 0u) << split;
    const Transaction tx = chainTx(txidOf(split));
    EXPECT_EQ(tx.outputs.size(), 120u);
    for (const Output& out : tx.outputs) {
        EXPECT_EQ(p2pkhAddressOf(out), wallet.receive);
        EXPECT_GE(out.sats, 200);
    }

    devnet.mine();
    std::string message;
    ASSERT_TRUE(refresh_phone_coins(false, message)) << message; // the split made the refresh due
    EXPECT_EQ(phone_coins().size(), 120u);
    EXPECT_EQ(phone_ready_coins(), 120);
    EXPECT_EQ(phone_prepare_coins(), "ready");
}

TEST_F(SpendOnDevnet, ACoinSpentAMomentAgoIsNeverOfferedAgain)
{
    const std::vector<Coin> coins = fund({6000, 7000});
    const std::string first = spend(kBob, 4000, "");
    ASSERT_EQ(first.rfind("success: ", 0), 0u) << first;
    const Transaction tx1 = chainTx(txidOf(first));
    ASSERT_EQ(tx1.inputs.size(), 1u);
    const Coin used = tx1.inputs[0].vout == 0 ? coins[0] : coins[1];

    // A lagging chain API still lists both funded coins as unspent, and its
    // history shows no mempool spend.
    lagBehind(coins);

    SpendCoins offered;
    std::string error;
    ASSERT_TRUE(gather_spend_coins(offered, error)) << error;
    for (const Coin& c : offered.offered) EXPECT_NE(outpoint(c), outpoint(used));

    std::string message;
    ASSERT_TRUE(refresh_phone_coins(true, message)) << message;
    for (const Coin& c : phone_coins()) EXPECT_NE(outpoint(c), outpoint(used));

    const std::string again = phone_send(kBob, "again", 100, false);
    ASSERT_EQ(again.rfind("success: ", 0), 0u) << again;
    EXPECT_FALSE(hasInput(chainTx(txidOf(again)), used.txid, used.vout));
}

TEST_F(SpendOnDevnet, ASiblingsReservedCoinIsNeverSpent)
{
    const std::vector<Coin> coins = fund({40, 9000, 3000});
    const std::string folder = platform::dataFolder() + "/vitrine";
    platform::makeFolders(folder);
    const json reserves = {{"reserves",
                            {{{"cert", "c1"},
                              {"cert_utxo", coins[1].txid + "_1"},
                              {"pic_utxo", coins[2].txid + "_2"},
                              {"price_sats", 100},
                              {"spot", 1}}}}};
    ASSERT_TRUE(platform::replaceFileAtomically(folder + "/reserves_" + reserve_tag() + ".json", reserves.dump()));

    // Only the 40-satoshi coin is free: too small for a payload, and the
    // spend command sees 40 sats.
    EXPECT_EQ(phone_send(kBob, "hello", 100, false), "hold: waiting for a confirmed coin");
    EXPECT_EQ(phone_send(kBob, "hello", 100, true), "hold: waiting for a confirmed coin");
    EXPECT_EQ(spend(kBob, 1000, ""), "error: insufficient funds. Need 1020 sats, you have 40 in your Tessera wallet.");
    for (const Coin& c : phone_coins()) EXPECT_EQ(c.sats, 40);
    EXPECT_EQ(phone_ready_coins(), 1);
}

TEST_F(SpendOnDevnet, UnconfirmedOnlyWalletHoldsInFastModeAndSpendsSynchronously)
{
    fund({50000});
    const TesseraWallet payee = createTesseraWallet("payee");
    ASSERT_FALSE(payee.id.empty());
    const std::string paid = spend(payee.receive, 8000, "");
    ASSERT_EQ(paid.rfind("success: ", 0), 0u) << paid;

    use(payee); // its only coin is in the mempool
    EXPECT_EQ(phone_send(kBob, "waiting", 100, false), "hold: waiting for a confirmed coin");
    const std::string sync = phone_send(kBob, "now", 100, true);
    ASSERT_EQ(sync.rfind("success: ", 0), 0u) << sync;
    const Transaction tx = chainTx(txidOf(sync));
    ASSERT_EQ(tx.inputs.size(), 1u);
    EXPECT_EQ(tx.inputs[0].txid, txidOf(paid));

    // Its change is unconfirmed too, and the synchronous mode can go on.
    const std::string next = phone_send(kBob, "again", 100, true);
    ASSERT_EQ(next.rfind("success: ", 0), 0u) << next;
    EXPECT_EQ(chainTx(txidOf(next)).inputs[0].txid, txidOf(sync));
}

TEST_F(SpendOnDevnet, ChainApiThrottlingAndOutagesTakeTheirPaths)
{
    fund({5000});
    const std::string base = "/address/" + wallet.receive;

    // One 429: the list is asked again and the coin is found.
    chainFault(base + "/unspent/all", {{"kind", "status"}, {"status", 429}, {"count", 1}});
    std::string message;
    ASSERT_TRUE(refresh_phone_coins(true, message)) << message;
    EXPECT_EQ(phone_coins().size(), 1u);
    const auto throttled = requests("/v1/bsv/main" + base + "/unspent/all");
    ASSERT_GE(throttled.size(), 2u);
    EXPECT_EQ(throttled[throttled.size() - 2]["status"], 429);
    EXPECT_EQ(throttled.back()["status"], 200);

    // The paged list down: the unpaged one answers.
    chainFault(base + "/unspent/all", {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    ASSERT_TRUE(refresh_phone_coins(true, message)) << message;
    EXPECT_EQ(phone_coins().size(), 1u);
    bool unpaged = false;
    for (const json& r : requests("/v1/bsv/main" + base + "/unspent"))
        unpaged = unpaged || (r["path"] == "/v1/bsv/main" + base + "/unspent" && r["status"] == 200);
    EXPECT_TRUE(unpaged);

    // Every list down: the phone holds, the spend says why.
    chainFault(base + "/unspent", {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    chainFault(base + "/unconfirmed", {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    reset_coin_state(); // as a fresh start, with no cached coin

    EXPECT_FALSE(refresh_phone_coins(true, message));
    EXPECT_EQ(message, "hold: waiting for a confirmed coin");
    EXPECT_EQ(phone_send(kBob, "hello", 100, false), "hold: waiting for a confirmed coin");
    const std::string identity_base = "/address/" + wallet.identity;
    chainFault(identity_base + "/unspent", {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    chainFault(identity_base + "/unconfirmed", {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    EXPECT_EQ(spend(kBob, 1000, ""), "error: HTTP 503 \xE2\x80\x93 Service Unavailable");
}

TEST_F(SpendOnDevnet, InscriptionsAndOfferLockedCoinsAreNotOffered)
{
    const auto funded = devnet.control(
        "POST", "/control/fund",
        {{"address", wallet.receive},
         {"sats", json::array({{{"sats", 5000}, {"inscription", {{"contentType", "text/plain"}, {"content", "art"}}}},
                               1,
                               3000,
                               4000})}});
    ASSERT_TRUE(funded.contains("txid")) << funded.dump();
    const std::string id = funded["txid"];

    // The picture application locked the 4000 coin for an offer; an entry
    // already spent is dropped from its file.
    Coin gone;
    gone.txid = std::string(64, '9');
    gone.vout = 3;
    mark_spent(gone);
    const std::string locks = platform::dataFolder() + "/vitrine/offer_locks_" + reserve_tag() + ".json";
    platform::makeFolders(platform::dataFolder() + "/vitrine");
    ASSERT_TRUE(platform::replaceFileAtomically(
        locks, json({{"note", "kept"}, {"utxos", {id + "_3", gone.txid + "_3"}}}).dump()));

    SpendCoins offered;
    std::string error;
    ASSERT_TRUE(gather_spend_coins(offered, error)) << error;
    std::vector<std::string> got;
    for (const Coin& c : offered.offered) got.push_back(outpoint(c));
    EXPECT_EQ(got, (std::vector<std::string> {id + ":1", id + ":2"})); // the plain 1-sat coin and 3000

    std::string text;
    ASSERT_TRUE(platform::readFile(locks, text));
    EXPECT_EQ(json::parse(text), json({{"note", "kept"}, {"utxos", {id + "_3"}}}));

    EXPECT_EQ(spend(kBob, 4000, ""),
              "error: insufficient funds. Need 4034 sats, you have 3001 in your Tessera wallet.");
}

TEST_F(SpendOnDevnet, TheScanLetsOthersUseTheWalletAndStopsWhenItChanged)
{
    fund({5000});
    const TesseraWallet other = createTesseraWallet("other");
    ASSERT_FALSE(other.id.empty());
    // The ordinals list of this wallet's receive address is slow to come.
    devnet.control("POST", "/control/fault",
                   {{"host", "ordinals"},
                    {"path", "/txos/address/" + wallet.receive},
                    {"kind", "delay"},
                    {"ms", 1500},
                    {"count", 1}});

    std::atomic<bool> switched {false};
    std::atomic<bool> spent_first {false};
    std::thread connect([&]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Connecting another wallet, as Tessera connect does it, under the
        // wallet mutex: possible only while the scan has released it.
        platform::LockGuard lock(wallet_mutex());
        unload_wallet();
        set_bound_wallet_id(other.id);
        load_wallet();
        switched = !spent_first;
    });
    const std::string result = spend(kBob, 1000, "");
    spent_first = true;
    connect.join();
    EXPECT_TRUE(switched.load());
    EXPECT_EQ(result, "error: wallet changed.");
}

TEST_F(SpendOnDevnet, CoinsSpentByAnUnconfirmedTransactionAreLeftOut)
{
    const std::vector<Coin> coins = fund({6000, 7000});
    spendBehindItsBack(coins[0]);
    lagBehind(coins, true); // the unspent list lags, the address history does not

    SpendCoins offered;
    std::string error;
    ASSERT_TRUE(gather_spend_coins(offered, error)) << error;
    ASSERT_EQ(offered.offered.size(), 1u);
    EXPECT_EQ(outpoint(offered.offered[0]), outpoint(coins[1]));
    EXPECT_FALSE(is_spent(coins[0])); // known from the history alone
    ASSERT_EQ(address_coins(wallet.receive).size(), 1u);

    const std::string paid = spend(kBob, 5000, "");
    ASSERT_EQ(paid.rfind("success: ", 0), 0u) << paid;
    EXPECT_FALSE(hasInput(chainTx(txidOf(paid)), coins[0].txid, coins[0].vout));
}

// The coins a payment chooses stay under its hold of the wallet mutex until
// it has built and sent with them: a phone send that comes in the moment
// after the choice cannot take one of them first.
TEST_F(SpendOnDevnet, CoinsAreChosenAndUsedWithinOneHold)
{
    fund({5000, 6000});
    platform::RecursiveUniqueLock lock(wallet_mutex());
    SpendCoins offered;
    std::string error;
    ASSERT_TRUE(gather_spend_coins(lock, offered, error)) << error;
    ASSERT_TRUE(lock.owns_lock());
    ASSERT_EQ(offered.offered.size(), 2u);
    std::thread phone([&]() {
        if (!wallet_mutex().try_lock()) return;
        hold_coins({offered.offered.front()});
        wallet_mutex().unlock();
    });
    phone.join();
    for (const Coin& c : offered.offered) EXPECT_FALSE(is_held(c)) << outpoint(c);
}

// Phone sends race payments for the same coins: no coin goes into two
// transactions, and no coin is given up as spent that was not.
TEST_F(SpendOnDevnet, PaymentsRacingPhoneSendsNeverOfferACoinTwice)
{
    const std::vector<Coin> coins = fund(std::vector<int64_t>(16, 3000));
    std::atomic<bool> done {false};
    std::vector<std::string> phoneResults;
    std::thread phone([&]() {
        while (!done && phoneResults.size() < 8) phoneResults.push_back(phone_send(kBob, "race", 100, false));
    });
    std::vector<std::string> payments;
    for (int i = 0; i < 3; ++i) payments.push_back(spend(kBob, 1500, ""));
    done = true;
    phone.join();

    std::map<std::string, std::string> spentBy; // outpoint -> txid
    size_t successes = 0;
    auto take = [&](const std::string& result) {
        const std::string id = txidOf(result);
        if (id.empty()) return;
        ++successes;
        for (const TxInput& in : chainTx(id).inputs) {
            const std::string key = in.txid + ":" + std::to_string(in.vout);
            const auto [it, fresh] = spentBy.emplace(key, id);
            EXPECT_TRUE(fresh) << key << " in " << it->second << " and " << id;
        }
    };
    for (const std::string& r : payments) {
        EXPECT_EQ(r.rfind("success: ", 0), 0u) << r;
        take(r);
    }
    for (const std::string& r : phoneResults) take(r);
    EXPECT_GE(successes, 3u);
    // A coin the books call spent went into one of these transactions.
    for (const Coin& c : coins) {
        if (is_spent(c)) {
            EXPECT_TRUE(spentBy.count(outpoint(c))) << outpoint(c);
        }
    }
}
