#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>

using namespace cv_tessera_wallet;
using json = nlohmann::json;

namespace {

struct VectorCase {
    std::string name;
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    std::vector<std::string> sighash;
    std::string hex;
    std::string txid;
};

// Signature hashes, serialisations and txids made by @bsv/sdk
// (tests/interop/make-sighash-vectors.mjs).
std::vector<VectorCase> sdkVectors()
{
    std::ifstream file(std::string(KESTREL_TEST_DATA) + "/forkid-sighash.json");
    const json doc = json::parse(file, nullptr, false);
    std::vector<VectorCase> cases;
    if (!doc.is_object()) return cases;
    for (const json& c : doc["cases"]) {
        VectorCase v;
        v.name = c["name"];
        for (const json& i : c["inputs"]) {
            Coin coin;
            coin.txid = i["txid"];
            coin.vout = i["vout"];
            coin.sats = i["sats"];
            coin.script_pubkey = hex_decode(i["script"].get<std::string>());
            coin.script_sig = hex_decode(i["script_sig"].get<std::string>());
            if (i.contains("hash160")) coin.hash160 = hex_decode(i["hash160"].get<std::string>());
            v.inputs.push_back(coin);
        }
        for (const json& o : c["outputs"]) v.outputs.push_back({o["sats"], hex_decode(o["script"].get<std::string>())});
        for (const json& h : c["sighash"]) v.sighash.push_back(h);
        v.hex = c["hex"];
        v.txid = c["txid"];
        cases.push_back(v);
    }
    return cases;
}

const std::string kKey = "e8f32e723decf4051aefac8e2c93c9c5b214313817cdb01a1494b917c8436b35";
const std::string kPub = "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2";

Coin coin(uint8_t fill, uint32_t vout, int64_t sats)
{
    Coin c;
    c.txid = hex_encode(Bytes(32, fill));
    c.vout = vout;
    c.sats = sats;
    c.priv = kKey;
    c.pub = kPub;
    c.hash160 = hash160(hex_decode(kPub));
    return c;
}

std::vector<Output> someOutputs()
{
    Bytes data {0x00, 0x6a};
    write_push_data(data, Bytes(200, 0x42));
    return {{1, p2pkh_locking_script(Bytes(20, 7))}, {0, data}, {5000, p2pkh_locking_script(Bytes(20, 9))}};
}

// The DER signature and public key of a P2PKH unlocking script.
bool splitUnlocking(const Bytes& script, Bytes& der, Bytes& pub)
{
    if (script.empty() || script[0] < 9 || script[0] > 75 || script.size() < 1u + script[0] + 1) return false;
    const size_t sig_size = script[0];
    der.assign(script.begin() + 1, script.begin() + 1 + static_cast<long>(sig_size) - 1);
    if (script[sig_size] != kSighashAllForkId) return false;
    const size_t at = 1 + sig_size;
    if (script[at] != 33 || script.size() != at + 34) return false;
    pub.assign(script.begin() + static_cast<long>(at) + 1, script.end());
    return true;
}

} // namespace

TEST(Transaction, MatchesTheSdkOnFixedVectors)
{
    const auto cases = sdkVectors();
    ASSERT_EQ(cases.size(), 4u);
    for (const VectorCase& v : cases) {
        for (size_t i = 0; i < v.inputs.size(); ++i)
            EXPECT_EQ(hex_encode(signature_hash(v.inputs[i], v.inputs, v.outputs, v.inputs[i].hash160)), v.sighash[i])
                << v.name << " input " << i;
        const Bytes raw = serialize(v.inputs, v.outputs, false);
        EXPECT_EQ(hex_encode(raw), v.hex) << v.name;
        EXPECT_EQ(txid(raw), v.txid) << v.name;

        Transaction parsed;
        ASSERT_TRUE(parse_transaction_hex(v.hex, parsed)) << v.name;
        ASSERT_EQ(parsed.inputs.size(), v.inputs.size());
        ASSERT_EQ(parsed.outputs.size(), v.outputs.size());
        EXPECT_EQ(parsed.version, 1u);
        for (size_t i = 0; i < v.inputs.size(); ++i) {
            EXPECT_EQ(parsed.inputs[i].txid, v.inputs[i].txid);
            EXPECT_EQ(parsed.inputs[i].vout, v.inputs[i].vout);
            EXPECT_EQ(parsed.inputs[i].script_sig, v.inputs[i].script_sig);
            EXPECT_EQ(parsed.inputs[i].sequence, kTxSequence);
        }
        for (size_t o = 0; o < v.outputs.size(); ++o) {
            EXPECT_EQ(parsed.outputs[o].sats, v.outputs[o].sats);
            EXPECT_EQ(parsed.outputs[o].script, v.outputs[o].script);
        }
    }
}

TEST(Transaction, EstimatePlaceholderHasTheFeeRuleSize)
{
    std::vector<Coin> inputs {coin(1, 0, 1000)};
    const std::vector<Output> outputs {{900, p2pkh_locking_script(Bytes(20, 3))}};
    const Bytes estimate = serialize(inputs, outputs, true);
    // version 4, count 1, outpoint 36, script 1 + 107, sequence 4, count 1, value 8, script 1 + 25, lock time 4
    EXPECT_EQ(estimate.size(), 4u + 1 + 36 + 1 + 107 + 4 + 1 + 8 + 1 + 25 + 4);
    EXPECT_EQ(estimate[41], 0x6b);
    EXPECT_EQ(Bytes(estimate.begin() + 42, estimate.begin() + 149), Bytes(107, 0));

    ASSERT_TRUE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, kKey, kPub));
    const Bytes real = serialize(inputs, outputs, false);
    EXPECT_LE(real.size(), estimate.size());
    EXPECT_GE(real.size() + 3, estimate.size());
}

TEST(Transaction, BadTxidGivesNothing)
{
    std::vector<Coin> inputs {coin(1, 0, 1000), coin(2, 1, 1000)};
    inputs[1].txid = "zz" + inputs[1].txid.substr(2);
    EXPECT_TRUE(serialize(inputs, someOutputs(), false).empty());
    EXPECT_TRUE(serialize(inputs, someOutputs(), true).empty());
    EXPECT_TRUE(signature_hash(inputs[0], inputs, someOutputs(), inputs[0].hash160).empty());
    inputs[1].txid = inputs[0].txid.substr(2);
    EXPECT_TRUE(serialize(inputs, someOutputs(), false).empty());
}

TEST(Transaction, SignedInputsVerifyWithLowSAndTheirOwnScriptCode)
{
    std::vector<Coin> inputs {coin(1, 0, 1000), coin(2, 3, 2500), coin(3, 1, 700)};
    // The middle coin has a known, non-P2PKH locking script: it is signed against that.
    inputs[1].script_pubkey = hex_decode("21" + kPub + "ac");
    const auto outputs = someOutputs();
    const uint8_t half_order[32] = {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                    0xff, 0xff, 0xff, 0xff, 0xff, 0x5d, 0x57, 0x6e, 0x73, 0x57, 0xa4,
                                    0x50, 0x1d, 0xdf, 0xe9, 0x2f, 0x46, 0x68, 0x1b, 0x20, 0xa0};
    for (int round = 0; round < 20; ++round) {
        for (Coin& c : inputs) {
            ASSERT_TRUE(sign_input(c, inputs, outputs, c.hash160, c.priv, c.pub));
            const Bytes digest = signature_hash(c, inputs, outputs, c.hash160);
            Bytes der, pub;
            ASSERT_TRUE(splitUnlocking(c.script_sig, der, pub));
            EXPECT_EQ(hex_encode(pub), kPub);
            EXPECT_TRUE(ecdsa_verify_der(pub.data(), digest.data(), der));
            // DER: 30 len 02 rlen r 02 slen s; s at most 32 bytes and <= n/2.
            ASSERT_GE(der.size(), 8u);
            const size_t s_at = 4 + der[3] + 2;
            ASSERT_LT(s_at, der.size() + 1);
            const size_t s_size = der[s_at - 1];
            ASSERT_EQ(s_at + s_size, der.size());
            ASSERT_LE(s_size, 32u);
            Bytes s32(32 - s_size, 0);
            s32.insert(s32.end(), der.begin() + static_cast<long>(s_at), der.end());
            EXPECT_LE(std::memcmp(s32.data(), half_order, 32), 0);
        }
    }
    const Bytes against_own = signature_hash(inputs[1], inputs, outputs, inputs[1].hash160);
    Coin rebuilt = inputs[1];
    rebuilt.script_pubkey.clear();
    EXPECT_NE(against_own, signature_hash(rebuilt, inputs, outputs, inputs[1].hash160));
}

TEST(Transaction, OtherInputsCommitOnlyTheirOutpoints)
{
    std::vector<Coin> inputs {coin(1, 0, 1000), coin(2, 3, 2500), coin(3, 1, 700)};
    const auto outputs = someOutputs();
    const Bytes first = signature_hash(inputs[0], inputs, outputs, inputs[0].hash160);
    const Bytes second = signature_hash(inputs[1], inputs, outputs, inputs[1].hash160);
    EXPECT_NE(first, second);

    std::vector<Coin> other_values = inputs;
    other_values[2].sats = 1;
    other_values[2].script_pubkey = {0x51};
    EXPECT_EQ(signature_hash(other_values[0], other_values, outputs, inputs[0].hash160), first);

    std::vector<Coin> other_outpoint = inputs;
    other_outpoint[2].vout = 2;
    EXPECT_NE(signature_hash(other_outpoint[0], other_outpoint, outputs, inputs[0].hash160), first);

    auto other_outputs = outputs;
    other_outputs[0].sats = 2;
    EXPECT_NE(signature_hash(inputs[0], inputs, other_outputs, inputs[0].hash160), first);
}

TEST(Transaction, SigningRefusesBadKeys)
{
    std::vector<Coin> inputs {coin(1, 0, 1000)};
    const auto outputs = someOutputs();
    inputs[0].script_sig = {0x01, 0x02};
    const std::string other_pub = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
    EXPECT_FALSE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, kKey, other_pub));
    EXPECT_FALSE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, std::string(64, '0'), ""));
    EXPECT_FALSE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, "abcd", ""));
    EXPECT_FALSE(sign_input(inputs[0], inputs, outputs, Bytes {}, kKey, kPub));
    EXPECT_EQ(inputs[0].script_sig, (Bytes {0x01, 0x02}));
    EXPECT_TRUE(ecdsa_sign(kKey, Bytes(31, 1)).empty());
    EXPECT_TRUE(ecdsa_sign("", Bytes(32, 1)).empty());
    // An empty pub is computed; upper-case hex is the same key.
    EXPECT_TRUE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, kKey, ""));
    std::string upper = kPub;
    for (char& c : upper) c = static_cast<char>(std::toupper(c));
    EXPECT_TRUE(sign_input(inputs[0], inputs, outputs, inputs[0].hash160, kKey, upper));
}

TEST(Transaction, ParserRefusesMalformedBytes)
{
    const auto cases = sdkVectors();
    ASSERT_FALSE(cases.empty());
    const Bytes good = hex_decode(cases[1].hex);
    Transaction tx;
    ASSERT_TRUE(parse_transaction(good, tx));

    std::vector<std::pair<Bytes, const char*>> bad;
    bad.push_back({{}, "empty"});
    bad.push_back({Bytes(good.begin(), good.end() - 1), "lock time cut"});
    bad.push_back({Bytes(good.begin(), good.begin() + 30), "cut inside the first input"});
    Bytes trailing = good;
    trailing.push_back(0);
    bad.push_back({trailing, "trailing byte"});
    Bytes many_inputs = good;
    many_inputs[4] = 0xfe; // then reads 4 bytes of count: far beyond the data
    bad.push_back({many_inputs, "input count beyond the data"});
    Bytes huge_script = {1, 0, 0, 0, 1};
    huge_script.insert(huge_script.end(), 36, 0);
    huge_script.insert(huge_script.end(), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    bad.push_back({huge_script, "script length beyond the data"});
    Bytes big_value = {1, 0, 0, 0, 0, 1};
    big_value.insert(big_value.end(), {0, 0, 0, 0, 0, 0, 0, 0x80, 1, 0x51, 0, 0, 0, 0});
    bad.push_back({big_value, "output value above 2^63-1"});
    bad.push_back({hex_decode("0100000000fe0000000000000000"), "no outputs counted in five bytes"});
    bad.push_back({hex_decode("0100000000fd000000000000"), "no outputs counted in three bytes"});
    for (const auto& [bytes, why] : bad) {
        EXPECT_FALSE(parse_transaction(bytes, tx)) << why;
        EXPECT_TRUE(tx.inputs.empty() && tx.outputs.empty()) << why;
    }
    // The same empty transaction with its counts in the shortest form is read.
    EXPECT_TRUE(parse_transaction_hex("01000000000000000000", tx));
    EXPECT_FALSE(parse_transaction_hex("0", tx));
    EXPECT_FALSE(parse_transaction_hex("zz", tx));
}

// What others broadcast is read leniently for its data: the strict parser
// refuses each of these, the data reader still finds what is there.
TEST(Transaction, DataPushesAreReadFromWhatTheStrictParserRefuses)
{
    Coin coin;
    coin.txid = std::string(64, 'a');
    coin.sats = 5000;
    const Bytes first = {'h', 'i'};
    const Bytes second(300, 'x'); // an OP_PUSHDATA2 push
    Bytes firstScript = {0x00, 0x6a}, secondScript = {0x6a};
    write_push_data(firstScript, first);
    write_push_data(secondScript, second);
    const Bytes raw = serialize({coin}, {{1, firstScript}, {0, Bytes {0x76, 0xa9}}, {0, secondScript}}, true);
    ASSERT_FALSE(raw.empty());
    Transaction tx;
    ASSERT_TRUE(parse_transaction(raw, tx));
    EXPECT_EQ(output_data_pushes(raw), (std::vector<Bytes> {first, second}));

    // The input count 1 written as 0xfd 0x01 0x00.
    Bytes longCount(raw.begin(), raw.begin() + 4);
    longCount.insert(longCount.end(), {0xfd, 0x01, 0x00});
    longCount.insert(longCount.end(), raw.begin() + 5, raw.end());
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<Bytes> pushes;
    };
    for (const Case& c : {Case {"a CompactSize not in its shortest form", longCount, {first, second}},
                          Case {"no lock time", Bytes(raw.begin(), raw.end() - 4), {first, second}},
                          Case {"cut inside the last script", Bytes(raw.begin(), raw.end() - 40), {first}},
                          Case {"cut inside the inputs", Bytes(raw.begin(), raw.begin() + 30), {}}}) {
        EXPECT_FALSE(parse_transaction(c.bytes, tx)) << c.name;
        EXPECT_EQ(output_data_pushes(c.bytes), c.pushes) << c.name;
    }
}
