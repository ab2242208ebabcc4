// The help and usage pages, and the error page of a refused command line, laid out from the
// declaration table.
#include "main/cli_internal.hpp"

#include <algorithm>
#include <fmt/format.h>

namespace reelcut::cli_internal {

std::string path_text(const std::vector<const CommandDef*>& path) {
    std::string out;
    for (const auto* cmd : path) {
        out += (out.empty() ? "" : " ") + cmd->name;
    }
    return out;
}

std::string usage_line(const std::vector<const CommandDef*>& path) {
    const CommandDef& cmd = *path.back();
    std::string out;
    for (const auto* step : path) {
        out += (out.empty() ? "" : " ") + step->name;
        if (step != &cmd) {
            for (const auto& arg : step->args) {
                out += arg.positional() ? " " + arg.display() : "";
            }
        }
    }
    bool has_optional = std::any_of(cmd.args.begin(), cmd.args.end(),
                                    [](const ArgDef& a) { return !a.positional() && !a.required; });
    if (has_optional) {
        out += " [OPTIONS]";
    }
    for (const auto& arg : cmd.args) {
        if (!arg.positional() && arg.required) {
            out += " " + arg.display();
        }
    }
    for (const auto& arg : cmd.args) {
        if (arg.positional()) {
            out += " " + arg.display();
        }
    }
    if (!cmd.subcommands.empty()) {
        out += " <COMMAND>";
    }
    return out;
}

namespace {

struct HelpRow {
    std::string left;
    std::string right;
};

void render_rows(std::string& out, const std::string& heading, const std::vector<HelpRow>& rows) {
    if (rows.empty()) {
        return;
    }
    std::size_t width = 0;
    for (const auto& row : rows) {
        width = std::max(width, row.left.size());
    }
    out += heading + ":\n";
    for (const auto& row : rows) {
        std::string line = "  " + row.left;
        if (!row.right.empty()) {
            line += std::string(width - row.left.size() + 2, ' ') + row.right;
        }
        out += line + "\n";
    }
}

} // namespace

std::string help_page(const std::vector<const CommandDef*>& path) {
    const CommandDef& cmd = *path.back();
    const bool top = path.size() == 1;
    std::string out = cmd.about + "\n\nUsage: " + usage_line(path) + "\n\n";

    std::vector<HelpRow> commands;
    for (const auto& sub : cmd.subcommands) {
        commands.push_back({sub.name, sub.about});
    }
    if (!cmd.subcommands.empty()) {
        commands.push_back({"help", "Print this message or the help of the given subcommand(s)"});
    }

    std::vector<HelpRow> positionals;
    std::vector<HelpRow> options;
    for (const auto& arg : cmd.args) {
        std::string right = arg.help;
        if (arg.default_value) {
            right += (right.empty() ? "" : " ") + fmt::format("[default: {}]", *arg.default_value);
        }
        if (arg.positional()) {
            positionals.push_back({arg.display(), right});
        } else {
            options.push_back({"    " + arg.display(), right});
        }
    }
    options.push_back({"-h, --help", "Print help"});
    if (top) {
        options.push_back({"-V, --version", "Print version"});
    }

    std::string sections;
    auto section = [&](const std::string& heading, const std::vector<HelpRow>& rows) {
        std::string block;
        render_rows(block, heading, rows);
        if (!block.empty()) {
            sections += (sections.empty() ? "" : "\n") + block;
        }
    };
    section("Commands", commands);
    section("Arguments", positionals);
    section("Options", options);
    return out + sections;
}

// The parser's error page: message, optional tip, usage, pointer to --help.
ParserExit usage_error(const std::vector<const CommandDef*>& path, const std::string& message,
                       const std::string& tip) {
    std::string err = "error: " + message + "\n\n";
    if (!tip.empty()) {
        err += "  tip: " + tip + "\n\n";
    }
    err += "Usage: " + usage_line(path) + "\n\nFor more information, try '--help'.\n";
    return ParserExit{2, "", err};
}

} // namespace reelcut::cli_internal
