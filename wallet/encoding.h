// Byte-level encodings of the wallet core: hexadecimal, Base64, txid text and
// outpoint keys, and the little-endian, CompactSize and script push-data
// writers every transaction and script is made with.
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

// True when text is exactly 64 hex digits (either case).
bool is_txid(std::string_view text);

// The 32 bytes of a 64-hex txid in the other byte order, lower-case hex (the
// display order <-> internal order). Any other length or a bad digit gives "".
std::string reverse_txid(std::string_view txid);

// "<lower-case txid>:<vout>", the key of a coin in the spent, held and
// reserved sets. Upper-case txids from services give the same key.
std::string outpoint_key(std::string_view txid, uint32_t vout);

// Little-endian integers appended to out.
void write_u32(Bytes& out, uint32_t value);
void write_u64(Bytes& out, uint64_t value);

// 1, 3, 5 or 9 bytes: below 253 one byte, then 0xFD/0xFE/0xFF and 2/4/8 bytes.
void write_compact_size(Bytes& out, uint64_t value);

// A script push of data: a length byte below 76 (0x00 for no data), else
// OP_PUSHDATA1/2/4 with a 1/2/4-byte length, then the data.
void write_push_data(Bytes& out, const uint8_t* data, size_t size);
void write_push_data(Bytes& out, const Bytes& data);

// Byte-wise lower-casing: only A to Z change.
std::string ascii_lower(std::string_view text);

// text without leading and trailing blanks (space, tab, CR, LF, VT, FF).
std::string trim_blanks(std::string_view text);

// For URLs: letters, digits, "-", ".", "_" and "~" as they are; every other
// byte as "%" and two upper-case hex digits.
std::string percent_encode(std::string_view text);

} // namespace cv_tessera_wallet
