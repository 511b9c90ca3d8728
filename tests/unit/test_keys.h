// Public key forms the tests feed to code that must accept both encodings.
#pragma once

#include "wallet/address.h"
#include "wallet/encoding.h"

#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <string>

// The compressed public key of a private key, both hex.
inline std::string publicKeyOf(const std::string& priv)
{
    std::string pub;
    EXPECT_TRUE(cv_tessera_wallet::pubkey_from_privkey(priv, pub));
    return pub;
}

// The same point in its 65-byte uncompressed form.
inline std::string uncompressedKey(const std::string& compressedHex)
{
    namespace w = cv_tessera_wallet;
    const w::Bytes in = w::hex_decode(compressedHex);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_secp256k1);
    EC_POINT* point = EC_POINT_new(group);
    EXPECT_EQ(EC_POINT_oct2point(group, point, in.data(), in.size(), nullptr), 1);
    w::Bytes out(65);
    EXPECT_EQ(EC_POINT_point2oct(group, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), nullptr), 65u);
    EC_POINT_free(point);
    EC_GROUP_free(group);
    return w::hex_encode(out);
}
