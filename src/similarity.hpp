// How alike two words are, for the "did you mean" tips of the command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

// Jaro similarity of two texts, 0.0 to 1.0, over their code points.
double jaro_similarity(std::string_view a, std::string_view b);

// The candidate most similar to `typed`, when its similarity is above 0.7 (the first of equals).
std::optional<std::string> best_match(std::string_view typed,
                                      const std::vector<std::string>& candidates);

} // namespace reelcut
