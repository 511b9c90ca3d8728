// Wallet core speed: key derivation from a cached master key, ECDSA signing
// of a digest, the FORKID signature hash, serialisation, and building and
// signing the transaction a phone record travels in (two P2PKH coins, 1 sat
// to the receiver, 1 sat to the service, a ~200-byte OP_FALSE OP_RETURN
// push and change). bench/compare-with-sdk.mjs runs the same with @bsv/sdk.
#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

#include <benchmark/benchmark.h>

using namespace cv_tessera_wallet;

namespace {

const char* kPhrase = "legal winner thank year wave sausage worth useful legal winner thank yellow";

ExtendedKey masterKey()
{
    const Bytes seed = seed_from_phrase(kPhrase);
    ExtendedKey master;
    master_from_seed(seed.data(), seed.size(), master);
    return master;
}

struct PhoneTx {
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
};

Coin walletCoin(uint8_t fill, uint32_t index, int64_t sats)
{
    std::string priv, pub, address;
    std::vector<uint32_t> path(wallet_path(kReceiveAccount, index).begin(), wallet_path(kReceiveAccount, index).end());
    derive_from_master(masterKey(), path, priv, pub, address);
    Coin c;
    c.txid = hex_encode(Bytes(32, fill));
    c.vout = index;
    c.sats = sats;
    c.priv = priv;
    c.pub = pub;
    c.hash160 = hash160(hex_decode(pub));
    c.script_pubkey = p2pkh_locking_script(c.hash160);
    return c;
}

// The phone record transaction, change paying 1 sat per 1000 bytes.
PhoneTx buildPhoneTx(const std::vector<Coin>& coins)
{
    PhoneTx tx;
    tx.inputs = coins;
    Bytes data {0x00, 0x6a};
    write_push_data(data, Bytes(200, 0x7b));
    tx.outputs = {{1, p2pkh_locking_script(Bytes(20, 0x11))},
                  {1, p2pkh_locking_script(Bytes(20, 0x22))},
                  {0, data},
                  {0, coins[0].script_pubkey}};
    int64_t in = 0;
    for (const Coin& c : coins) in += c.sats;
    const size_t size = serialize(tx.inputs, tx.outputs, true).size();
    const int64_t fee = std::max<int64_t>(1, (static_cast<int64_t>(size) * 1 + 999) / 1000);
    tx.outputs.back().sats = in - 2 - fee;
    return tx;
}

const std::vector<Coin>& coins()
{
    static const std::vector<Coin> c = {walletCoin(0xa1, 0, 700), walletCoin(0xb2, 1, 1200)};
    return c;
}

void BM_Derive(benchmark::State& state)
{
    const ExtendedKey master = masterKey();
    uint32_t index = 0;
    std::string priv, pub, address;
    for (auto _ : state) {
        const KeyPath p = wallet_path(kReceiveAccount, index++ % 1000);
        derive_from_master(master, std::vector<uint32_t>(p.begin(), p.end()), priv, pub, address);
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK(BM_Derive);

void BM_Sign(benchmark::State& state)
{
    const std::string priv = coins()[0].priv;
    Bytes digest = sha256d(Bytes {1, 2, 3});
    for (auto _ : state) {
        const Bytes der = ecdsa_sign(priv, digest);
        benchmark::DoNotOptimize(der);
        digest[0]++;
    }
}
BENCHMARK(BM_Sign);

void BM_Sighash(benchmark::State& state)
{
    PhoneTx tx = buildPhoneTx(coins());
    for (auto _ : state) {
        const Bytes digest = signature_hash(tx.inputs[1], tx.inputs, tx.outputs, tx.inputs[1].hash160);
        benchmark::DoNotOptimize(digest);
    }
}
BENCHMARK(BM_Sighash);

void BM_Serialize(benchmark::State& state)
{
    PhoneTx tx = buildPhoneTx(coins());
    for (Coin& c : tx.inputs) sign_input(c, tx.inputs, tx.outputs, c.hash160, c.priv, c.pub);
    for (auto _ : state) {
        const Bytes raw = serialize(tx.inputs, tx.outputs, false);
        benchmark::DoNotOptimize(raw);
    }
}
BENCHMARK(BM_Serialize);

void BM_BuildAndSignPhoneTx(benchmark::State& state)
{
    for (auto _ : state) {
        PhoneTx tx = buildPhoneTx(coins());
        for (Coin& c : tx.inputs) sign_input(c, tx.inputs, tx.outputs, c.hash160, c.priv, c.pub);
        const Bytes raw = serialize(tx.inputs, tx.outputs, false);
        const std::string id = txid(raw);
        benchmark::DoNotOptimize(id);
    }
}
BENCHMARK(BM_BuildAndSignPhoneTx);

} // namespace

BENCHMARK_MAIN();
