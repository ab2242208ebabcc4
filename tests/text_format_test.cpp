// Text forms of numbers and strings: JSON floats and strings, Display and Debug forms.
#include "text_format.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace reelcut {
namespace {

struct FloatCase {
    double value;
    std::string text;
};

TEST(TextFormatJsonF64, ShortestDigitsInTheJsonLibraryLayout) {
    for (const auto& c : std::vector<FloatCase>{
             {0.0, "0.0"},
             {-0.0, "-0.0"},
             {1.0, "1.0"},
             {20.0, "20.0"},
             {-20.0, "-20.0"},
             {1.5, "1.5"},
             {0.1, "0.1"},
             {0.25, "0.25"},
             {0.1 + 0.2, "0.30000000000000004"},
             {2.0 / 3.0, "0.6666666666666666"},
             {1700000000.5, "1700000000.5"},
             {1712345678.123, "1712345678.123"},
             {1712345678.1234567, "1712345678.1234567"},
             {123456.789, "123456.789"},
             {1e15, "1000000000000000.0"},
             {9007199254740992.0, "9007199254740992.0"}, // 16 digits: still plain
             {1.5e15, "1500000000000000.0"},
             {1e16, "1e16"}, // 17 digits before the point: exponent form
             {1.5e16, "1.5e16"},
             {12345678901234567.0, "1.2345678901234568e16"},
             {1e17, "1e17"},
             {-1e100, "-1e100"},
             {1e21, "1e21"},
             {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
             {0.001, "0.001"},
             {0.0001, "0.0001"},
             {1e-5, "0.00001"},
             {1.234e-5, "0.00001234"},
             {1e-6, "1e-6"},
             {1.5e-7, "1.5e-7"},
             {-1.5e-7, "-1.5e-7"},
             {5e-324, "5e-324"},
             {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
         }) {
        EXPECT_EQ(json_f64(c.value), c.text) << c.text;
    }
}

TEST(TextFormatJsonF64, NonFiniteWritesNull) {
    EXPECT_EQ(json_f64(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json_f64(-std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json_f64(std::numeric_limits<double>::quiet_NaN()), "null");
}

TEST(TextFormatJsonF64, ReadsBackToTheSameValue) {
    std::uint64_t bits = 0x9E3779B97F4A7C15ULL;
    for (int k = 0; k < 20000; ++k) {
        bits ^= bits << 13;
        bits ^= bits >> 7;
        bits ^= bits << 17;
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = json_f64(value);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

TEST(TextFormatDisplayF64, PlainDecimalNeverExponent) {
    for (const auto& c : std::vector<FloatCase>{
             {20.0, "20"},
             {0.25, "0.25"},
             {0.0, "0"},
             {-0.0, "-0"},
             {-3.5, "-3.5"},
             {1700000000.5, "1700000000.5"},
             {0.1 + 0.2, "0.30000000000000004"},
             {1e16, "10000000000000000"},
             {1e21, "1000000000000000000000"},
             {1.5e-7, "0.00000015"},
             {1e300, "1" + std::string(300, '0')},
             {1e23, "1" + std::string(23, '0')}, // shortest digits, not the exact binary value
             {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
             {9007199254740993.0, "9007199254740992"},
             {123456.789, "123456.789"},
             {5e-324, "0." + std::string(323, '0') + "5"},
         }) {
        EXPECT_EQ(display_f64(c.value), c.text) << c.text;
    }
}

TEST(TextFormatDisplayF64Point, AddsPointZeroOnlyWhenWhole) {
    for (const auto& c : std::vector<FloatCase>{
             {20.0, "20.0"},
             {20.5, "20.5"},
             {-0.0, "-0.0"},
             {0.0, "0.0"},
             {1700000000.0, "1700000000.0"},
             {1e21, "1000000000000000000000.0"},
             {1.5e-7, "0.00000015"},
         }) {
        EXPECT_EQ(display_f64_point(c.value), c.text) << c.text;
    }
}

struct StringCase {
    std::string in, out;
};

TEST(TextFormatJsonString, EscapesLikeTheJsonLibrary) {
    for (const auto& c : std::vector<StringCase>{
             {"", R"("")"},
             {"plain text", R"("plain text")"},
             {"a\"b", R"("a\"b")"},
             {"back\\slash", R"("back\\slash")"},
             {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
             {std::string("\0", 1), R"("\u0000")"},
             {"\x01\x1b\x1f", R"("\u0001\u001b\u001f")"},
             {"\x7f", "\"\x7f\""},
             {"/", R"("/")"},
             {"é → 日本 😀", "\"é → 日本 😀\""},
             {"\u2028", "\"\u2028\""},
         }) {
        EXPECT_EQ(json_string(c.in), c.out) << c.out;
    }
}

TEST(TextFormatJsonString, AppendsToExistingText) {
    std::string out = "label=";
    append_json_string(out, "x\ny");
    EXPECT_EQ(out, R"(label="x\ny")");
}

TEST(TextFormatDebugString, EscapesQuotesBackslashesAndControls) {
    for (const auto& c : std::vector<StringCase>{
             {"", R"("")"},
             {"Build \"x\"", R"("Build \"x\"")"},
             {"a\\b", R"("a\\b")"},
             {"line\nnext\r\t", R"("line\nnext\r\t")"},
             {std::string("nul\0", 4), R"("nul\0")"},
             {"\x1b[0m", R"("\u{1b}[0m")"},
             {"\x01\x7f", R"("\u{1}\u{7f}")"},
             {"\u0085", R"("\u{85}")"},
             {"it's", R"("it's")"},
             {"é 日本 😀", "\"é 日本 😀\""},
             {"\u200b", R"("\u{200b}")"},
         }) {
        EXPECT_EQ(debug_string(c.in), c.out) << c.out;
    }
}

TEST(TextFormatUtf8, Validity) {
    struct Case {
        std::string in;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"", true},
        {"ascii only, longer than eight bytes", true},
        {"é日😀 mixed with ascii after the fast path", true},
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xEE\x80\x80", true},      // U+E000, just past the surrogates
        {"eight ok\xFF", false},     // bad byte after an ASCII block
        {"\xC0\x80", false},         // overlong NUL
        {"\xE0\x80\xAF", false},     // overlong slash
        {"\xED\xA0\x80", false},     // encoded surrogate
        {"\xF4\x90\x80\x80", false}, // past U+10FFFF
        {"\xE2\x82"
         "a",
         false},                  // truncated inside the text
        {"x\xF0\x9F\x98", false}, // truncated at the end
        {"\x80", false},          // lone continuation byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(valid_utf8(c.in), c.valid) << ::testing::PrintToString(c.in);
    }
}

TEST(TextFormatLossyUtf8, ReplacesEachMaximalInvalidSubpart) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    };
    for (const auto& c : std::vector<Case>{
             {"", ""},
             {"plain ascii", "plain ascii"},
             {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC"},
             {std::string("a\0b", 3), std::string("a\0b", 3)},
             {"\x80", fffd},                                  // lone continuation byte
             {"\xBF\x80", fffd + fffd},                       // each stray continuation counts
             {"\xC3", fffd},                                  // cut short at the end
             {"\xE2\x82", fffd},                              // one for the whole truncated start
             {"\xE2\x82x", fffd + "x"},                       // ... also when text follows
             {"\xF0\x9F\x8E", fffd},                          //
             {"\xF0\x9F\x8Ex\xF0\x9F", fffd + "x" + fffd},    //
             {"\xC0\x80", fffd + fffd},                       // overlong lead is never valid
             {"\xE0\x80\x80", fffd + fffd + fffd},            // overlong three-byte form
             {"\xED\xA0\x80", fffd + fffd + fffd},            // surrogate U+D800
             {"\xED\x9F\xBF", "\xED\x9F\xBF"},                // U+D7FF, just below them
             {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},        // U+10FFFF
             {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // past U+10FFFF
             {"\xF5\xFF", fffd + fffd},                       // bytes that never start anything
             {"\xC3\xC3\xA9", fffd + "\xC3\xA9"},             // a new lead ends the bad one
         }) {
        EXPECT_EQ(lossy_utf8(c.in), c.out) << ::testing::PrintToString(c.in);
    }
}

} // namespace
} // namespace reelcut
