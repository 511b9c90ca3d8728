#include "wallet/address.h"

#include "wallet/hashes.h"
#include "wallet/secp256k1.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace cv_tessera_wallet {

static const char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

std::string address_from_hash160(const Bytes& hash160)
{
    if (hash160.size() != 20) return {};
    Bytes payload;
    payload.reserve(25);
    payload.push_back(0x00);
    payload.insert(payload.end(), hash160.begin(), hash160.end());
    const Bytes check = sha256d(payload);
    if (check.size() != 32) return {};
    payload.insert(payload.end(), check.begin(), check.begin() + 4);
    return base58_encode(payload);
}

bool decode_address(std::string_view address, Bytes& hash160)
{
    hash160.clear();
    if (address.size() < 26 || address.size() > 35) return false;
    Bytes decoded;
    if (!base58_decode(address, decoded)) return false;
    if (decoded.size() != 25 || decoded[0] != 0x00) return false;
    const Bytes check = sha256d(decoded.data(), 21);
    if (check.size() != 32 || !std::equal(check.begin(), check.begin() + 4, decoded.begin() + 21)) return false;
    hash160.assign(decoded.begin() + 1, decoded.begin() + 21);
    return true;
}

bool pubkey_from_privkey(std::string_view priv_hex, std::string& pub_hex)
{
    pub_hex.clear();
    Bytes key = hex_decode(priv_hex);
    uint8_t pub[33];
    const bool ok = key.size() == 32 && public_key_of(key.data(), pub);
    OPENSSL_cleanse(key.data(), key.size());
    if (ok) pub_hex = hex_encode(pub, sizeof(pub));
    return ok;
}

std::string address_from_pubkey(std::string_view pub_hex)
{
    const Bytes pub = hex_decode(pub_hex);
    if (pub.size() != 33) return {};
    return address_from_hash160(hash160(pub));
}

Bytes p2pkh_locking_script(const Bytes& hash160)
{
    if (hash160.size() != 20) return {};
    Bytes script {0x76, 0xa9, 0x14};
    script.insert(script.end(), hash160.begin(), hash160.end());
    script.push_back(0x88);
    script.push_back(0xac);
    return script;
}

bool p2pkh_script_hash160(const Bytes& script, Bytes& hash160)
{
    if (script.size() != 25 || script[0] != 0x76 || script[1] != 0xa9 || script[2] != 0x14 || script[23] != 0x88 ||
        script[24] != 0xac)
        return false;
    hash160.assign(script.begin() + 3, script.begin() + 23);
    return true;
}

// Repeated division of the big-endian number by 58, digits collected in
// reverse; each leading zero byte becomes one "1".
std::string base58_encode(const Bytes& data)
{
    size_t zeros = 0;
    while (zeros < data.size() && data[zeros] == 0) ++zeros;
    std::vector<uint8_t> digits; // base 58, least significant first
    digits.reserve(data.size() * 138 / 100 + 1);
    for (size_t i = zeros; i < data.size(); ++i) {
        unsigned carry = data[i];
        for (uint8_t& digit : digits) {
            carry += 256u * digit;
            digit = static_cast<uint8_t>(carry % 58);
            carry /= 58;
        }
        while (carry > 0) {
            digits.push_back(static_cast<uint8_t>(carry % 58));
            carry /= 58;
        }
    }
    std::string text(zeros, '1');
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) text += kBase58Alphabet[*it];
    return text;
}

static int base58Value(char c)
{
    const char* found = std::char_traits<char>::find(kBase58Alphabet, 58, c);
    return found == nullptr ? -1 : static_cast<int>(found - kBase58Alphabet);
}

bool base58_decode(std::string_view text, Bytes& data)
{
    data.clear();
    size_t ones = 0;
    while (ones < text.size() && text[ones] == '1') ++ones;
    std::vector<uint8_t> bytes; // base 256, least significant first
    bytes.reserve(text.size() * 733 / 1000 + 1);
    for (size_t i = ones; i < text.size(); ++i) {
        const int value = base58Value(text[i]);
        if (value < 0) return false;
        unsigned carry = static_cast<unsigned>(value);
        for (uint8_t& byte : bytes) {
            carry += 58u * byte;
            byte = static_cast<uint8_t>(carry & 0xff);
            carry >>= 8;
        }
        while (carry > 0) {
            bytes.push_back(static_cast<uint8_t>(carry & 0xff));
            carry >>= 8;
        }
    }
    data.assign(ones, 0x00);
    data.insert(data.end(), bytes.rbegin(), bytes.rend());
    return true;
}

} // namespace cv_tessera_wallet
