#include "phone/text.h"

#include "wallet/encoding.h"

#include <cstdio>
#include <ctime>

namespace kestrel {

static constexpr char32_t kReplacement = 0xFFFD;

static void appendUtf16(std::u16string& out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

std::u16string utf8ToWide(std::string_view bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t length = 0;
        char32_t cp = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, cp = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, cp = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, cp = lead & 0x07, minimum = 0x10000;
        } else {
            out += static_cast<char16_t>(kReplacement);
            ++i;
            continue;
        }
        // Take continuation bytes while they fit; a broken sequence becomes
        // one replacement character and decoding resumes at the offending byte.
        size_t taken = 1;
        while (taken < length && i + taken < bytes.size() &&
               (static_cast<unsigned char>(bytes[i + taken]) & 0xC0) == 0x80) {
            cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + taken]) & 0x3F);
            ++taken;
        }
        if (taken < length || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            out += static_cast<char16_t>(kReplacement);
        else
            appendUtf16(out, cp);
        i += taken;
    }
    return out;
}

static void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string wideToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement); // lone surrogate
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

std::string toLowerAscii(std::string_view text)
{
    return cv_tessera_wallet::ascii_lower(text);
}

std::string base64Encode(std::string_view bytes)
{
    return cv_tessera_wallet::base64_encode(bytes);
}

std::string base64Decode(std::string_view text)
{
    return cv_tessera_wallet::base64_decode(text);
}

std::u16string formatMessageTime(int64_t seconds)
{
    if (seconds <= 0) return u"time not on the message";
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local {};
    if (!localtime_r(&when, &local)) return {};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (local.tm_mon < 0 || local.tm_mon > 11) return {};
    char buffer[64];
    // Month names are fixed English, as in the "C" locale, whatever the user's locale.
    std::snprintf(buffer, sizeof(buffer), "%02d %s %04d, %02d:%02d", local.tm_mday, kMonths[local.tm_mon],
                  local.tm_year + 1900, local.tm_hour, local.tm_min);
    return utf8ToWide(buffer);
}

std::u16string trimBlanks(std::u16string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) ++begin;
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) --end;
    return std::u16string(text.substr(begin, end - begin));
}

} // namespace kestrel
