// Dynamic JSON values as text: keys in ascending byte order (the tree keeps them sorted) and
// floats in their shortest round-trip form with a bare exponent ("1e21", "1.5e-7"), the form the
// typed records use too.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace reelcut {

// No white space at all.
std::string compact_json(const nlohmann::json& value);

// Two-space indentation; empty objects and arrays as "{}" and "[]".
std::string pretty_json(const nlohmann::json& value);

} // namespace reelcut
