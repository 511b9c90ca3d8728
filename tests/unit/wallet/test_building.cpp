// The fee rule, the change address and the two builders: which coins they
// take, when change appears or vanishes, and their exact failure texts.
#include "wallet/address.h"
#include "wallet/building.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet_files.h"

#include "platform/config.h"

#include <gtest/gtest.h>

using namespace cv_tessera_wallet;

namespace {

Coin coinOf(int64_t sats, uint8_t fill, uint32_t vout = 0)
{
    Coin c;
    c.txid = hex_encode(Bytes(32, fill));
    c.vout = vout;
    c.sats = sats;
    c.hash160 = Bytes(20, 0x33);
    return c;
}

Output payTo(int64_t sats, uint8_t fill = 0x44)
{
    return {sats, p2pkh_locking_script(Bytes(20, fill))};
}

const Bytes kChange(20, 0x55);

// One input, one requested P2PKH output: 192 bytes in estimate form, 226 with
// change; at 100 sats per 1000 bytes that is a fee of 20, or 23 with change.
constexpr int64_t kNeed = 5000;

std::string addressAt(uint32_t account, uint32_t index)
{
    std::string priv, pub, address;
    derive_from_phrase(kPhrase, "m/44'/236'/" + std::to_string(account) + "'/0/" + std::to_string(index), priv, pub,
                       address);
    return address;
}

} // namespace

TEST(Fee, RuleAndItsFloors)
{
    struct Case {
        size_t size;
        uint32_t rate;
        int64_t fee;
    };
    const Case cases[] = {{226, 1, 1},      {226, 0, 1},      {0, 100, 1},      {1, 100, 1},        {470, 100, 47},
                          {1000, 100, 100}, {1001, 100, 101}, {4220, 100, 422}, {1000, 1000, 1000}, {999, 1, 1}};
    for (const Case& c : cases) EXPECT_EQ(fee_for(c.size, c.rate), c.fee) << c.size << " bytes at " << c.rate;
}

TEST(OutputBuilder, ChangeAppearsStaysOrGoesToTheFee)
{
    struct Case {
        int64_t coin;
        bool ok;
        int64_t fee;
        int64_t change; // 0: no change output
        std::string error;
    };
    const Case cases[] = {
        {kNeed + 1000, true, 23, 977, ""},
        {kNeed + 24, true, 23, 1, ""}, // change of exactly 1 stays an output
        {kNeed + 23, true, 23, 0, ""}, // change 3 without its output, 0 with it: the fee absorbs it
        // Change 1 without its output, -2 with it: the transaction without
        // change is complete and pays 21 where 20 is due.
        {kNeed + 21, true, 21, 0, ""},
        {kNeed + 20, true, 20, 0, ""},
        {kNeed + 19, false, 20, 0, "insufficient funds. Need 5020 sats, you have 5019 in your Tessera wallet."},
    };
    for (const Case& c : cases) {
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = -1;
        std::string error;
        const bool ok =
            build_outputs({coinOf(c.coin, 1)}, inputs, outputs, kChange, {payTo(kNeed)}, fee, error, 0, 100);
        EXPECT_EQ(ok, c.ok) << c.coin;
        EXPECT_EQ(error, c.error) << c.coin;
        EXPECT_EQ(fee, c.fee) << c.coin;
        if (!ok) {
            EXPECT_TRUE(inputs.empty());
            EXPECT_TRUE(outputs.empty());
            continue;
        }
        ASSERT_EQ(outputs.size(), c.change ? 2u : 1u) << c.coin;
        if (c.change) {
            EXPECT_EQ(outputs[1].sats, c.change);
            EXPECT_EQ(outputs[1].script, p2pkh_locking_script(kChange));
        }
        // Whatever is not paid out is the fee: nothing is lost or made up.
        int64_t paid = 0;
        for (const Output& o : outputs) paid += o.sats;
        EXPECT_EQ(c.coin - paid, fee) << c.coin;
        EXPECT_GE(fee, fee_for(serialize(inputs, outputs, true).size(), 100)) << c.coin;
    }
}

TEST(OutputBuilder, TakesCoinsInTheGivenOrderUntilTheyCover)
{
    struct Case {
        std::vector<int64_t> coins;
        int64_t need;
        size_t must_spend;
        std::vector<int64_t> taken;
    };
    const Case cases[] = {
        {{3000, 500, 9000}, 3200, 0, {3000, 500}},
        {{9000, 3000, 500}, 3200, 0, {9000}},
        {{100, 5000, 9000}, 3000, 1, {100, 5000}}, // the must-spend coin is in even though it is not needed
        {{100, 200, 9000}, 3000, 2, {100, 200, 9000}},
        {{100, 200}, 50, 5, {100, 200}}, // must_spend_count beyond the coins takes them all
    };
    for (const Case& c : cases) {
        std::vector<Coin> coins;
        for (size_t i = 0; i < c.coins.size(); ++i) coins.push_back(coinOf(c.coins[i], static_cast<uint8_t>(i + 1)));
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = 0;
        std::string error;
        ASSERT_TRUE(build_outputs(coins, inputs, outputs, kChange, {payTo(c.need)}, fee, error, c.must_spend, 100))
            << error;
        std::vector<int64_t> taken;
        for (const Coin& in : inputs) taken.push_back(in.sats);
        EXPECT_EQ(taken, c.taken) << c.need;
    }
}

TEST(OutputBuilder, RateZeroIsOneSatoshiPerThousandBytes)
{
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    int64_t fee = 0;
    std::string error;
    ASSERT_TRUE(build_outputs({coinOf(10000, 1)}, inputs, outputs, kChange, {payTo(5000)}, fee, error, 0, 0));
    EXPECT_EQ(serialize(inputs, outputs, true).size(), 226u);
    EXPECT_EQ(fee, 1);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[1].sats, 4999);
}

TEST(OutputBuilder, RefusalsAndTheirTexts)
{
    struct Case {
        std::vector<Output> requested;
        std::vector<Coin> coins;
        size_t must_spend;
        std::string error;
    };
    Coin bad = coinOf(5000, 1);
    bad.txid = "not-a-txid";
    const Case cases[] = {
        {{}, {coinOf(5000, 1)}, 0, "nothing to pay."},
        {{{100, {}}}, {coinOf(5000, 1)}, 0, "invalid inscription output."},
        {{{-1, p2pkh_locking_script(kChange)}}, {coinOf(5000, 1)}, 0, "invalid inscription output."},
        {{payTo(100)}, {bad, coinOf(5000, 2)}, 1, "could not include inscription input."},
        {{payTo(100)}, {}, 0, "insufficient funds. Need 105 sats, you have 0 in your Tessera wallet."},
        {{payTo(100)}, {bad}, 0, "insufficient funds. Need 105 sats, you have 0 in your Tessera wallet."},
    };
    for (const Case& c : cases) {
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = 0;
        std::string error;
        EXPECT_FALSE(build_outputs(c.coins, inputs, outputs, kChange, c.requested, fee, error, c.must_spend, 100));
        EXPECT_EQ(error, c.error);
    }

    // A zero-value data output is a valid output; a bad coin that need not be
    // spent first is passed over.
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    int64_t fee = 0;
    std::string error;
    EXPECT_TRUE(build_outputs({bad, coinOf(5000, 2)}, inputs, outputs, kChange, {payTo(1), {0, data_script("hello")}},
                              fee, error, 0, 100))
        << error;
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_EQ(inputs[0].sats, 5000);
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[1].sats, 0);
    EXPECT_EQ(hex_encode(outputs[1].script), "006a0568656c6c6f");
}

TEST(PaymentBuilder, PaysWithAnOptionalNoteAndChangeLast)
{
    Coin bad = coinOf(100000, 9);
    bad.txid = "zz";
    const Bytes dest(20, 0x66);
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    int64_t fee = 0;
    std::string error;
    ASSERT_TRUE(build_payment({bad, coinOf(400, 1), coinOf(800, 2), coinOf(5000, 3)}, inputs, outputs, dest, kChange,
                              1000, "for the call", fee, error))
        << error;
    ASSERT_EQ(inputs.size(), 2u); // 400 + 800 cover 1000 and the fee
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[0].sats, 1000);
    EXPECT_EQ(outputs[0].script, p2pkh_locking_script(dest));
    EXPECT_EQ(outputs[1].sats, 0);
    EXPECT_EQ(outputs[1].script, data_script("for the call"));
    EXPECT_EQ(outputs[2].script, p2pkh_locking_script(kChange));
    EXPECT_EQ(fee, fee_for(serialize(inputs, outputs, true).size(), 100));
    EXPECT_EQ(1200 - 1000 - fee, outputs[2].sats);

    // Without a note there is no data output.
    ASSERT_TRUE(build_payment({coinOf(5000, 3)}, inputs, outputs, dest, kChange, 1000, "", fee, error));
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(fee, 23);

    EXPECT_FALSE(build_payment({coinOf(500, 3)}, inputs, outputs, dest, kChange, 1000, "", fee, error));
    EXPECT_EQ(error, "insufficient funds. Need 1020 sats, you have 500 in your Tessera wallet.");
}

TEST(DataScript, LongPayloadsUsePushData)
{
    const std::string payload(300, 'x');
    const Bytes script = data_script(payload);
    ASSERT_EQ(script.size(), 2u + 3u + 300u);
    EXPECT_EQ(hex_encode(Bytes(script.begin(), script.begin() + 5)), "006a4d2c01");
}

class ChangeAddress : public WalletFiles {
protected:
    void TearDown() override
    {
        platform::setConfig(platform::Config {});
        WalletFiles::TearDown();
    }
    static void oracles(const std::vector<std::string>& list)
    {
        platform::Config values;
        values.house_oracles = list;
        platform::setConfig(values);
    }
    static Bytes hashOf(const std::string& address)
    {
        Bytes h;
        decode_address(address, h);
        return h;
    }
};

TEST_F(ChangeAddress, ReceiveAddressUnlessItIsAHouseOracle)
{
    Bytes h;
    std::string error;
    EXPECT_FALSE(choose_change(h, error));
    EXPECT_EQ(error, "tessera address decode failed.");

    writeWallet(phraseWallet("[0, 2, 0, 0, 0, 0]", "1"));
    ASSERT_TRUE(load_wallet());
    struct Case {
        std::vector<std::string> oracles;
        std::string change; // empty: refused
    };
    const Case cases[] = {
        {{}, addressAt(1, 1)},
        {{addressAt(1, 0)}, addressAt(1, 1)},
        {{addressAt(1, 1)}, addressAt(1, 0)},
        {{addressAt(1, 1), addressAt(1, 0)}, addressAt(1, 2)},
        {{addressAt(1, 1), addressAt(1, 0), addressAt(1, 2)}, ""},
    };
    for (const Case& c : cases) {
        oracles(c.oracles);
        const bool ok = choose_change(h, error);
        EXPECT_EQ(ok, !c.change.empty());
        if (ok)
            EXPECT_EQ(h, hashOf(c.change));
        else
            EXPECT_EQ(error, "change would land on a house oracle.");
    }
}

TEST_F(ChangeAddress, SingleKeyWalletHasNowhereElse)
{
    std::string priv, pub, address;
    derive_from_phrase(kPhrase, "m/44'/236'/1'/0/0", priv, pub, address);
    writeWallet(R"({"priv": ")" + priv + R"("})");
    ASSERT_TRUE(load_wallet());
    Bytes h;
    std::string error;
    ASSERT_TRUE(choose_change(h, error));
    EXPECT_EQ(h, hashOf(address));
    oracles({address});
    EXPECT_FALSE(choose_change(h, error));
    EXPECT_EQ(error, "change would land on a house oracle.");
}

TEST_F(ChangeAddress, SignsEachInputWithTheKeyOfItsAddress)
{
    writeWallet(phraseWallet("[0, 2, 0, 0, 0, 0]", "1"));
    ASSERT_TRUE(load_wallet());
    const std::vector<std::pair<uint32_t, uint32_t>> paths = {{1, 1}, {1, 0}, {100, 0}};
    std::vector<Coin> inputs;
    std::vector<std::string> pubs;
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string priv, pub, address;
        derive(wallet_path(paths[i].first, paths[i].second), priv, pub, address);
        wipe_string(priv);
        Coin c = coinOf(1000, static_cast<uint8_t>(i + 1));
        c.hash160 = hashOf(address);
        inputs.push_back(c);
        pubs.push_back(pub);
    }
    inputs[0].hash160.clear(); // no hash: the receive key
    const std::vector<Output> outputs {payTo(2000)};
    ASSERT_TRUE(sign_inputs(inputs, outputs));
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Bytes& script = inputs[i].script_sig;
        ASSERT_GT(script.size(), 34u);
        const Bytes pub(script.end() - 33, script.end());
        EXPECT_EQ(hex_encode(pub), pubs[i]) << i;
        const size_t der_size = script[0] - 1;
        const Bytes der(script.begin() + 1, script.begin() + 1 + static_cast<long>(der_size));
        Coin unsigned_input = inputs[i];
        const Bytes digest =
            signature_hash(unsigned_input, inputs, outputs, i == 0 ? hashOf(addressAt(1, 1)) : inputs[i].hash160);
        EXPECT_TRUE(ecdsa_verify_der(pub.data(), digest.data(), der)) << i;
    }

    // A coin of an address the wallet does not hold cannot be signed.
    inputs[1].hash160 = Bytes(20, 0x77);
    EXPECT_FALSE(sign_inputs(inputs, outputs));
}
