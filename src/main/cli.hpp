// The command line: every subcommand with its typed arguments, and the parser that fills them.
// The records of the manifest actions and of `list`/`ctrl` belong to their subsystems; the rest
// are the command line's own.
#pragma once

#include "ctrl/ctrl.hpp"
#include "storyboard/manifest_cli.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace reelcut {

// mark
struct MarkInit {
    std::string file;
};
struct MarkStart {
    std::uint32_t speed = 0;
    std::string label;
    std::string file;
};
struct MarkEnd {
    std::string file;
};
using MarkAction = std::variant<MarkInit, MarkStart, MarkEnd>;

struct WrapArgs {
    std::uint32_t speed = 0;
    std::string label;
    std::string file;
    std::vector<std::string> command;
};

struct InspectArgs {
    std::string file;
};

struct ProcessArgs {
    std::string input;
    std::string markers;
    std::optional<std::string> output;
    std::uint32_t max_speed = 100;
    std::optional<std::string> trim_start;
    std::optional<std::string> trim_end;
    double base_speed = 1.0;
    bool no_overlay = false;
    std::uint32_t max_width = 1280;
};

struct AppArgs {
    std::string manifest;
    std::uint16_t port = 8798;
    std::string tab_name;
    std::optional<std::string> panel_id;
    bool no_watch = false;
    bool no_open = false;
};

struct VoiceoverArgs {
    std::string input;
    std::optional<std::string> output;
    std::uint16_t port = 8796;
    std::string tab_name;
    std::optional<std::string> panel_id;
    std::optional<std::string> markers;
    bool no_open = false;
};

struct StoryboardArgs {
    std::string manifest;
    std::uint16_t port = 8797;
    std::string tab_name;
    std::optional<std::string> panel_id;
    bool no_watch = false;
    bool no_open = false;
};

struct AppendStillArgs {
    std::string video;
    std::string image;
    double duration = 3.0;
    std::string output;
};

struct ConcatArgs {
    std::string manifest;
    std::string output;
    std::string kind;
};

struct PublishArgs {
    std::string input;
    std::string page;
    std::optional<std::string> caption;
    std::string asset_type;
};

struct EvalArgs {
    std::string code;
    std::uint16_t port = 8796;
    std::uint64_t timeout = 30;
};

struct HealthCmd {};
struct InstallCmd {};

// One alternative per subcommand, in declaration (and dispatch) order.
using Commands = std::variant<HealthCmd, MarkAction, WrapArgs, InspectArgs, ProcessArgs, AppArgs,
                              VoiceoverArgs, StoryboardArgs, ManifestAction, AppendStillArgs,
                              ConcatArgs, PublishArgs, EvalArgs, ListCmd, CtrlArgs, InstallCmd>;

struct Cli {
    Commands command;
};

// What the parser decided when it did not produce a `Cli`: text for stdout or stderr and the
// exit status (0 for help and version, 2 for command-line errors).
struct ParserExit {
    int status = 0;
    std::string out;
    std::string err;
};

using ParseOutcome = std::variant<Cli, ParserExit>;

// Parses the arguments after the program name. Never prints and never exits.
ParseOutcome parse_command_line(const std::vector<std::string>& args);

// The declaration as data, for checks that must cover every argument of every command.
struct DeclaredArgument {
    std::string long_name; // "--" + this is the option; empty for positionals
    std::string display;   // as usage lines show it: "--port <PORT>", "--no-open", "<FILE>"
    std::string type;      // "text", "path", "u16", "u32", "u64", "size", "float"; "flag"
    bool positional = false;
    bool trailing = false;    // `wrap`'s command: every remaining token
    bool takes_value = false; // an option or a repeatable option
    bool required = false;
};
struct DeclaredCommand {
    std::string name;
    std::vector<DeclaredArgument> arguments;
    std::vector<DeclaredCommand> subcommands;
};
DeclaredCommand declared_command_line();

} // namespace reelcut
