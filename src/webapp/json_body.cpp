#include "webapp/json_body.hpp"

#include "webapp/server.hpp"

#include "json_text.hpp"
#include "text_format.hpp"

#include <array>
#include <fmt/format.h>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace reelcut {

namespace {

using nlohmann::json;

constexpr int kMaxDepth = 128;

// What the text says about its tree before it is built.
struct TextShape {
    // The position of the first bracket that opens a level past kMaxDepth, if any.
    std::optional<std::pair<std::size_t, std::size_t>> too_deep;
    std::size_t cost = 0; // bytes the tree is estimated to take
};

// The estimate follows how the library lays a tree out: every value takes 16 bytes in its
// parent's vector (which may have grown to twice what it holds), an object member a map node of
// about 96 bytes, a string a heap string of 32 bytes plus its text; while a string is read the
// lexer holds it once more.
TextShape shape_of(const std::string& text) {
    TextShape shape;
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    std::size_t line = 1;
    std::size_t column = 0;
    std::size_t values = 1;
    std::size_t members = 0;
    std::size_t strings = 0;
    std::size_t string_start = 0;
    std::size_t string_bytes = 0;
    std::size_t longest_string = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
        }
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
                string_bytes += i - string_start;
                longest_string = std::max(longest_string, i - string_start);
            }
            continue;
        }
        switch (c) {
        case '"':
            in_string = true;
            string_start = i;
            ++strings;
            break;
        case '[':
        case '{':
            ++values;
            if (++depth > kMaxDepth) {
                shape.too_deep = std::pair(line, column);
                return shape;
            }
            break;
        case ']':
        case '}':
            --depth;
            break;
        case ',':
            ++values;
            break;
        case ':':
            ++members;
            break;
        default:
            break;
        }
    }
    if (in_string) {
        string_bytes += text.size() - string_start; // an unterminated string is still read
        longest_string = std::max(longest_string, text.size() - string_start);
    }
    shape.cost = 32 * values + 96 * members + 48 * strings + string_bytes + longest_string;
    return shape;
}

// The SAX half of the library's own tree builder, except that the tree is the caller's: when an
// allocation fails half-way, the caller still holds the tree and can dismantle it.
class TreeBuilder {
  public:
    explicit TreeBuilder(json& root) : root_(root) { stack_.reserve(kMaxDepth + 2); }

    bool null() { return add(nullptr); }
    bool boolean(bool v) { return add(v); }
    bool number_integer(json::number_integer_t v) { return add(v); }
    bool number_unsigned(json::number_unsigned_t v) { return add(v); }
    bool number_float(json::number_float_t v, const json::string_t&) { return add(v); }
    // The lexer's buffer is taken over, not copied: it is cleared before the next token anyway.
    bool string(json::string_t& v) { return add(std::move(v)); }
    bool binary(json::binary_t& v) { return add(json(std::move(v))); }
    bool start_object(std::size_t) { return open(json::value_t::object); }
    bool key(json::string_t& k) {
        member_ = &stack_.back()->get_ref<json::object_t&>()[k];
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(json::value_t::array); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        error_ = e.what();
        return false;
    }

    const std::string& error() const { return error_; }

  private:
    template <class V> json* place(V&& v) {
        if (stack_.empty()) {
            root_ = json(std::forward<V>(v));
            return &root_;
        }
        json& parent = *stack_.back();
        if (parent.is_array()) {
            auto& elements = parent.get_ref<json::array_t&>();
            elements.emplace_back(std::forward<V>(v));
            return &elements.back();
        }
        *member_ = json(std::forward<V>(v));
        return member_;
    }
    template <class V> bool add(V&& v) {
        place(std::forward<V>(v));
        return true;
    }
    bool open(json::value_t type) {
        stack_.push_back(place(type)); // never reallocates: the depth is checked beforehand
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }

    json& root_;
    std::vector<json*> stack_;
    json* member_ = nullptr;
    std::string error_;
};

std::string without_library_tag(std::string message) {
    // "[json.exception.parse_error.101] parse error at ...": the tag means nothing to a user.
    if (message.starts_with("[json.exception.")) {
        if (const auto end = message.find("] "); end != std::string::npos) {
            message.erase(0, end + 2);
        }
    }
    return message;
}

constexpr std::string_view kOutOfMemory = "out of memory while parsing";

BoundedJson parse_bounded(const std::string& text, std::optional<std::size_t> budget) {
    const TextShape shape = shape_of(text);
    if (shape.too_deep) {
        return JsonSyntaxError{fmt::format("parse error at line {}, column {}: nesting deeper "
                                           "than {} levels",
                                           shape.too_deep->first, shape.too_deep->second,
                                           kMaxDepth)};
    }
    if (budget && shape.cost > *budget) {
        return JsonRefusal{413, fmt::format("JSON body too large to parse: it needs about {} MiB, "
                                            "at most {} MiB",
                                            (shape.cost + (1 << 20) - 1) >> 20, *budget >> 20)};
    }
    json root;
    try {
        TreeBuilder builder(root);
        if (!json::sax_parse(text, &builder)) {
            dismantle_json(root);
            return JsonSyntaxError{without_library_tag(builder.error())};
        }
    } catch (const std::bad_alloc&) {
        dismantle_json(root);
        return JsonRefusal{500, std::string(kOutOfMemory)};
    } catch (const std::exception& e) {
        dismantle_json(root);
        return JsonSyntaxError{without_library_tag(e.what())};
    }
    return root;
}

void answer_refusal(http::Request& request, const JsonRefusal& refusal) {
    (void)request.respond(json_response(refusal.status, json_failure(refusal.message)));
}

} // namespace

void dismantle_json(json& value) noexcept {
    // Depth-first along the last children: each removed element is a scalar or an empty
    // container, whose destruction frees and never allocates. Trees deeper than the path can
    // hold are not built by this module; the rest of such a tree is left to the destructor.
    std::array<json*, kMaxDepth + 2> path{};
    std::size_t depth = 0;
    path[depth++] = &value;
    auto nonempty_container = [](const json& v) { return v.is_structured() && !v.empty(); };
    while (depth > 0) {
        json& node = *path[depth - 1];
        json* child = nullptr;
        if (node.is_array() && !node.empty()) {
            child = &node.get_ref<json::array_t&>().back();
        } else if (node.is_object() && !node.empty()) {
            child = &std::prev(node.get_ref<json::object_t&>().end())->second;
        } else {
            --depth;
            continue;
        }
        if (nonempty_container(*child)) {
            if (depth == path.size()) {
                return;
            }
            path[depth++] = child;
            continue;
        }
        if (node.is_array()) {
            node.get_ref<json::array_t&>().pop_back();
        } else {
            auto& members = node.get_ref<json::object_t&>();
            members.erase(std::prev(members.end()));
        }
    }
    value = nullptr;
}

JsonBody parse_json_text(const std::string& text) {
    BoundedJson parsed = parse_bounded(text, std::nullopt);
    if (auto* refused = std::get_if<JsonRefusal>(&parsed)) {
        return JsonSyntaxError{std::move(refused->message)};
    }
    if (auto* bad = std::get_if<JsonSyntaxError>(&parsed)) {
        return std::move(*bad);
    }
    return std::move(std::get<json>(parsed));
}

BoundedJson parse_json_within(const std::string& text, std::size_t budget) {
    return parse_bounded(text, budget);
}

namespace {

// The body, parsed within the budget, and freed before the caller goes on.
Result<BoundedJson> read_bounded_body(http::Request& request) {
    auto body = request.read_body();
    if (!body) {
        return fail(body.error());
    }
    if (!valid_utf8(*body)) {
        return fail("stream did not contain valid UTF-8");
    }
    BoundedJson parsed = parse_json_within(*body);
    std::string().swap(*body);
    return parsed;
}

} // namespace

Result<JsonBody> read_json_body(http::Request& request) {
    auto parsed = read_bounded_body(request);
    if (!parsed) {
        return fail(parsed.error());
    }
    if (auto* refused = std::get_if<JsonRefusal>(&*parsed)) {
        return fail(std::move(refused->message));
    }
    if (auto* bad = std::get_if<JsonSyntaxError>(&*parsed)) {
        return JsonBody(std::move(*bad));
    }
    return JsonBody(std::move(std::get<json>(*parsed)));
}

std::string invalid_json_answer(const JsonSyntaxError& error) {
    std::string out = "{\"ok\":false,\"error\":";
    append_json_string(out, "invalid json: " + error.message);
    out += '}';
    return out;
}

Result<std::optional<json>> take_json_body(http::Request& request) {
    auto parsed = read_bounded_body(request);
    if (!parsed) {
        return fail(parsed.error());
    }
    if (const auto* bad = std::get_if<JsonSyntaxError>(&*parsed)) {
        (void)request.respond(json_response(400, invalid_json_answer(*bad)));
        return std::optional<json>();
    }
    if (const auto* refused = std::get_if<JsonRefusal>(&*parsed)) {
        answer_refusal(request, *refused);
        return std::optional<json>();
    }
    return std::optional<json>(std::move(std::get<json>(*parsed)));
}

Result<std::optional<std::string>> take_compact_json_body(http::Request& request) {
    auto value = take_json_body(request);
    if (!value) {
        return fail(value.error());
    }
    if (!*value) {
        return std::optional<std::string>();
    }
    OwnedJson tree(std::move(**value));
    try {
        return std::optional<std::string>(compact_json(tree.value));
    } catch (const std::bad_alloc&) {
        answer_refusal(request, JsonRefusal{500, "out of memory while writing the value"});
        return std::optional<std::string>();
    }
}

} // namespace reelcut
