// Curve operation speed: our wallet/secp256k1.h functions (DER signing,
// DER verification, the full-point ECDH of sealed payloads, one child-key
// step: private-key addition and its public key) next to the same work done
// by direct libsecp256k1 calls, so the cost of our layer shows.
// bench/compare-with-sdk.mjs runs the same operations with @bsv/sdk.
#include "wallet/encoding.h"
#include "wallet/hashes.h"
#include "wallet/secp256k1.h"

#include <benchmark/benchmark.h>

#include <secp256k1.h>
#include <secp256k1_ecdh.h>

#include <cstring>

using namespace cv_tessera_wallet;

namespace {

const Bytes& key()
{
    static const Bytes k = sha256(Bytes {'k', 'e', 'y'});
    return k;
}

const Bytes& peerKey()
{
    static const Bytes k = sha256(Bytes {'p', 'e', 'e', 'r'});
    return k;
}

struct Raw {
    secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
};

secp256k1_context* raw()
{
    static Raw r;
    return r.ctx;
}

void BM_CurveSign(benchmark::State& state)
{
    Bytes digest = sha256d(Bytes {1, 2, 3});
    for (auto _ : state) {
        const Bytes der = ecdsa_sign_der(key().data(), digest.data());
        benchmark::DoNotOptimize(der);
        digest[0]++;
    }
}
BENCHMARK(BM_CurveSign);

void BM_RawSign(benchmark::State& state)
{
    Bytes digest = sha256d(Bytes {1, 2, 3});
    for (auto _ : state) {
        secp256k1_ecdsa_signature sig;
        uint8_t der[72];
        size_t size = sizeof(der);
        if (secp256k1_ecdsa_sign(raw(), &sig, digest.data(), key().data(), nullptr, nullptr) != 1 ||
            secp256k1_ecdsa_signature_serialize_der(raw(), der, &size, &sig) != 1)
            state.SkipWithError("signing failed");
        const Bytes out(der, der + size);
        benchmark::DoNotOptimize(out);
        digest[0]++;
    }
}
BENCHMARK(BM_RawSign);

void BM_CurveVerify(benchmark::State& state)
{
    const Bytes digest = sha256d(Bytes {1, 2, 3});
    const Bytes der = ecdsa_sign_der(key().data(), digest.data());
    uint8_t pub[33];
    public_key_of(key().data(), pub);
    for (auto _ : state) benchmark::DoNotOptimize(ecdsa_verify_der(pub, digest.data(), der));
}
BENCHMARK(BM_CurveVerify);

void BM_RawVerify(benchmark::State& state)
{
    const Bytes digest = sha256d(Bytes {1, 2, 3});
    const Bytes der = ecdsa_sign_der(key().data(), digest.data());
    uint8_t pub[33];
    public_key_of(key().data(), pub);
    for (auto _ : state) {
        secp256k1_pubkey point;
        secp256k1_ecdsa_signature sig;
        const bool ok = secp256k1_ec_pubkey_parse(raw(), &point, pub, 33) == 1 &&
                        secp256k1_ecdsa_signature_parse_der(raw(), &sig, der.data(), der.size()) == 1 &&
                        secp256k1_ecdsa_verify(raw(), &sig, digest.data(), &point) == 1;
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_RawVerify);

void BM_CurveEcdh(benchmark::State& state)
{
    uint8_t peer[33], shared[33];
    public_key_of(peerKey().data(), peer);
    for (auto _ : state) {
        ecdh_compressed(key().data(), peer, 33, shared);
        benchmark::DoNotOptimize(shared);
    }
}
BENCHMARK(BM_CurveEcdh);

int copyCompressed(unsigned char* out, const unsigned char* x, const unsigned char* y, void*)
{
    out[0] = static_cast<unsigned char>(0x02 | (y[31] & 1));
    std::memcpy(out + 1, x, 32);
    return 1;
}

void BM_RawEcdh(benchmark::State& state)
{
    uint8_t peer[33], shared[33];
    public_key_of(peerKey().data(), peer);
    for (auto _ : state) {
        secp256k1_pubkey point;
        const bool ok = secp256k1_ec_pubkey_parse(raw(), &point, peer, 33) == 1 &&
                        secp256k1_ecdh(raw(), shared, &point, key().data(), copyCompressed, nullptr) == 1;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(shared);
    }
}
BENCHMARK(BM_RawEcdh);

// One BIP-32 child step after the HMAC: child = tweak + parent, and the
// child's compressed public key.
void BM_CurveChildKey(benchmark::State& state)
{
    Bytes tweak = sha256(Bytes {'t'});
    uint8_t child[32], pub[33];
    for (auto _ : state) {
        add_private_keys(tweak.data(), key().data(), child);
        public_key_of(child, pub);
        benchmark::DoNotOptimize(pub);
        tweak[31]++;
    }
}
BENCHMARK(BM_CurveChildKey);

void BM_RawChildKey(benchmark::State& state)
{
    Bytes tweak = sha256(Bytes {'t'});
    uint8_t child[32], pub[33];
    for (auto _ : state) {
        std::memcpy(child, key().data(), 32);
        secp256k1_pubkey point;
        size_t size = sizeof(pub);
        const bool ok = secp256k1_ec_seckey_tweak_add(raw(), child, tweak.data()) == 1 &&
                        secp256k1_ec_pubkey_create(raw(), &point, child) == 1 &&
                        secp256k1_ec_pubkey_serialize(raw(), pub, &size, &point, SECP256K1_EC_COMPRESSED) == 1;
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(pub);
        tweak[31]++;
    }
}
BENCHMARK(BM_RawChildKey);

} // namespace

BENCHMARK_MAIN();
