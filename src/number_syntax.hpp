// Numbers read from text in the standard decimal syntax, with the standard failure texts that
// the messages quote ("invalid float literal", "invalid digit found in string", ...).
#pragma once

#include "result.hpp"

#include <cstdint>
#include <string_view>

namespace reelcut {

// Optional "+", then decimal digits only; at most `max`.
Result<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);

// Optional sign, then decimal digits only; within the 64-bit signed range.
Result<std::int64_t> parse_signed(std::string_view text);

// Optional sign, digits with an optional point and exponent, or the words inf, infinity and nan
// in any case; no hexadecimal forms, no white space.
Result<double> parse_float(std::string_view text);

} // namespace reelcut
