#include "similarity.hpp"

#include <algorithm>
#include <cstdint>

namespace reelcut {

double jaro_similarity(std::string_view a_text, std::string_view b_text) {
    auto code_points = [](std::string_view s) {
        std::vector<std::uint32_t> out;
        for (std::size_t i = 0; i < s.size();) {
            auto c = static_cast<unsigned char>(s[i]);
            std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
            std::uint32_t cp = 0;
            for (std::size_t k = 0; k < len && i + k < s.size(); ++k) {
                cp = (cp << 8) | static_cast<unsigned char>(s[i + k]);
            }
            out.push_back(cp);
            i += len;
        }
        return out;
    };
    const auto a = code_points(a_text);
    const auto b = code_points(b_text);
    if (a.empty() && b.empty()) {
        return 1.0;
    }
    if (a.empty() || b.empty()) {
        return 0.0;
    }
    const std::size_t window = std::max<std::size_t>(std::max(a.size(), b.size()) / 2, 1) - 1;
    std::vector<bool> a_hit(a.size()), b_hit(b.size());
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::size_t lo = i > window ? i - window : 0;
        std::size_t hi = std::min(i + window + 1, b.size());
        for (std::size_t j = lo; j < hi; ++j) {
            if (!b_hit[j] && a[i] == b[j]) {
                a_hit[i] = b_hit[j] = true;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) {
        return 0.0;
    }
    std::size_t transpositions = 0;
    for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
        if (!a_hit[i]) {
            continue;
        }
        while (!b_hit[j]) {
            ++j;
        }
        if (a[i] != b[j]) {
            ++transpositions;
        }
        ++j;
    }
    const double m = static_cast<double>(matches);
    return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
            (m - static_cast<double>(transpositions) / 2.0) / m) /
           3.0;
}

std::optional<std::string> best_match(std::string_view typed,
                                      const std::vector<std::string>& candidates) {
    double best = 0.7;
    std::optional<std::string> found;
    for (const auto& candidate : candidates) {
        double score = jaro_similarity(typed, candidate);
        if (score > best) {
            best = score;
            found = candidate;
        }
    }
    return found;
}

} // namespace reelcut
