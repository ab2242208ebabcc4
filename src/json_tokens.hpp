// The token level of the strict JSON scanner (json_scan.hpp): the cursor over one text, the
// error message with its line and column, and the readers of strings, numbers and the literal
// words, with the JSON library's texts. Header-only, so that the markers reader's hot loop
// inlines it.
#pragma once

#include "text_format.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fmt/format.h>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

namespace reelcut::strict_json {

enum class Kind { Null, Bool, U64, I64, F64, String, Seq, Map };

// What the reader keeps of one JSON value: scalars in full, containers by kind only.
struct Scalar {
    Kind kind = Kind::Null;
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
    std::string s;       // only when the caller asked for string contents
    std::size_t end = 0; // column of the value's last character
};

// The description of a value in an "invalid type" or "invalid value" message.
inline std::string unexpected_text(const Scalar& v) {
    switch (v.kind) {
    case Kind::Null:
        return "null";
    case Kind::Bool:
        return v.b ? "boolean `true`" : "boolean `false`";
    case Kind::U64:
        return fmt::format("integer `{}`", v.u);
    case Kind::I64:
        return fmt::format("integer `{}`", v.i);
    case Kind::F64:
        return fmt::format("floating point `{}`", display_f64_point(v.f));
    case Kind::String:
        return "string " + debug_string(v.s);
    case Kind::Seq:
        return "sequence";
    case Kind::Map:
        return "map";
    }
    return "value";
}

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Rough decimal exponent of a non-zero number token: > 0 means huge, <= 0 tiny.
inline long long decimal_magnitude(const char* p, const char* end) {
    if (p < end && *p == '-') {
        ++p;
    }
    long long int_digits = 0;
    long long lead_frac_zeros = 0;
    bool seen_nonzero = false;
    for (; p < end && is_digit(*p); ++p) {
        if (*p != '0' || seen_nonzero) {
            seen_nonzero = true;
            ++int_digits;
        }
    }
    if (p < end && *p == '.') {
        for (++p; p < end && is_digit(*p); ++p) {
            if (!seen_nonzero) {
                if (*p == '0') {
                    ++lead_frac_zeros;
                } else {
                    seen_nonzero = true;
                }
            }
        }
    }
    long long exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool neg = false;
        if (p < end && (*p == '+' || *p == '-')) {
            neg = *p == '-';
            ++p;
        }
        for (; p < end && is_digit(*p); ++p) {
            exp = std::min<long long>(exp * 10 + (*p - '0'), 1'000'000'000LL);
        }
        if (neg) {
            exp = -exp;
        }
    }
    const long long base = int_digits > 0 ? int_digits : -lead_frac_zeros;
    return base + exp;
}

// The cursor over one text and its token readers; the structure around them is Scanner's.
class TokenReader {
  public:
    // The message of the last failure, with its position.
    const std::string& error() const { return error_; }

  protected:
    void start_tokens(std::string_view text) {
        begin_ = text.data();
        p_ = begin_;
        end_ = begin_ + text.size();
    }

    const char* begin_ = nullptr;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
    std::string error_;
    std::string key_buf_;

    std::size_t col() const { return static_cast<std::size_t>(p_ - begin_); }

    bool fail(std::string_view message, std::size_t column) {
        std::size_t line = 1;
        std::size_t line_start = 0;
        const std::size_t size = static_cast<std::size_t>(end_ - begin_);
        column = std::min(column, size); // a peeked position past the last byte stays at the end
        for (std::size_t k = 0; k < column; ++k) {
            if (begin_[k] == '\n') {
                ++line;
                line_start = k + 1;
            }
        }
        error_ = fmt::format("{} at line {} column {}", message, line, column - line_start);
        return false;
    }
    bool fail_eof(std::string_view message) {
        return fail(message, static_cast<std::size_t>(end_ - begin_));
    }

    void skip_ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) {
            ++p_;
        }
    }

    // A skipped string from its opening quote. A control character is reported at its own
    // position here, one column before where a kept string reports it.
    bool ignore_string() {
        ++p_; // '"'
        while (true) {
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' &&
                   static_cast<unsigned char>(*p_) >= 0x20) {
                ++p_;
            }
            if (p_ == end_) {
                return fail_eof("EOF while parsing a string");
            }
            if (*p_ == '"') {
                ++p_;
                return true;
            }
            if (*p_ != '\\') {
                return fail("control character (\\u0000-\\u001F) found while parsing a string",
                            col());
            }
            ++p_;
            if (p_ == end_) {
                return fail_eof("EOF while parsing a string");
            }
            const char e = *p_++;
            if (e == 'u') {
                unsigned ignored = 0;
                if (!parse_hex4(ignored)) {
                    return false;
                }
            } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                       e != 'r' && e != 't') {
                return fail("invalid escape", col());
            }
        }
    }

    // A skipped number: syntax only, so no range errors; at the end of the text a missing digit
    // reads as "invalid number".
    bool ignore_number() {
        const char* int_start = nullptr;
        const char* int_end = nullptr;
        bool is_float = false;
        // The library reads an ignored number by its syntax alone, and calls it invalid even
        // where the text ends inside it.
        return scan_number("invalid number", int_start, int_end, is_float);
    }

    // The syntax of a number token at the cursor, which ends up just past it: `int_start` and
    // `int_end` bound the digits before any fraction, `is_float` tells whether a fraction or
    // an exponent follows. Where the text ends inside the token the error is `eof_message`.
    bool scan_number(std::string_view eof_message, const char*& int_start, const char*& int_end,
                     bool& is_float) {
        // The next character must be a digit.
        const auto digit_next = [&] {
            if (p_ == end_) {
                return fail_eof(eof_message);
            }
            return is_digit(*p_) || fail("invalid number", col() + 1);
        };
        const auto skip_digits = [&] {
            while (p_ < end_ && is_digit(*p_)) {
                ++p_;
            }
        };
        if (*p_ == '-') {
            ++p_;
        }
        if (!digit_next()) {
            return false;
        }
        int_start = p_;
        if (*p_ == '0') {
            ++p_;
            if (p_ < end_ && is_digit(*p_)) {
                return fail("invalid number", col() + 1);
            }
        } else {
            skip_digits();
        }
        int_end = p_;
        is_float = false;
        if (p_ < end_ && *p_ == '.') {
            is_float = true;
            ++p_;
            if (!digit_next()) {
                return false;
            }
            skip_digits();
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            is_float = true;
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (!digit_next()) {
                return false;
            }
            skip_digits();
        }
        return true;
    }

    bool parse_ident(const char* word, Scalar& v) {
        ++p_; // first letter, already matched
        for (const char* w = word + 1; *w != '\0'; ++w) {
            if (p_ == end_) {
                return fail_eof("EOF while parsing a value");
            }
            if (*p_ != *w) {
                return fail("expected ident", col() + 1);
            }
            ++p_;
        }
        v.end = col();
        return true;
    }

    // An object key: a view of the line when it has no escapes, else decoded into key_buf_.
    bool parse_key(std::string_view& key) {
        const char* start = p_ + 1;
        const char* s = start;
        while (s < end_ && *s != '"' && *s != '\\' && static_cast<unsigned char>(*s) >= 0x20) {
            ++s;
        }
        if (s < end_ && *s == '"') {
            key = std::string_view(start, static_cast<std::size_t>(s - start));
            p_ = s + 1;
            return true;
        }
        if (!parse_string(&key_buf_)) {
            return false;
        }
        key = key_buf_;
        return true;
    }

    // Four hex digits of a \u escape. Fewer than four bytes left is the end of the text, whatever
    // they are.
    bool parse_hex4(unsigned& out) {
        out = 0;
        if (end_ - p_ < 4) {
            p_ = end_;
            return fail_eof("EOF while parsing a string");
        }
        for (int k = 0; k < 4; ++k) {
            const int h = hex_value(*p_);
            ++p_;
            if (h < 0) {
                return fail("invalid escape", col());
            }
            out = (out << 4) | static_cast<unsigned>(h);
        }
        return true;
    }

    // A string literal from its opening quote; decoded into *out unless out is null (then only
    // checked). The line is valid UTF-8 already.
    bool parse_string(std::string* out) {
        if (out != nullptr) {
            out->clear();
        }
        ++p_; // '"'
        while (true) {
            const char* run = p_;
            while (p_ < end_ && *p_ != '"' && *p_ != '\\' &&
                   static_cast<unsigned char>(*p_) >= 0x20) {
                ++p_;
            }
            if (out != nullptr && p_ != run) {
                out->append(run, static_cast<std::size_t>(p_ - run));
            }
            if (p_ == end_) {
                return fail_eof("EOF while parsing a string");
            }
            const char c = *p_++;
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                return fail("control character (\\u0000-\\u001F) found while parsing a string",
                            col());
            }
            if (p_ == end_) {
                return fail_eof("EOF while parsing a string");
            }
            const char e = *p_++;
            char plain = 0;
            switch (e) {
            case '"':
            case '\\':
            case '/':
                plain = e;
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u': {
                unsigned first = 0;
                if (!parse_hex4(first)) {
                    return false;
                }
                unsigned long cp = first;
                if (first >= 0xDC00 && first <= 0xDFFF) {
                    // The JSON library names a stray trailing surrogate this way too.
                    return fail("lone leading surrogate in hex escape", col());
                }
                if (first >= 0xD800 && first <= 0xDBFF) {
                    if (p_ == end_ || (*p_ == '\\' && p_ + 1 == end_)) {
                        return fail_eof("EOF while parsing a string");
                    }
                    if (*p_ != '\\' || p_[1] != 'u') {
                        // The offending byte is consumed: the one after the backslash, if any.
                        return fail("unexpected end of hex escape", col() + (*p_ == '\\' ? 2 : 1));
                    }
                    p_ += 2;
                    unsigned second = 0;
                    if (!parse_hex4(second)) {
                        return false;
                    }
                    if (second < 0xDC00 || second > 0xDFFF) {
                        return fail("lone leading surrogate in hex escape", col());
                    }
                    cp = 0x10000 + ((static_cast<unsigned long>(first) - 0xD800) << 10) +
                         (second - 0xDC00);
                }
                if (out != nullptr) {
                    append_utf8(*out, static_cast<char32_t>(cp));
                }
                continue;
            }
            default:
                return fail("invalid escape", col());
            }
            if (out != nullptr) {
                out->push_back(plain);
            }
        }
    }

    // A number token: integers without fraction or exponent become U64/I64 when they fit,
    // everything else a correctly rounded F64 (out of range for a double is an error, an
    // underflow reads as zero).
    bool parse_number(Scalar& v) {
        const char* start = p_;
        const bool negative = *p_ == '-';
        const char* int_start = nullptr;
        const char* int_end = nullptr;
        bool is_float = false;
        if (!scan_number("EOF while parsing a value", int_start, int_end, is_float)) {
            return false;
        }
        v.end = col();
        if (!is_float) {
            std::uint64_t magnitude = 0;
            auto res = std::from_chars(int_start, int_end, magnitude);
            if (res.ec == std::errc()) {
                constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
                if (!negative) {
                    v.kind = Kind::U64;
                    v.u = magnitude;
                    return true;
                }
                if (magnitude != 0 && magnitude <= kMinMagnitude) {
                    v.kind = Kind::I64;
                    v.i = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                     : -static_cast<std::int64_t>(magnitude);
                    return true;
                }
                // "-0" and integers below the 64-bit range become floats, as the JSON library
                // reads them.
            }
        }
        v.kind = Kind::F64;
        double value = 0.0;
        auto res = std::from_chars(start, p_, value);
        if (res.ec == std::errc::result_out_of_range) {
            if (decimal_magnitude(start, p_) > 0) {
                return fail("number out of range", col());
            }
            value = negative ? -0.0 : 0.0;
        } else if (res.ec != std::errc() || res.ptr != p_) {
            return fail("invalid number", col());
        }
        v.f = value;
        return true;
    }
};

} // namespace reelcut::strict_json
