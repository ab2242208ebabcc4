#include "text_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace reelcut {

namespace {

// Shortest round-trip digits of a finite, non-zero |value| and the decimal exponent of the
// first digit (value = 0.d1d2d3... * 10^(exp10 + 1)).
struct ShortestDigits {
    std::string digits;
    int exp10 = 0;
};

ShortestDigits shortest_digits(double magnitude) {
    std::array<char, 64> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), magnitude,
                             std::chars_format::scientific);
    ShortestDigits out;
    const char* p = buf.data();
    const char* end = res.ptr;
    for (; p != end && *p != 'e'; ++p) {
        if (*p >= '0' && *p <= '9') {
            out.digits.push_back(*p);
        }
    }
    if (p != end) {
        ++p; // 'e'
        bool negative = false;
        if (p != end && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        int exp = 0;
        std::from_chars(p, end, exp);
        out.exp10 = negative ? -exp : exp;
    }
    // to_chars never emits trailing zeros in the shortest form, but be safe.
    while (out.digits.size() > 1 && out.digits.back() == '0') {
        out.digits.pop_back();
    }
    return out;
}

} // namespace

std::string json_f64(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    std::string out;
    if (std::signbit(value)) {
        out.push_back('-');
    }
    double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        out += "0.0";
        return out;
    }
    ShortestDigits sd = shortest_digits(magnitude);
    const std::string& d = sd.digits;
    const int length = static_cast<int>(d.size());
    const int kk = sd.exp10 + 1; // position of the decimal point after the first kk digits
    const int k = kk - length;   // exponent of the last digit
    if (k >= 0 && kk <= 16) {
        out += d;
        out.append(static_cast<std::size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out.append(d, 0, static_cast<std::size_t>(kk));
        out.push_back('.');
        out.append(d, static_cast<std::size_t>(kk), std::string::npos);
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += d;
    } else {
        out.push_back(d[0]);
        if (length > 1) {
            out.push_back('.');
            out.append(d, 1, std::string::npos);
        }
        out.push_back('e');
        out += std::to_string(kk - 1);
    }
    return out;
}

std::string display_f64(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // Shortest digits laid out in plain notation, padded with zeros: 1e23 is
    // "100000000000000000000000", not the exact binary value that fixed to_chars would print.
    std::string out;
    if (std::signbit(value)) {
        out.push_back('-');
    }
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        out.push_back('0');
        return out;
    }
    const ShortestDigits sd = shortest_digits(magnitude);
    const std::string& d = sd.digits;
    const int length = static_cast<int>(d.size());
    const int kk = sd.exp10 + 1; // digits before the decimal point
    if (kk >= length) {
        out += d;
        out.append(static_cast<std::size_t>(kk - length), '0');
    } else if (kk > 0) {
        out.append(d, 0, static_cast<std::size_t>(kk));
        out.push_back('.');
        out.append(d, static_cast<std::size_t>(kk), std::string::npos);
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += d;
    }
    return out;
}

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    std::size_t run_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(text, run_start, i - run_start);
        run_start = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
            break;
        }
    }
    out.append(text, run_start, std::string_view::npos);
    out.push_back('"');
}

std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

namespace {

// Decodes one UTF-8 sequence at text[i]. Returns the code point and sets `len` to its length,
// or returns -1 and sets `len` to the length of the maximal invalid subpart (at least 1): the
// bytes that a lossy conversion replaces by one U+FFFD.
long decode_utf8(std::string_view text, std::size_t i, std::size_t& len) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    len = 1;
    if (b0 < 0x80) {
        return b0;
    }
    std::size_t need = 0;
    long cp = 0;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0;
        } else if (b0 == 0xED) {
            hi = 0x9F;
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F;
        }
    } else {
        return -1;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= text.size()) {
            len = k;
            return -1;
        }
        const auto b = static_cast<unsigned char>(text[i + k]);
        const unsigned char min = k == 1 ? lo : 0x80;
        const unsigned char max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) {
            len = k;
            return -1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    len = need + 1;
    return cp;
}

// Characters that the debug form writes as \u{...}: control characters, separators
// other than the plain space, the common format characters and private-use code points.
bool debug_escapes(long cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
        return true;
    }
    if (cp == 0xA0 || cp == 0xAD || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200F) ||
        (cp >= 0x2028 && cp <= 0x202F) || (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 ||
        cp == 0xFEFF || (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp >= 0x0600 && cp <= 0x0605) ||
        cp == 0x061C || cp == 0x06DD || cp == 0x070F || cp == 0x180E) {
        return true;
    }
    if ((cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xF0000 || (cp >= 0xE0000 && cp <= 0xE0FFF)) {
        return true;
    }
    // Noncharacters.
    if ((cp & 0xFFFE) == 0xFFFE || (cp >= 0xFDD0 && cp <= 0xFDEF)) {
        return true;
    }
    return false;
}

} // namespace

std::string debug_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t len = 1;
        long cp = decode_utf8(text, i, len);
        if (cp < 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD, as a lossy conversion would show it
            i += len;
            continue;
        }
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case 0:
            out += "\\0";
            break;
        default:
            if (debug_escapes(cp)) {
                std::array<char, 16> hex{};
                auto res = std::to_chars(hex.data(), hex.data() + hex.size(),
                                         static_cast<unsigned long>(cp), 16);
                out += "\\u{";
                out.append(hex.data(), res.ptr);
                out.push_back('}');
            } else {
                out.append(text, i, len);
            }
            break;
        }
        i += len;
    }
    out.push_back('"');
    return out;
}

std::string display_f64_point(double value) {
    std::string out = display_f64(value);
    if (std::isfinite(value) && out.find('.') == std::string::npos) {
        out += ".0";
    }
    return out;
}

std::string_view trim_ascii_whitespace(std::string_view text) {
    constexpr std::string_view kWhitespace = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // ASCII fast path, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 1;
        if (decode_utf8(text, i, len) < 0) {
            return false;
        }
        i += len;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string text;
    text.reserve(bytes.size());
    const size_t n = bytes.size();
    size_t i = 0;
    auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes[at]); };
    auto continuation = [&](size_t at, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return at < n && byte(at) >= lo && byte(at) <= hi;
    };
    while (i < n) {
        const unsigned char lead = byte(i);
        size_t length = 0; // of the valid sequence, or 0 for an invalid one
        size_t valid_prefix = 1;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            if (continuation(i + 1)) {
                length = 2;
            }
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            // Second-byte limits exclude overlong forms (E0) and surrogates (ED).
            const unsigned char lo = lead == 0xE0 ? 0xA0 : 0x80;
            const unsigned char hi = lead == 0xED ? 0x9F : 0xBF;
            if (continuation(i + 1, lo, hi)) {
                valid_prefix = 2;
                if (continuation(i + 2)) {
                    length = 3;
                }
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            // Limits exclude overlong forms (F0) and code points past U+10FFFF (F4).
            const unsigned char lo = lead == 0xF0 ? 0x90 : 0x80;
            const unsigned char hi = lead == 0xF4 ? 0x8F : 0xBF;
            if (continuation(i + 1, lo, hi)) {
                valid_prefix = 2;
                if (continuation(i + 2)) {
                    valid_prefix = 3;
                    if (continuation(i + 3)) {
                        length = 4;
                    }
                }
            }
        }
        if (length > 0) {
            text.append(bytes.substr(i, length));
            i += length;
        } else {
            // One replacement for the longest start of a valid sequence (the maximal subpart).
            text.append(replacement);
            i += valid_prefix;
        }
    }
    return text;
}

} // namespace reelcut
