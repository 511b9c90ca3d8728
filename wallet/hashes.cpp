#include "wallet/hashes.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace cv_tessera_wallet {

// Fetched once: a fetch per call costs more than hashing a transaction.
static const EVP_MD* fetched(const char* name)
{
    return EVP_MD_fetch(nullptr, name, nullptr);
}

static const EVP_MD* sha256Md()
{
    static const EVP_MD* md = fetched("SHA256");
    return md;
}

static const EVP_MD* sha512Md()
{
    static const EVP_MD* md = fetched("SHA512");
    return md;
}

static const EVP_MD* ripemd160Md()
{
    static const EVP_MD* md = fetched("RIPEMD160");
    return md;
}

static Bytes digest(const EVP_MD* md, const uint8_t* data, size_t size)
{
    if (md == nullptr) return {};
    Bytes out(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int length = 0;
    if (EVP_Digest(data, size, out.data(), &length, md, nullptr) != 1 || length != out.size()) return {};
    return out;
}

Bytes sha256(const uint8_t* data, size_t size)
{
    return digest(sha256Md(), data, size);
}

Bytes sha256(const Bytes& data)
{
    return sha256(data.data(), data.size());
}

Bytes sha256d(const uint8_t* data, size_t size)
{
    const Bytes once = sha256(data, size);
    return once.empty() ? once : sha256(once);
}

Bytes sha256d(const Bytes& data)
{
    return sha256d(data.data(), data.size());
}

Bytes ripemd160(const uint8_t* data, size_t size)
{
    return digest(ripemd160Md(), data, size);
}

Bytes hash160(const uint8_t* data, size_t size)
{
    const Bytes once = sha256(data, size);
    return once.empty() ? once : ripemd160(once.data(), once.size());
}

Bytes hash160(const Bytes& data)
{
    return hash160(data.data(), data.size());
}

Bytes sha512(const uint8_t* data, size_t size)
{
    return digest(sha512Md(), data, size);
}

Bytes hmac_sha512(const uint8_t* key, size_t key_size, const uint8_t* data, size_t size)
{
    const EVP_MD* md = sha512Md();
    if (md == nullptr) return {};
    Bytes out(64);
    unsigned int length = 0;
    if (HMAC(md, key, static_cast<int>(key_size), data, size, out.data(), &length) == nullptr || length != 64)
        return {};
    return out;
}

Bytes pbkdf2_sha512(std::string_view password, std::string_view salt, int iterations, size_t length)
{
    const EVP_MD* md = sha512Md();
    if (md == nullptr || iterations < 1) return {};
    Bytes out(length);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, md, static_cast<int>(length), out.data()) != 1)
        return {};
    return out;
}

} // namespace cv_tessera_wallet
