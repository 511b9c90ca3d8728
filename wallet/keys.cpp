#include "wallet/keys.h"

#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_state.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

namespace cv_tessera_wallet {

using Lock = platform::LockGuard<platform::RecursiveMutex>;

// ---- phrases and seeds ----------------------------------------------------

const std::vector<std::string_view>& bip39_words()
{
    static const std::vector<std::string_view> words = {
#include "wallet/bip39_english.inc"
#include "platform/sync.h"
    };
    return words;
}

static int wordIndex(std::string_view word)
{
    const auto& words = bip39_words();
    const auto it = std::lower_bound(words.begin(), words.end(), word);
    return it != words.end() && *it == word ? static_cast<int>(it - words.begin()) : -1;
}

// Words split at spaces and tabs, lower-cased.
static std::vector<std::string> splitWords(std::string_view phrase)
{
    // Room for every word up front: a vector that regrows would leave the
    // words moved so far behind in the freed block, unwiped.
    std::vector<std::string> words;
    words.reserve(phrase.size() / 2 + 1);
    std::string current;
    current.reserve(phrase.size());
    for (const char c : phrase) {
        if (c == ' ' || c == '\t') {
            if (!current.empty()) words.emplace_back(current);
            OPENSSL_cleanse(current.data(), current.size());
            current.clear();
        } else {
            current += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    if (!current.empty()) words.emplace_back(current);
    wipe_string(current);
    return words;
}

bool phrase_entropy(std::string_view phrase, Bytes& entropy)
{
    entropy.clear();
    std::vector<std::string> words = splitWords(phrase);
    bool ok = words.size() == 12;
    // 12 words of 11 bits: 128 bits of entropy, then 4 checksum bits.
    uint8_t bits[17] = {};
    for (size_t w = 0; ok && w < words.size(); ++w) {
        const int index = wordIndex(words[w]);
        if (index < 0) {
            ok = false;
            break;
        }
        for (int b = 0; b < 11; ++b) {
            if ((index >> (10 - b)) & 1) {
                const size_t bit = w * 11 + static_cast<size_t>(b);
                bits[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
            }
        }
    }
    for (std::string& word : words) wipe_string(word);
    if (ok) {
        const Bytes check = sha256(bits, 16);
        ok = check.size() == 32 && (check[0] & 0xF0) == (bits[16] & 0xF0);
    }
    if (ok) entropy.assign(bits, bits + 16);
    OPENSSL_cleanse(bits, sizeof(bits));
    return ok;
}

bool validate_phrase(std::string_view phrase)
{
    Bytes entropy;
    const bool ok = phrase_entropy(phrase, entropy);
    OPENSSL_cleanse(entropy.data(), entropy.size());
    return ok;
}

Bytes seed_from_phrase(std::string_view phrase)
{
    return pbkdf2_sha512(phrase, "mnemonic", 2048, 64);
}

// ---- BIP-32 private derivation --------------------------------------------

void wipe_key(ExtendedKey& key)
{
    OPENSSL_cleanse(key.key.data(), key.key.size());
    OPENSSL_cleanse(key.chain_code.data(), key.chain_code.size());
}

bool master_from_seed(const uint8_t* seed, size_t size, ExtendedKey& master)
{
    static const char kSeedKey[] = "Bitcoin seed";
    Bytes i = hmac_sha512(reinterpret_cast<const uint8_t*>(kSeedKey), sizeof(kSeedKey) - 1, seed, size);
    const bool ok = i.size() == 64 && is_private_key(i.data());
    if (ok) {
        std::copy(i.begin(), i.begin() + 32, master.key.begin());
        std::copy(i.begin() + 32, i.end(), master.chain_code.begin());
    }
    OPENSSL_cleanse(i.data(), i.size());
    return ok;
}

// The child step; a normal index uses parent_pub when the caller already has
// it (saves one scalar multiplication per sibling).
static bool childKey(const ExtendedKey& parent, const uint8_t* parent_pub, uint32_t index, ExtendedKey& child)
{
    uint8_t data[37];
    if (index >= kHardened) {
        data[0] = 0x00;
        std::memcpy(data + 1, parent.key.data(), 32);
    } else if (parent_pub != nullptr) {
        std::memcpy(data, parent_pub, 33);
    } else if (!public_key_of(parent.key.data(), data)) {
        wipe_key(child);
        return false;
    }
    for (int b = 0; b < 4; ++b) data[33 + b] = static_cast<uint8_t>(index >> (24 - 8 * b));
    Bytes i = hmac_sha512(parent.chain_code.data(), 32, data, sizeof(data));
    OPENSSL_cleanse(data, sizeof(data));
    uint8_t key[32];
    const bool ok = i.size() == 64 && add_private_keys(i.data(), parent.key.data(), key);
    if (ok) {
        std::memcpy(child.key.data(), key, 32);
        std::copy(i.begin() + 32, i.end(), child.chain_code.begin());
    } else {
        wipe_key(child);
    }
    OPENSSL_cleanse(key, sizeof(key));
    OPENSSL_cleanse(i.data(), i.size());
    return ok;
}

bool derive_child(const ExtendedKey& parent, uint32_t index, ExtendedKey& child)
{
    return childKey(parent, nullptr, index, child);
}

bool parse_path(std::string_view text, std::vector<uint32_t>& path)
{
    path.clear();
    if (text.empty() || text[0] != 'm') return false;
    size_t at = 1;
    while (at < text.size()) {
        if (text[at] != '/' || path.size() >= 255) return false;
        ++at;
        uint64_t value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<uint64_t>(text[at] - '0');
            if (value >= kHardened) return false;
            ++at;
            ++digits;
        }
        if (digits == 0) return false;
        if (at < text.size() && (text[at] == '\'' || text[at] == 'h' || text[at] == 'H')) {
            value |= kHardened;
            ++at;
        }
        path.push_back(static_cast<uint32_t>(value));
    }
    return true;
}

// priv, pub and address texts of a derived key.
static bool keyTexts(const ExtendedKey& node, std::string& priv, std::string& pub, std::string& address)
{
    uint8_t pub_bytes[33];
    if (!public_key_of(node.key.data(), pub_bytes)) return false;
    address = address_from_hash160(hash160(pub_bytes, sizeof(pub_bytes)));
    if (address.empty()) return false;
    priv = hex_encode(node.key.data(), node.key.size());
    pub = hex_encode(pub_bytes, sizeof(pub_bytes));
    return true;
}

// Follows path from start into node; intermediate keys are wiped.
static bool follow(const ExtendedKey& start, const uint32_t* path, size_t levels, ExtendedKey& node)
{
    node = start;
    for (size_t level = 0; level < levels; ++level) {
        ExtendedKey next;
        const bool ok = derive_child(node, path[level], next);
        wipe_key(node);
        node = next;
        wipe_key(next);
        if (!ok) return false;
    }
    return true;
}

bool derive_from_master(const ExtendedKey& master, const std::vector<uint32_t>& path, std::string& priv,
                        std::string& pub, std::string& address)
{
    wipe_string(priv);
    pub.clear();
    address.clear();
    ExtendedKey node;
    const bool ok = follow(master, path.data(), path.size(), node) && keyTexts(node, priv, pub, address);
    wipe_key(node);
    if (!ok) {
        wipe_string(priv);
        pub.clear();
        address.clear();
    }
    return ok;
}

bool derive_from_phrase(std::string_view phrase, std::string_view path, std::string& priv, std::string& pub,
                        std::string& address)
{
    wipe_string(priv);
    pub.clear();
    address.clear();
    std::vector<uint32_t> levels;
    if (!validate_phrase(phrase) || !parse_path(path, levels)) return false;
    Bytes seed = seed_from_phrase(phrase);
    ExtendedKey master;
    const bool ok = seed.size() == 64 && master_from_seed(seed.data(), seed.size(), master) &&
                    derive_from_master(master, levels, priv, pub, address);
    OPENSSL_cleanse(seed.data(), seed.size());
    wipe_key(master);
    return ok;
}

// ---- the wallet's keys ----------------------------------------------------

KeyPath wallet_path(uint32_t account, uint32_t index)
{
    return {44 | kHardened, 236 | kHardened, account | kHardened, 0, index};
}

// The cached master key of the loaded phrase wallet, computed on first use.
static bool walletMaster(ExtendedKey& master) REQUIRES(wallet_mutex())
{
    WalletState& s = wallet_state();
    if (!s.is_hd || s.phrase.empty()) return false;
    if (!s.seed_ready) {
        Bytes seed = seed_from_phrase(s.phrase);
        const bool ok = seed.size() == 64;
        if (ok) std::copy(seed.begin(), seed.end(), s.seed.begin());
        OPENSSL_cleanse(seed.data(), seed.size());
        if (!ok) return false;
        s.seed_ready = true;
    }
    if (!s.master_ready) {
        ExtendedKey made;
        if (!master_from_seed(s.seed.data(), s.seed.size(), made)) return false;
        s.master_key = made.key;
        s.master_chain = made.chain_code;
        wipe_key(made);
        s.master_ready = true;
    }
    master.key = s.master_key;
    master.chain_code = s.master_chain;
    return true;
}

bool derive(const KeyPath& path, std::string& priv, std::string& pub, std::string& address)
{
    Lock lock(wallet_mutex());
    wipe_string(priv);
    pub.clear();
    address.clear();
    ExtendedKey master;
    const bool ok = walletMaster(master) &&
                    derive_from_master(master, std::vector<uint32_t>(path.begin(), path.end()), priv, pub, address);
    wipe_key(master);
    return ok;
}

bool connect_keys()
{
    Lock lock(wallet_mutex());
    WalletState& s = wallet_state();
    s.keys_ready = false;
    if (!s.is_hd || s.phrase.empty()) {
        s.identity_address.clear();
        s.identity_pub.clear();
        return false;
    }
    s.shown = std::min(s.shown, s.counters[kReceiveAccount]);

    std::string priv, pub, address;
    if (!derive(wallet_path(kReceiveAccount, s.shown), priv, pub, address)) return false;
    wipe_string(s.receive_priv);
    s.receive_priv = std::move(priv);
    s.receive_pub = pub;
    s.receive_address = address;

    const bool identity = derive(wallet_path(kIdentityAccount, 0), priv, pub, address);
    wipe_string(priv);
    if (!identity) return false;
    s.identity_pub = pub;
    s.identity_address = address;

    if (derive(wallet_path(kOrdinalsAccount, s.counters[kOrdinalsAccount]), priv, pub, address))
        s.ord_address = address;
    wipe_string(priv);
    s.keys_ready = true;
    return true;
}

// Adds the addresses of m/44'/236'/account'/0/i up to counters[account] to
// the wallet's address cache (addresses only: no key is kept). Counters only
// grow, so each index is derived once while the wallet stays loaded.
static void extendAddressCache(uint32_t account) REQUIRES(wallet_mutex())
{
    WalletState& s = wallet_state();
    if (s.address_cache_next[account] > s.counters[account]) return;
    ExtendedKey master;
    if (!walletMaster(master)) return;
    const KeyPath prefix = wallet_path(account, 0);
    ExtendedKey chain;
    uint8_t chain_pub[33];
    if (follow(master, prefix.data(), 4, chain) && public_key_of(chain.key.data(), chain_pub)) {
        const uint64_t last = std::min(s.counters[account], kMaxAddressIndex);
        for (uint64_t i = s.address_cache_next[account]; i <= last; ++i) {
            ExtendedKey leaf;
            uint8_t leaf_pub[33];
            if (!childKey(chain, chain_pub, static_cast<uint32_t>(i), leaf) ||
                !public_key_of(leaf.key.data(), leaf_pub)) {
                wipe_key(leaf);
                break;
            }
            wipe_key(leaf);
            s.address_cache.emplace(address_from_hash160(hash160(leaf_pub, sizeof(leaf_pub))),
                                    std::make_pair(account, static_cast<uint32_t>(i)));
            s.address_cache_next[account] = static_cast<uint32_t>(i + 1);
            if (i == 0xFFFFFFFFu) break;
        }
    }
    wipe_key(chain);
    wipe_key(master);
}

bool keys_for_address(std::string_view address, std::string& priv, std::string& pub)
{
    Lock lock(wallet_mutex());
    wipe_string(priv);
    pub.clear();
    Bytes wanted;
    if (!decode_address(address, wanted)) return false;
    WalletState& s = wallet_state();
    if (!s.is_hd) {
        if (s.receive_priv.empty() || s.receive_address != address) return false;
        priv = s.receive_priv;
        pub = s.receive_pub;
        return true;
    }

    for (uint32_t account = 0; account < kAccounts; ++account) extendAddressCache(account);
    const auto it = s.address_cache.find(std::string(address));
    if (it != s.address_cache.end() && it->second.second <= s.counters[it->second.first]) {
        std::string found_address;
        if (derive(wallet_path(it->second.first, it->second.second), priv, pub, found_address) &&
            found_address == address)
            return true;
        wipe_string(priv);
        pub.clear();
    }

    std::string id_priv, id_pub, id_address;
    if (derive(wallet_path(kIdentityAccount, 0), id_priv, id_pub, id_address) && id_address == address) {
        priv = std::move(id_priv);
        pub = std::move(id_pub);
        return true;
    }
    wipe_string(id_priv);
    return false;
}

bool is_own_hash160(const Bytes& h, const std::vector<Coin>& coins, const Bytes& extra)
{
    if (h.size() != 20) return false;
    if (!extra.empty() && h == extra) return true;
    for (const Coin& c : coins)
        if (c.hash160 == h) return true;

    Lock lock(wallet_mutex());
    WalletState& s = wallet_state();
    Bytes own;
    if (decode_address(s.receive_address, own) && own == h) return true;
    if (!s.is_hd) return false;

    const std::string wanted = address_from_hash160(h);
    extendAddressCache(kReceiveAccount);
    const auto it = s.address_cache.find(wanted);
    const bool found = it != s.address_cache.end() && it->second.first == kReceiveAccount &&
                       it->second.second <= s.counters[kReceiveAccount];
    return found || (!s.identity_address.empty() && s.identity_address == wanted);
}

bool identity_private_key(std::string& priv, std::string& error)
{
    Lock lock(wallet_mutex());
    wipe_string(priv);
    error.clear();
    const WalletState& s = wallet_state();
    if (!s.loaded) {
        error = kHdNotConnected;
        return false;
    }
    std::string pub, address;
    if (!s.is_hd || !derive(wallet_path(kIdentityAccount, 0), priv, pub, address)) {
        error = kNoIdentityKey;
        return false;
    }
    return true;
}

bool bn_key(std::string& pub, std::string& priv, std::string& address, std::string& error)
{
    Lock lock(wallet_mutex());
    wipe_string(priv);
    pub.clear();
    address.clear();
    error.clear();
    const WalletState& s = wallet_state();
    if (!s.loaded || !s.is_hd) {
        error = kHdNotConnected;
        return false;
    }
    if (!derive(wallet_path(kBnAccount, 0), priv, pub, address)) {
        error = kNoBnKey;
        return false;
    }
    return true;
}

std::string greeting_address()
{
    Lock lock(wallet_mutex());
    const WalletState& s = wallet_state();
    if (!s.loaded || !s.is_hd) return {};
    std::string priv, pub, address;
    derive(wallet_path(kGreetingAccount, 0), priv, pub, address);
    wipe_string(priv);
    return address;
}

// ---- signed messages ------------------------------------------------------

Bytes signed_message_digest(std::string_view message)
{
    static const char kMagic[] = "Bitcoin Signed Message:\n";
    Bytes buffer;
    buffer.reserve(sizeof(kMagic) + 9 + message.size());
    buffer.push_back(static_cast<uint8_t>(sizeof(kMagic) - 1));
    buffer.insert(buffer.end(), kMagic, kMagic + sizeof(kMagic) - 1);
    write_compact_size(buffer, message.size());
    buffer.insert(buffer.end(), message.begin(), message.end());
    return sha256d(buffer);
}

Bytes message_digest(std::string_view message)
{
    if (message.size() > 65535) return {};
    return signed_message_digest(message);
}

std::string sign_message(std::string_view priv_hex, std::string_view message)
{
    const Bytes digest = message_digest(message);
    Bytes key = hex_decode(priv_hex);
    uint8_t pub[33];
    uint8_t signature[65];
    bool ok = digest.size() == 32 && key.size() == 32 && public_key_of(key.data(), pub) &&
              ecdsa_sign_rs(key.data(), digest.data(), signature + 1, signature + 33);
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) return {};
    for (int id = 0; id < 4; ++id) {
        uint8_t recovered[33];
        if (recover_public_key(digest.data(), signature + 1, signature + 33, id, recovered) &&
            std::memcmp(recovered, pub, sizeof(pub)) == 0) {
            signature[0] = static_cast<uint8_t>(31 + id);
            return base64_encode(signature, sizeof(signature));
        }
    }
    return {};
}

std::string recover_message_pubkey(std::string_view message, std::string_view signature_base64)
{
    const std::string signature = base64_decode(signature_base64);
    const Bytes digest = message_digest(message);
    if (signature.size() != 65 || digest.size() != 32) return {};
    const auto* bytes = reinterpret_cast<const uint8_t*>(signature.data());
    if (bytes[0] < 31 || bytes[0] > 34) return {};
    uint8_t pub[33];
    if (!recover_public_key(digest.data(), bytes + 1, bytes + 33, bytes[0] - 31, pub)) return {};
    return hex_encode(pub, sizeof(pub));
}

} // namespace cv_tessera_wallet
