// Text forms of values shared by the typed-record writers and the messages.
#pragma once

#include <string>
#include <string_view>

namespace reelcut {

// A JSON number as the record files write it: shortest round-trip digits, ".0" on whole
// numbers, exponent form only for very large or very small magnitudes ("1e17", "1e-7").
std::string json_f64(double value);

// A number in a message: shortest round-trip digits, never an exponent, no fraction when whole.
std::string display_f64(double value);

// Appends `text` as a JSON string literal (quotes included) with standard escaping.
void append_json_string(std::string& out, std::string_view text);
std::string json_string(std::string_view text);

// A text in double quotes with backslash escapes for quotes, backslashes and control characters.
std::string debug_string(std::string_view text);

// display_f64 with ".0" appended when the text has no decimal point (finite values): the form of
// a float in Debug output and in the JSON reader's "floating point `20.0`" messages.
std::string display_f64_point(double value);

// `text` without the ASCII white space (space, tab, line feed, carriage return, form feed,
// vertical tab) at either end.
std::string_view trim_ascii_whitespace(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool valid_utf8(std::string_view text);

// Appends the UTF-8 form of one code point (at most U+10FFFF; surrogates are not checked).
// Inline: the record readers' string scanning calls it once per escape.
inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Bytes as text, invalid UTF-8 replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

} // namespace reelcut
