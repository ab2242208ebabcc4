#include "json_text.hpp"

#include "text_format.hpp"

namespace reelcut {

namespace {

// Parsed text is valid UTF-8 already; only a value built in code may need the replacement, and a
// copy of a large string is not free.
void append_utf8_string(std::string& out, const std::string& text) {
    if (valid_utf8(text)) {
        append_json_string(out, text);
    } else {
        append_json_string(out, lossy_utf8(text));
    }
}

// `indent` < 0: compact. Numbers keep the shortest form that reads back the same, with the
// exponent written as "1e21" and "1.5e-7".
void append_json(std::string& out, const nlohmann::json& value, int indent, int level) {
    const auto newline = [&](int depth) {
        if (indent >= 0) {
            out += '\n';
            out.append(static_cast<std::size_t>(indent * depth), ' ');
        }
    };
    switch (value.type()) {
    case nlohmann::json::value_t::object: {
        if (value.empty()) {
            out += "{}";
            return;
        }
        out += '{';
        bool first = true;
        for (const auto& member : value.items()) {
            if (!first) {
                out += ',';
            }
            first = false;
            newline(level + 1);
            append_utf8_string(out, member.key());
            out += indent >= 0 ? ": " : ":";
            append_json(out, member.value(), indent, level + 1);
        }
        newline(level);
        out += '}';
        return;
    }
    case nlohmann::json::value_t::array: {
        if (value.empty()) {
            out += "[]";
            return;
        }
        out += '[';
        bool first = true;
        for (const nlohmann::json& element : value) {
            if (!first) {
                out += ',';
            }
            first = false;
            newline(level + 1);
            append_json(out, element, indent, level + 1);
        }
        newline(level);
        out += ']';
        return;
    }
    case nlohmann::json::value_t::string:
        append_utf8_string(out, value.get_ref<const std::string&>());
        return;
    case nlohmann::json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        return;
    case nlohmann::json::value_t::number_unsigned:
        out += std::to_string(value.get<std::uint64_t>());
        return;
    case nlohmann::json::value_t::number_integer:
        out += std::to_string(value.get<std::int64_t>());
        return;
    case nlohmann::json::value_t::number_float:
        out += json_f64(value.get<double>());
        return;
    default:
        out += "null";
        return;
    }
}

} // namespace

std::string compact_json(const nlohmann::json& value) {
    std::string out;
    append_json(out, value, -1, 0);
    return out;
}

std::string pretty_json(const nlohmann::json& value) {
    std::string out;
    append_json(out, value, 2, 0);
    return out;
}

} // namespace reelcut
