#include "number_syntax.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>

namespace reelcut {

Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    if (text.empty()) {
        return fail("cannot parse integer from empty string");
    }
    std::string_view digits = text;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return fail("invalid digit found in string");
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return fail("invalid digit found in string");
        }
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            overflow = true; // keep scanning: a later non-digit is the reported error
        } else {
            value = value * 10 + digit;
        }
    }
    if (overflow) {
        return fail("number too large to fit in target type");
    }
    return value;
}

Result<std::int64_t> parse_signed(std::string_view text) {
    if (text.empty()) {
        return fail("cannot parse integer from empty string");
    }
    const bool negative = text.front() == '-';
    std::string_view digits = text;
    if (digits.front() == '+' || digits.front() == '-') {
        digits.remove_prefix(1);
    }
    // The magnitude may reach 2^63 only for a negative value.
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
    if (digits.empty() || digits.front() == '+') {
        return fail("invalid digit found in string"); // a lone or doubled sign
    }
    auto magnitude = parse_unsigned(digits, limit);
    if (!magnitude) {
        if (negative && magnitude.error() == "number too large to fit in target type") {
            return fail("number too small to fit in target type");
        }
        return fail(magnitude.error());
    }
    if (negative) {
        return static_cast<std::int64_t>(0 - *magnitude);
    }
    return static_cast<std::int64_t>(*magnitude);
}

Result<double> parse_float(std::string_view text) {
    if (text.empty()) {
        return fail("cannot parse float from empty string");
    }
    const auto invalid = fail("invalid float literal");
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    std::string lower(body);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "inf" || lower == "infinity") {
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    if (lower == "nan") {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::size_t i = 0;
    std::size_t mantissa_digits = 0;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) {
        ++i, ++mantissa_digits;
    }
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) {
            ++i, ++mantissa_digits;
        }
    }
    if (mantissa_digits == 0) {
        return invalid;
    }
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
            ++i;
        }
        std::size_t exponent_digits = 0;
        while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i]))) {
            ++i, ++exponent_digits;
        }
        if (exponent_digits == 0) {
            return invalid;
        }
    }
    if (i != body.size()) {
        return invalid;
    }
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // from_chars refuses overflow and underflow; the standard syntax rounds them instead.
        value = std::strtod(std::string(body).c_str(), nullptr);
    } else if (ec != std::errc() || ptr != body.data() + body.size()) {
        return invalid;
    }
    return negative ? -value : value;
}

} // namespace reelcut
