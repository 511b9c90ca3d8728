// Identity and sealing speed: sealing a phone record to a key and opening it,
// an identity signature over a record's canonical text and its verification
// (the digest that verifies first, and the fallback that needs all three),
// the whole local record check, and signing with the wallet's identity key
// (derivation included). bench/compare-with-sdk.mjs runs the first four with
// @bsv/sdk.
#include "calls/sealing.h"
#include "services/identity.h"
#include "services/signed_records.h"
#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_file.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace kestrel;

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";
// The canonical text of an audio record, and a 2000-byte record to seal (an
// audio chunk of 0.8 s is about 1300 bytes of GSM, 1750 in Base64).
const std::string kMessage = "CV1|cp|cphone|alice|alice|1700000000|audio|0123456789abcdef|3|gsm||0|"
                             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kPlain(2000, 'r');

const std::string& publicKey()
{
    static const std::string pub = [] {
        std::string made;
        cv_tessera_wallet::pubkey_from_privkey(kPriv, made);
        return made;
    }();
    return pub;
}

void BM_Seal(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(sealToKey(kPlain, publicKey()));
}
BENCHMARK(BM_Seal);

void BM_Open(benchmark::State& state)
{
    const std::string sealed = sealToKey(kPlain, publicKey());
    for (auto _ : state) benchmark::DoNotOptimize(openSealed(sealed, kPriv));
}
BENCHMARK(BM_Open);

void BM_IdentitySign(benchmark::State& state)
{
    for (auto _ : state) benchmark::DoNotOptimize(identitySignWithKey(kPriv, kMessage));
}
BENCHMARK(BM_IdentitySign);

void BM_IdentityVerify(benchmark::State& state)
{
    const IdentitySignature s = identitySignWithKey(kPriv, kMessage);
    for (auto _ : state) benchmark::DoNotOptimize(verifySignedMessage(kMessage, s.publicKey, s.signature));
}
BENCHMARK(BM_IdentityVerify);

// A signature over the double SHA-256: the two digests before it are tried first.
void BM_IdentityVerifyLastDigest(benchmark::State& state)
{
    const cv_tessera_wallet::Bytes key = cv_tessera_wallet::hex_decode(kPriv);
    const cv_tessera_wallet::Bytes digest =
        cv_tessera_wallet::sha256d(reinterpret_cast<const uint8_t*>(kMessage.data()), kMessage.size());
    uint8_t rs[64];
    cv_tessera_wallet::ecdsa_sign_rs(key.data(), digest.data(), rs, rs + 32);
    const std::string signature = cv_tessera_wallet::base64_encode(rs, sizeof(rs));
    for (auto _ : state) benchmark::DoNotOptimize(verifySignedMessage(kMessage, publicKey(), signature));
}
BENCHMARK(BM_IdentityVerifyLastDigest);

void BM_VerifyRecordSignature(benchmark::State& state)
{
    nlohmann::json record = {{"protocol", "CV-Phone"},
                             {"type", "cp"},
                             {"location", "cphone"},
                             {"handle", "alice"},
                             {"actor", "alice"},
                             {"ts", 1700000000},
                             {"kind", "audio"},
                             {"id", "0123456789abcdef"},
                             {"n", 3},
                             {"codec", "gsm"},
                             {"audio", std::string(1750, 'Q')}};
    const IdentitySignature s = identitySignWithKey(kPriv, canonicalRecordText(record));
    record["pubkey"] = s.publicKey;
    record["sig"] = s.signature;
    for (auto _ : state) benchmark::DoNotOptimize(verifyRecordSignature(record));
}
BENCHMARK(BM_VerifyRecordSignature);

// identitySign as the phone calls it: the identity key is derived from the
// cached master key and wiped for every signature.
void BM_IdentitySignWallet(benchmark::State& state)
{
    char folder[] = "/tmp/kestrel-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(folder) + "/wallet.json";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fputs(R"({"version": 2, "mnemonic": "legal winner thank year wave sausage worth useful legal winner )"
                   R"(thank yellow", "recv": [0, 0, 0, 0, 0, 0], "show": 0, "paymail": "alice"})",
                   file);
        std::fclose(file);
    }
    if (!cv_tessera_wallet::load_wallet_from(path)) state.SkipWithError("wallet does not load");
    for (auto _ : state) benchmark::DoNotOptimize(identitySign(kMessage));
    cv_tessera_wallet::unload_wallet();
    std::remove(path.c_str());
    ::rmdir(folder);
}
BENCHMARK(BM_IdentitySignWallet);

} // namespace

BENCHMARK_MAIN();
