#include "wallet/encoding.h"

#include <algorithm>

namespace cv_tessera_wallet {

static const char kHexDigits[] = "0123456789abcdef";
static const char kUpperHex[] = "0123456789ABCDEF";
static const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string hex_encode(const uint8_t* data, size_t size)
{
    std::string text;
    text.resize(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kHexDigits[data[i] >> 4];
        text[2 * i + 1] = kHexDigits[data[i] & 0x0f];
    }
    return text;
}

std::string hex_encode(const Bytes& data)
{
    return hex_encode(data.data(), data.size());
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Bytes hex_decode(std::string_view text)
{
    if (text.size() % 2 != 0) return {};
    Bytes out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return {};
        out[i] = static_cast<uint8_t>(16 * high + low);
    }
    return out;
}

std::string base64_encode(const uint8_t* data, size_t size)
{
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint32_t group = (uint32_t {data[i]} << 16) | (uint32_t {data[i + 1]} << 8) | data[i + 2];
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += kBase64Alphabet[(group >> 6) & 63];
        text += kBase64Alphabet[group & 63];
    }
    if (size - i == 1) {
        const uint32_t group = uint32_t {data[i]} << 16;
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += "==";
    } else if (size - i == 2) {
        const uint32_t group = (uint32_t {data[i]} << 16) | (uint32_t {data[i + 1]} << 8);
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += kBase64Alphabet[(group >> 6) & 63];
        text += '=';
    }
    return text;
}

std::string base64_encode(std::string_view data)
{
    return base64_encode(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

static int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string base64_decode(std::string_view text)
{
    std::string symbols;
    symbols.reserve(text.size());
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') symbols += c;
    if (symbols.size() % 4 != 0) return {};

    std::string out;
    out.reserve(symbols.size() / 4 * 3);
    for (size_t i = 0; i < symbols.size(); i += 4) {
        const bool last = i + 4 == symbols.size();
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = symbols[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2) {
                values[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return {}; // data after padding
            values[k] = base64Value(c);
            if (values[k] < 0) return {};
        }
        const uint32_t group = (uint32_t(values[0]) << 18) | (uint32_t(values[1]) << 12) | (uint32_t(values[2]) << 6) |
                               uint32_t(values[3]);
        out += static_cast<char>((group >> 16) & 0xff);
        if (padding < 2) out += static_cast<char>((group >> 8) & 0xff);
        if (padding < 1) out += static_cast<char>(group & 0xff);
    }
    return out;
}

bool is_txid(std::string_view text)
{
    if (text.size() != 64) return false;
    for (const char c : text)
        if (hexValue(c) < 0) return false;
    return true;
}

std::string reverse_txid(std::string_view txid)
{
    if (!is_txid(txid)) return {};
    Bytes bytes = hex_decode(txid);
    std::reverse(bytes.begin(), bytes.end());
    return hex_encode(bytes);
}

std::string outpoint_key(std::string_view txid, uint32_t vout)
{
    std::string key = ascii_lower(txid);
    key += ':';
    key += std::to_string(vout);
    return key;
}

void write_u32(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void write_u64(Bytes& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void write_compact_size(Bytes& out, uint64_t value)
{
    if (value < 253) {
        out.push_back(static_cast<uint8_t>(value));
    } else if (value < 0x10000) {
        out.push_back(0xFD);
        out.push_back(static_cast<uint8_t>(value));
        out.push_back(static_cast<uint8_t>(value >> 8));
    } else if (value <= 0xFFFFFFFFu) {
        out.push_back(0xFE);
        write_u32(out, static_cast<uint32_t>(value));
    } else {
        out.push_back(0xFF);
        write_u64(out, value);
    }
}

void write_push_data(Bytes& out, const uint8_t* data, size_t size)
{
    if (size < 76) {
        out.push_back(static_cast<uint8_t>(size));
    } else if (size < 256) {
        out.push_back(0x4C);
        out.push_back(static_cast<uint8_t>(size));
    } else if (size <= 65535) {
        out.push_back(0x4D);
        out.push_back(static_cast<uint8_t>(size));
        out.push_back(static_cast<uint8_t>(size >> 8));
    } else {
        out.push_back(0x4E);
        write_u32(out, static_cast<uint32_t>(size));
    }
    out.insert(out.end(), data, data + size);
}

void write_push_data(Bytes& out, const Bytes& data)
{
    write_push_data(out, data.data(), data.size());
}

std::string ascii_lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string trim_blanks(std::string_view text)
{
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::string percent_encode(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kUpperHex[c >> 4];
            out += kUpperHex[c & 15];
        }
    }
    return out;
}

} // namespace cv_tessera_wallet
