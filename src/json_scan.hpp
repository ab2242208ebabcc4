// A strict JSON scanner with the messages and positions of the JSON library the record readers
// follow ("expected `,` or `}` at line 1 column 9"). Readers of typed records derive from it and
// decide themselves what each value means; the scanner only tokenises, checks syntax and keeps
// scalars. Header-only, so that the markers reader's hot loop inlines it.
#pragma once

#include "json_tokens.hpp"

#include <string>
#include <string_view>

namespace reelcut::strict_json {

constexpr int kMaxDepth = 128; // nesting of arrays and objects, as the JSON library allows

// The structure: arrays and objects with their separators and nesting limit, any value read
// through or kept as a scalar. The tokens come from TokenReader.
class Scanner : public TokenReader {
  protected:
    void start(std::string_view text) {
        start_tokens(text);
        depth_ = 0;
    }

    int depth_ = 0;

    bool enter() {
        if (++depth_ >= kMaxDepth) {
            return fail("recursion limit exceeded", col() + 1);
        }
        return true;
    }

    enum class Next { Member, Close, Error };

    // After a member of an array or object: white space, then the separator or the closing
    // bracket (left unconsumed for the caller).
    Next after_member(char close, std::string_view eof_message) {
        skip_ws();
        if (p_ == end_) {
            fail_eof(eof_message);
            return Next::Error;
        }
        if (*p_ == close) {
            return Next::Close;
        }
        if (*p_ != ',') {
            fail(close == '}' ? "expected `,` or `}`" : "expected `,` or `]`", col() + 1);
            return Next::Error;
        }
        ++p_;
        skip_ws();
        if (p_ == end_) {
            fail_eof("EOF while parsing a value");
            return Next::Error;
        }
        if (*p_ == close) {
            fail("trailing comma", col() + 1);
            return Next::Error;
        }
        return Next::Member;
    }

    // The members of the array or object whose opening bracket is at the cursor, up to and
    // including its closing bracket; `member` reads one, starting on its first character.
    template <class Member> bool read_members(char close, Member member) {
        const std::string_view eof_message =
            close == ']' ? "EOF while parsing a list" : "EOF while parsing an object";
        if (!enter()) {
            return false;
        }
        ++p_;
        skip_ws();
        if (p_ == end_) {
            return fail_eof(eof_message);
        }
        if (*p_ != close) {
            while (true) {
                if (!member()) {
                    return false;
                }
                const Next next = after_member(close, eof_message);
                if (next == Next::Error) {
                    return false;
                }
                if (next == Next::Close) {
                    break;
                }
            }
        }
        ++p_;
        --depth_;
        return true;
    }

    // read_members for an object: `member(key)` is called with the cursor just past the key and
    // reads the colon and the value. The key may point into a buffer that the next key reuses.
    template <class Member> bool read_object_members(Member member) {
        return read_members('}', [&] {
            if (*p_ != '"') {
                return fail("key must be a string", col() + 1);
            }
            std::string_view key;
            return parse_key(key) && member(key);
        });
    }

    // ---- Generic values ----------------------------------------------------------------

    bool parse_colon() {
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing an object");
        }
        if (*p_ != ':') {
            return fail("expected `:`", col() + 1);
        }
        ++p_;
        return true;
    }

    // Any JSON value. With `keep`, a string's contents go to v.s; containers are always
    // read through and dropped.
    bool parse_value(Scalar& v, bool keep) {
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing a value");
        }
        switch (*p_) {
        case 'n':
            v.kind = Kind::Null;
            return parse_ident("null", v);
        case 't':
            v.kind = Kind::Bool;
            v.b = true;
            return parse_ident("true", v);
        case 'f':
            v.kind = Kind::Bool;
            v.b = false;
            return parse_ident("false", v);
        case '"':
            v.kind = Kind::String;
            if (!parse_string(keep ? &v.s : nullptr)) {
                return false;
            }
            v.end = col();
            return true;
        case '[':
            v.kind = Kind::Seq;
            return skip_array(v);
        case '{':
            v.kind = Kind::Map;
            return skip_object(v);
        default:
            if (*p_ == '-' || is_digit(*p_)) {
                return parse_number(v);
            }
            return fail("expected value", col() + 1);
        }
    }

    // Reads through a value nobody keeps (an unknown key's) the way the JSON library skips one:
    // iteratively, so any nesting depth passes; strings are checked but escapes not paired;
    // numbers are checked for syntax only. Its error texts differ from parse_value's in places
    // ("expected value" for `[1,]`, "key must be a string" for `{"a":1,}`).
    bool ignore_value() {
        std::string frames; // enclosing brackets, innermost last
        while (true) {
            skip_ws();
            if (p_ == end_) {
                return fail_eof("EOF while parsing a value");
            }
            bool opened = false;
            const char c = *p_;
            if (c == '[' || c == '{') {
                frames.push_back(c);
                ++p_;
                opened = true;
            } else if (c == 'n' || c == 't' || c == 'f') {
                Scalar v;
                if (!parse_ident(c == 'n' ? "null" : c == 't' ? "true" : "false", v)) {
                    return false;
                }
            } else if (c == '"') {
                if (!ignore_string()) {
                    return false;
                }
            } else if (c == '-' || is_digit(c)) {
                if (!ignore_number()) {
                    return false;
                }
            } else {
                return fail("expected value", col() + 1);
            }
            if (frames.empty()) {
                return true;
            }
            // Close every container that ends here; stop before the next member.
            bool accept_comma = !opened;
            while (true) {
                skip_ws();
                const char frame = frames.back();
                if (p_ == end_) {
                    return fail_eof(frame == '[' ? "EOF while parsing a list"
                                                 : "EOF while parsing an object");
                }
                if (accept_comma && *p_ == ',') {
                    ++p_;
                    break;
                }
                if (*p_ == (frame == '[' ? ']' : '}')) {
                    ++p_;
                    frames.pop_back();
                    if (frames.empty()) {
                        return true;
                    }
                    accept_comma = true;
                    continue;
                }
                if (accept_comma) {
                    return fail(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`",
                                col() + 1);
                }
                break;
            }
            if (frames.back() == '{') {
                skip_ws();
                if (p_ == end_) {
                    return fail_eof("EOF while parsing an object");
                }
                if (*p_ != '"') {
                    return fail("key must be a string", col() + 1);
                }
                if (!ignore_string()) {
                    return false;
                }
                skip_ws();
                if (p_ == end_) {
                    return fail_eof("EOF while parsing an object");
                }
                if (*p_ != ':') {
                    return fail("expected `:`", col() + 1);
                }
                ++p_;
            }
        }
    }

    bool skip_array(Scalar& v) {
        Scalar item;
        if (!read_members(']', [&] { return parse_value(item, false); })) {
            return false;
        }
        v.end = col();
        return true;
    }

    bool skip_object(Scalar& v) {
        Scalar item;
        if (!read_object_members(
                [&](std::string_view) { return parse_colon() && parse_value(item, false); })) {
            return false;
        }
        v.end = col();
        return true;
    }
};

} // namespace reelcut::strict_json
