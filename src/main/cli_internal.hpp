// Private to the command line's files: the declaration types that one table fills
// (cli_table.cpp), the help and usage layout that reads them (cli_help.cpp), and the matcher that
// turns arguments into the typed records (cli.cpp). Nothing outside src/main includes this.
#pragma once

#include "main/cli.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut::cli_internal {

inline constexpr const char* kProgram = "tevo-reelcut";
inline constexpr const char* kVersion = "1.0.2";

enum class Kind { Option, Flag, List, Positional, Trailing };
enum class Type { Text, Path, U16, U32, U64, Size, Float };

struct ArgDef {
    std::string id;
    Kind kind = Kind::Option;
    Type type = Type::Text;
    bool required = false;
    std::optional<std::string> default_value;
    std::string help;
    std::string long_name; // empty for positionals

    std::string value_name() const {
        std::string upper = id;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return upper;
    }
    bool positional() const { return kind == Kind::Positional || kind == Kind::Trailing; }
    // The form used in usage lines and error messages: "--port <PORT>", "<FILE>", "[COMMAND]...".
    std::string display() const {
        switch (kind) {
        case Kind::Flag:
            return "--" + long_name;
        case Kind::Positional:
            return "<" + value_name() + ">";
        case Kind::Trailing:
            return "[" + value_name() + "]...";
        default:
            return "--" + long_name + " <" + value_name() + ">";
        }
    }
};

struct CommandDef {
    std::string name;
    std::string about;
    std::vector<ArgDef> args;
    std::vector<CommandDef> subcommands; // non-empty: one of them is required

    const CommandDef* find_sub(std::string_view wanted) const {
        for (const auto& sub : subcommands) {
            if (sub.name == wanted) {
                return &sub;
            }
        }
        return nullptr;
    }
};

// The whole declaration, built afresh for each parse (cli_table.cpp).
CommandDef build_cli();

// Help and usage layout (cli_help.cpp). A path runs from the root to the command in question.
std::string path_text(const std::vector<const CommandDef*>& path);
std::string usage_line(const std::vector<const CommandDef*>& path);
std::string help_page(const std::vector<const CommandDef*>& path);

// The parser's error page: message, optional tip, usage, pointer to --help.
ParserExit usage_error(const std::vector<const CommandDef*>& path, const std::string& message,
                       const std::string& tip = {});

} // namespace reelcut::cli_internal
