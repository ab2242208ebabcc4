#include "webapp/transfer_coding.hpp"

#include <algorithm>

namespace reelcut::http {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool is_chunked(std::string_view coding) {
    constexpr std::string_view name = "chunked";
    return coding.size() == name.size() &&
           std::equal(coding.begin(), coding.end(), name.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
           });
}

} // namespace

BodyFraming judge_transfer_encoding(const std::vector<std::string_view>& values, bool has_length,
                                    bool http10) {
    if (values.empty()) {
        return BodyFraming::as_announced;
    }
    if (http10 || has_length) {
        return BodyFraming::malformed;
    }
    int chunked = 0;
    bool other = false;
    for (std::string_view value : values) {
        // A list; empty elements ("chunked,") are allowed by the list syntax and mean nothing.
        while (!value.empty()) {
            const auto comma = value.find(',');
            const std::string_view coding = trimmed(value.substr(0, comma));
            if (is_chunked(coding)) {
                ++chunked;
            } else if (!coding.empty()) {
                other = true; // gzip, identity, a parameter ("chunked;x=1"), or no token at all
            }
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        }
    }
    if (other) {
        return BodyFraming::not_implemented;
    }
    return chunked == 1 ? BodyFraming::chunked : BodyFraming::malformed;
}

} // namespace reelcut::http
