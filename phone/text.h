// Text utilities of the phone: UTF-8/UTF-16 conversion, ASCII lower-casing,
// Base64, the date line of the message lists and blank trimming.
//
// Core strings are UTF-8 std::string; UTF-16 is for the windows only. The
// conversions replace malformed input with U+FFFD instead of rejecting it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

std::u16string utf8ToWide(std::string_view bytes);
std::string wideToUtf8(std::u16string_view text);

// Byte-wise: only A to Z change.
std::string toLowerAscii(std::string_view text);

// Standard Base64 with "=" padding and no line breaks; empty in, empty out.
std::string base64Encode(std::string_view bytes);
// Invalid input gives empty bytes.
std::string base64Decode(std::string_view text);

// "05 Dec 2026, 14:07" in local time; "time not on the message" for 0 or
// less; empty when the local-time conversion fails.
std::u16string formatMessageTime(int64_t seconds);

// Removes leading and trailing spaces and tabs.
std::u16string trimBlanks(std::u16string_view text);

} // namespace kestrel
