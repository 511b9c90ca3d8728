// Byte-level encodings of the wallet core: hexadecimal and Base64.
//
// Decoders never throw: bad input gives an empty result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cv_tessera_wallet {

using Bytes = std::vector<uint8_t>;

// Lower-case hex, two digits per byte.
std::string hex_encode(const uint8_t* data, size_t size);
std::string hex_encode(const Bytes& data);

// Upper and lower case digits; an odd length or any other character gives an
// empty result.
Bytes hex_decode(std::string_view text);

// Standard alphabet with "=" padding, no line breaks.
std::string base64_encode(const uint8_t* data, size_t size);
std::string base64_encode(std::string_view data);

// Standard alphabet; blanks, tabs, CR and LF are skipped; padding is
// required. Anything else that does not decode gives empty bytes.
std::string base64_decode(std::string_view text);

} // namespace cv_tessera_wallet
