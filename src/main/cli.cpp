// Matching a command line against the declaration with CLI11, the rules CLI11 does not know
// about (values that name subcommands, `wrap`'s trailing command, inline empty values), and the
// typed records built from what matched.
#include "main/cli.hpp"

#include "main/cli_internal.hpp"
#include "number_syntax.hpp"
#include "similarity.hpp"
#include "text_format.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <fmt/format.h>
#include <limits>
#include <map>
#include <memory>

namespace reelcut {
namespace {

using namespace cli_internal;

// ---------------------------------------------------------------------------------------------
// Values.

Status check_value(const ArgDef& arg, const std::string& value) {
    switch (arg.type) {
    case Type::Text:
        return valid_utf8(value) ? Status{} : fail("invalid UTF-8 was detected");
    case Type::Path:
        return {};
    case Type::U16:
        return parse_unsigned(value, std::numeric_limits<std::uint16_t>::max()).map([](auto) {});
    case Type::U32:
        return parse_unsigned(value, std::numeric_limits<std::uint32_t>::max()).map([](auto) {});
    case Type::U64:
    case Type::Size:
        return parse_unsigned(value, std::numeric_limits<std::uint64_t>::max()).map([](auto) {});
    case Type::Float:
        return parse_float(value).map([](auto) {});
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Matching with CLI11, then the rules CLI11 does not know about.

struct ArgState {
    const ArgDef* def = nullptr;
    std::vector<std::string> values;
    std::int64_t flag_count = 0;
    CLI::Option* option = nullptr;
    std::size_t given() const {
        return def->kind == Kind::Flag ? static_cast<std::size_t>(flag_count) : option->count();
    }
};

struct Node {
    const CommandDef* def = nullptr;
    CLI::App* app = nullptr;
    std::int64_t help_count = 0;
    std::int64_t version_count = 0;
    std::deque<ArgState> args;
    std::vector<std::unique_ptr<Node>> children;
    bool shallow = false; // known by name only: its arguments were not declared to CLI11
};

// Declares `def` to CLI11. Declaring every option of every subcommand would cost more than a
// small subcommand's whole run, so below the top only the branch named by `chosen` is declared
// in full; the others are there by name, so that a second subcommand is still recognised.
void declare(Node& node, CLI::App* app, const CommandDef& def, bool top,
             std::string_view chosen = {}) {
    node.def = &def;
    node.app = app;
    app->allow_extras(true);
    app->set_help_flag();
    if (node.shallow) {
        return;
    }
    app->add_flag("-h,--help", node.help_count);
    if (top) {
        app->add_flag("-V,--version", node.version_count);
    }
    for (const auto& arg : def.args) {
        auto& state = node.args.emplace_back();
        state.def = &arg;
        switch (arg.kind) {
        case Kind::Flag:
            state.option = app->add_flag("--" + arg.long_name, state.flag_count);
            break;
        case Kind::Option:
        case Kind::List:
            state.option = app->add_option("--" + arg.long_name, state.values)
                               ->expected(1)
                               ->allow_extra_args(false)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            break;
        case Kind::Positional:
            // Without allow_extra_args(false) the first of two positionals (`call`'s METHOD
            // and PATH) would swallow the second's value.
            state.option = app->add_option(arg.id, state.values)
                               ->expected(1)
                               ->allow_extra_args(false)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            break;
        case Kind::Trailing:
            // Filled before matching (see split_trailing); declared for completeness only.
            state.option = app->add_option(arg.id, state.values)->expected(0, 1 << 30);
            break;
        }
    }
    for (const auto& sub : def.subcommands) {
        auto child = std::make_unique<Node>();
        child->shallow = top && sub.name != chosen;
        declare(*child, app->add_subcommand(sub.name), sub, false);
        node.children.push_back(std::move(child));
    }
}

ParserExit unexpected(const std::vector<const CommandDef*>& path, const std::string& token,
                      const std::string& value_tip = {}) {
    const CommandDef& cmd = *path.back();
    if (token.rfind("--", 0) == 0 && token.size() > 2) {
        std::string name = token.substr(
            2, token.find('=') == std::string::npos ? std::string::npos : token.find('=') - 2);
        std::vector<std::string> longs{"help"};
        if (path.size() == 1) {
            longs.push_back("version");
        }
        for (const auto& arg : cmd.args) {
            if (!arg.positional()) {
                longs.push_back(arg.long_name);
            }
        }
        auto match = best_match(name, longs);
        return usage_error(path, fmt::format("unexpected argument '{}' found", token),
                           match ? fmt::format("a similar argument exists: '--{}'", *match)
                                 : value_tip);
    }
    if (!cmd.subcommands.empty() && token.rfind('-', 0) != 0) {
        std::vector<std::string> names;
        for (const auto& sub : cmd.subcommands) {
            names.push_back(sub.name);
        }
        names.push_back("help");
        auto match = best_match(token, names);
        return usage_error(path, fmt::format("unrecognized subcommand '{}'", token),
                           match ? fmt::format("a similar subcommand exists: '{}'", *match)
                                 : std::string{});
    }
    return usage_error(path, fmt::format("unexpected argument '{}' found", token), value_tip);
}

// What the parser reads as an option or "--", never as a value: "-" alone is a value. No argument
// is declared to take values that begin with "-", negative numbers included; "--name=-x" gives
// one.
bool looks_like_option(const std::string& token) {
    return token.size() > 1 && token[0] == '-';
}

// The top level takes only flags, so its first word that is no option names the subcommand.
std::vector<std::string>::const_iterator subcommand_word(const std::vector<std::string>& args) {
    return std::find_if(args.begin(), args.end(),
                        [](const std::string& a) { return a.empty() || a[0] != '-'; });
}

// `wrap` takes everything from the first token that is not one of its own options as the
// command to run, even tokens that look like options; CLI11 never sees those tokens.
std::vector<std::string> split_trailing(const std::vector<std::string>& args,
                                        std::vector<std::string>& command) {
    auto sub = subcommand_word(args);
    if (sub == args.end() || *sub != "wrap") {
        return args;
    }
    static const std::vector<std::string> with_value{"--speed", "--label", "--file"};
    auto it = sub + 1;
    while (it != args.end()) {
        const std::string& token = *it;
        if (std::find(with_value.begin(), with_value.end(), token) != with_value.end()) {
            // A token that looks like an option is no value: the option is left without one.
            const bool has_value = it + 1 != args.end() && !looks_like_option(*(it + 1));
            it += has_value ? 2 : 1;
            continue;
        }
        bool inline_value = std::any_of(with_value.begin(), with_value.end(), [&](const auto& o) {
            return token.rfind(o + "=", 0) == 0;
        });
        if (inline_value || token == "-h" || token == "--help") {
            ++it;
            continue;
        }
        if (token == "--") {
            command.assign(it + 1, args.end());
        } else {
            command.assign(it, args.end());
        }
        break;
    }
    return {args.begin(), it};
}

// "help [COMMAND]..." in the place of a subcommand prints the page of the named command.
std::optional<ParserExit> help_subcommand(const CommandDef& root,
                                          const std::vector<std::string>& args) {
    std::vector<const CommandDef*> path{&root};
    std::size_t i = 0;
    while (i < args.size() && !path.back()->subcommands.empty()) {
        if (args[i] == "help") {
            for (++i; i < args.size(); ++i) {
                const CommandDef* sub = path.back()->find_sub(args[i]);
                if (sub == nullptr) {
                    return usage_error(path, fmt::format("unrecognized subcommand '{}'", args[i]));
                }
                path.push_back(sub);
            }
            return ParserExit{0, help_page(path), ""};
        }
        const CommandDef* sub = path.back()->find_sub(args[i]);
        if (sub == nullptr) {
            return std::nullopt;
        }
        path.push_back(sub);
        ++i;
        if (sub->name == "ctrl" && i < args.size() && args[i] != "help") {
            ++i; // the target comes before the action
        }
    }
    return std::nullopt;
}

void collect_flags(const CommandDef& cmd, std::vector<std::string>& flags) {
    for (const auto& arg : cmd.args) {
        if (arg.kind == Kind::Flag) {
            flags.push_back(arg.long_name);
        }
    }
    for (const auto& sub : cmd.subcommands) {
        collect_flags(sub, flags);
    }
}

// "--name=" gives the empty value, which CLI11 would take for a missing one; a flag takes no
// value at all.
std::optional<ParserExit> normalise_inline_values(const CommandDef& root,
                                                  std::vector<std::string>& args) {
    std::vector<std::string> flags{"help", "version"};
    collect_flags(root, flags);
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        const std::string& token = args[i];
        std::size_t eq = token.find('=');
        if (token.rfind("--", 0) != 0 || eq == std::string::npos) {
            continue;
        }
        std::string name = token.substr(2, eq - 2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            return usage_error({&root}, fmt::format("unexpected value '{}' for '--{}' found; no "
                                                    "more were expected",
                                                    token.substr(eq + 1), name));
        }
        if (eq + 1 == token.size()) {
            args[i] = token.substr(0, eq);
            args.insert(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, "");
            ++i;
        }
    }
    return std::nullopt;
}

const ArgState& arg_of(const Node& node, std::string_view id) {
    for (const auto& state : node.args) {
        if (state.def->id == id) {
            return state;
        }
    }
    std::abort(); // every record field has a declared argument
}

std::string text_of(const Node& node, std::string_view id) {
    const ArgState& state = arg_of(node, id);
    if (!state.values.empty()) {
        return state.values.front();
    }
    return state.def->default_value.value_or("");
}

std::optional<std::string> maybe_text(const Node& node, std::string_view id) {
    const ArgState& state = arg_of(node, id);
    if (state.values.empty()) {
        return std::nullopt;
    }
    return state.values.front();
}

std::vector<std::string> list_of(const Node& node, std::string_view id) {
    return arg_of(node, id).values;
}

bool flag_of(const Node& node, std::string_view id) {
    return arg_of(node, id).flag_count > 0;
}

template <class T> T number_of(const Node& node, std::string_view id) {
    // Values were checked before the records are built.
    auto value = parse_unsigned(text_of(node, id), std::numeric_limits<T>::max());
    return static_cast<T>(value.value_or(0));
}

template <class T> std::optional<T> maybe_number(const Node& node, std::string_view id) {
    auto text = maybe_text(node, id);
    if (!text) {
        return std::nullopt;
    }
    return static_cast<T>(parse_unsigned(*text, std::numeric_limits<T>::max()).value_or(0));
}

double float_of(const Node& node, std::string_view id) {
    return parse_float(text_of(node, id)).value_or(0.0);
}

Commands build_record(const Node& sub, const Node* action, std::vector<std::string> trailing) {
    const std::string& name = sub.def->name;
    if (name == "health") {
        return HealthCmd{};
    }
    if (name == "mark") {
        const std::string& act = action->def->name;
        if (act == "init") {
            return MarkAction{MarkInit{text_of(*action, "file")}};
        }
        if (act == "start") {
            return MarkAction{MarkStart{number_of<std::uint32_t>(*action, "speed"),
                                        text_of(*action, "label"), text_of(*action, "file")}};
        }
        return MarkAction{MarkEnd{text_of(*action, "file")}};
    }
    if (name == "wrap") {
        return WrapArgs{number_of<std::uint32_t>(sub, "speed"), text_of(sub, "label"),
                        text_of(sub, "file"), std::move(trailing)};
    }
    if (name == "inspect") {
        return InspectArgs{text_of(sub, "file")};
    }
    if (name == "process") {
        return ProcessArgs{text_of(sub, "input"),
                           text_of(sub, "markers"),
                           maybe_text(sub, "output"),
                           number_of<std::uint32_t>(sub, "max_speed"),
                           maybe_text(sub, "trim_start"),
                           maybe_text(sub, "trim_end"),
                           float_of(sub, "base_speed"),
                           flag_of(sub, "no_overlay"),
                           number_of<std::uint32_t>(sub, "max_width")};
    }
    if (name == "app") {
        return AppArgs{text_of(sub, "manifest"), number_of<std::uint16_t>(sub, "port"),
                       text_of(sub, "tab_name"), maybe_text(sub, "panel_id"),
                       flag_of(sub, "no_watch"), flag_of(sub, "no_open")};
    }
    if (name == "voiceover") {
        return VoiceoverArgs{text_of(sub, "input"),
                             maybe_text(sub, "output"),
                             number_of<std::uint16_t>(sub, "port"),
                             text_of(sub, "tab_name"),
                             maybe_text(sub, "panel_id"),
                             maybe_text(sub, "markers"),
                             flag_of(sub, "no_open")};
    }
    if (name == "storyboard") {
        return StoryboardArgs{text_of(sub, "manifest"), number_of<std::uint16_t>(sub, "port"),
                              text_of(sub, "tab_name"), maybe_text(sub, "panel_id"),
                              flag_of(sub, "no_watch"), flag_of(sub, "no_open")};
    }
    if (name == "manifest") {
        const Node& a = *action;
        const std::string& act = a.def->name;
        if (act == "init") {
            return ManifestAction{ManifestInit{text_of(a, "file"), text_of(a, "title")}};
        }
        if (act == "add") {
            return ManifestAction{ManifestAdd{
                text_of(a, "file"), text_of(a, "id"), text_of(a, "title"),
                maybe_text(a, "description"), maybe_text(a, "raw"), maybe_text(a, "fast"),
                maybe_text(a, "image"), maybe_text(a, "console_png"), list_of(a, "speedups"),
                list_of(a, "actions"), list_of(a, "warnings"), maybe_text(a, "narration")}};
        }
        if (act == "inspect") {
            return ManifestAction{ManifestInspect{text_of(a, "file")}};
        }
        return ManifestAction{ManifestRemove{text_of(a, "file"), text_of(a, "id")}};
    }
    if (name == "append-still") {
        return AppendStillArgs{text_of(sub, "video"), text_of(sub, "image"),
                               float_of(sub, "duration"), text_of(sub, "output")};
    }
    if (name == "concat") {
        return ConcatArgs{text_of(sub, "manifest"), text_of(sub, "output"), text_of(sub, "kind")};
    }
    if (name == "publish") {
        return PublishArgs{text_of(sub, "input"), text_of(sub, "page"), maybe_text(sub, "caption"),
                           text_of(sub, "asset_type")};
    }
    if (name == "eval") {
        return EvalArgs{text_of(sub, "code"), number_of<std::uint16_t>(sub, "port"),
                        number_of<std::uint64_t>(sub, "timeout")};
    }
    if (name == "list") {
        return ListCmd{};
    }
    if (name == "ctrl") {
        const Node& a = *action;
        const std::string& act = a.def->name;
        CtrlAction ctrl_action = CtrlState{};
        if (act == "console") {
            ctrl_action =
                CtrlConsole{maybe_number<std::size_t>(a, "tail"),
                            maybe_number<std::uint64_t>(a, "since"), flag_of(a, "follow")};
        } else if (act == "eval") {
            ctrl_action = CtrlEval{text_of(a, "code"), number_of<std::uint64_t>(a, "timeout")};
        } else if (act == "shutdown") {
            ctrl_action = CtrlShutdown{};
        } else if (act == "call") {
            ctrl_action = CtrlCall{text_of(a, "method"), text_of(a, "path"), maybe_text(a, "body")};
        }
        return CtrlArgs{text_of(sub, "target"), std::move(ctrl_action)};
    }
    return InstallCmd{};
}

// Values that CLI11 would mistake for subcommand names, each replaced in the argument list by a
// stand-in that names nothing.
struct ProtectedWords {
    std::vector<std::string> originals;

    static std::string stand_in(std::size_t k) { return fmt::format("\x1f{}\x1f", k); }

    // The text with every stand-in put back.
    std::string restore(std::string text) const {
        for (std::size_t k = 0; k < originals.size(); ++k) {
            const std::string mark = stand_in(k);
            for (auto at = text.find(mark); at != std::string::npos;
                 at = text.find(mark, at + originals[k].size())) {
                text.replace(at, mark.size(), originals[k]);
            }
        }
        return text;
    }
    void restore_values(Node& node) const {
        for (auto& state : node.args) {
            for (auto& value : state.values) {
                value = restore(std::move(value));
            }
        }
        for (auto& child : node.children) {
            restore_values(*child);
        }
    }
};

void collect_names(const CommandDef& cmd, std::vector<std::string>& names) {
    for (const auto& sub : cmd.subcommands) {
        names.push_back(sub.name);
        collect_names(sub, names);
    }
}

// Whether `token` is one of the options `cmd` declares, as "--name" or "--name=value".
bool declared_option(const std::vector<const CommandDef*>& path, const std::string& token) {
    if (token == "-h" || token == "--help" ||
        (path.size() == 1 && (token == "-V" || token == "--version"))) {
        return true;
    }
    if (!token.starts_with("--")) {
        return false;
    }
    const std::string name = token.substr(2, token.find('=') - 2);
    const auto& args = path.back()->args;
    return std::any_of(args.begin(), args.end(),
                       [&](const ArgDef& a) { return !a.positional() && a.long_name == name; });
}

// Walks the arguments the way the grammar reads them: options (and the values of those that take
// one), positionals, and the subcommand word after a command's positionals. Every value that
// names a subcommand anywhere is swapped for a stand-in. An option followed by nothing, by "--"
// or by a token that looks like an option has no value; a token that looks like an option but is
// none of the command's is refused, so that a negative number never slips in as a positional.
std::variant<ProtectedWords, ParserExit> protect_values(const CommandDef& root,
                                                        std::vector<std::string>& args) {
    std::vector<std::string> names;
    collect_names(root, names);
    ProtectedWords words;
    auto protect = [&](std::string& token) {
        if (std::find(names.begin(), names.end(), token) != names.end()) {
            words.originals.push_back(token);
            token = ProtectedWords::stand_in(words.originals.size() - 1);
        }
    };
    std::vector<const CommandDef*> path{&root};
    std::size_t positionals = 0;
    bool only_values = false; // after "--"
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string& token = args[i];
        const CommandDef* cmd = path.back();
        const auto declared = static_cast<std::size_t>(std::count_if(
            cmd->args.begin(), cmd->args.end(), [](const ArgDef& a) { return a.positional(); }));
        if (!only_values && token == "--") {
            only_values = true;
            continue;
        }
        if (!only_values && looks_like_option(token)) {
            if (!declared_option(path, token)) {
                const bool value_wanted = positionals < declared && !token.starts_with("--");
                return unexpected(path, token,
                                  value_wanted ? fmt::format("to pass '{0}' as a value, use "
                                                             "'-- {0}'",
                                                             token)
                                               : std::string{});
            }
            if (token.find('=') != std::string::npos) {
                continue;
            }
            for (const auto& arg : cmd->args) {
                if ((arg.kind == Kind::Option || arg.kind == Kind::List) &&
                    token == "--" + arg.long_name) {
                    if (i + 1 == args.size() || looks_like_option(args[i + 1])) {
                        return usage_error(path, fmt::format("a value is required for '{}' but "
                                                             "none was supplied",
                                                             arg.display()));
                    }
                    protect(args[++i]);
                    break;
                }
            }
            continue;
        }
        if (!only_values && positionals >= declared) {
            if (const CommandDef* sub = cmd->find_sub(token)) {
                path.push_back(sub);
                positionals = 0;
                continue;
            }
        }
        ++positionals;
        protect(token);
    }
    return words;
}

} // namespace

ParseOutcome parse_command_line(const std::vector<std::string>& raw_args) {
    const CommandDef root_def = build_cli();
    std::vector<const CommandDef*> path{&root_def};

    // No argument at all: the help, but as an error.
    if (raw_args.empty()) {
        return ParserExit{2, "", help_page(path)};
    }
    if (raw_args.size() == 1) {
        const CommandDef* sub = root_def.find_sub(raw_args[0]);
        if (sub != nullptr && !sub->subcommands.empty()) {
            return ParserExit{2, "", help_page({&root_def, sub})};
        }
    }

    if (auto help = help_subcommand(root_def, raw_args)) {
        return *help;
    }

    std::vector<std::string> trailing;
    std::vector<std::string> args = split_trailing(raw_args, trailing);
    if (auto refused = normalise_inline_values(root_def, args)) {
        return *refused;
    }

    CLI::App app{root_def.about, kProgram};
    Node root;
    auto first_word = subcommand_word(args);
    // CLI11 takes any word that names a subcommand somewhere in the tree for that subcommand,
    // even where only a value can stand ("ctrl storyboard state", "call GET state", "--label
    // list"); such words are hidden from it behind stand-ins and put back after matching.
    auto read = protect_values(root_def, args);
    if (auto* refused = std::get_if<ParserExit>(&read)) {
        return *refused;
    }
    const ProtectedWords words = std::get<ProtectedWords>(std::move(read));
    declare(root, &app, root_def, true, first_word == args.end() ? "" : *first_word);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // What is left for CLI11 to reject is an option without its value.
        std::string what = words.restore(e.what());
        std::string name = what.substr(0, what.find(':'));
        const Node* deepest = &root;
        for (bool descended = true; descended;) {
            descended = false;
            for (const auto& child : deepest->children) {
                if (child->app->parsed()) {
                    deepest = child.get();
                    path.push_back(child->def);
                    descended = true;
                    break;
                }
            }
        }
        for (const auto& state : deepest->args) {
            if ("--" + state.def->long_name == name) {
                return usage_error(path, fmt::format("a value is required for '{}' but none was "
                                                     "supplied",
                                                     state.def->display()));
            }
        }
        return usage_error(path, what);
    }

    words.restore_values(root);

    // The chain of matched commands, top to bottom.
    std::vector<const Node*> chain{&root};
    while (true) {
        const Node* node = chain.back();
        std::vector<CLI::App*> parsed = node->app->get_subcommands();
        if (parsed.empty()) {
            break;
        }
        const Node* next = nullptr;
        for (const auto& child : node->children) {
            if (child->app == parsed.front()) {
                next = child.get();
            }
        }
        if (next->shallow) {
            return unexpected(path, next->def->name);
        }
        chain.push_back(next);
        path.push_back(next->def);
        if (parsed.size() > 1) {
            return unexpected(path, parsed[1]->get_name());
        }
    }

    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if ((*it)->help_count > 0) {
            std::vector<const CommandDef*> help_path(path.begin(),
                                                     path.begin() + (chain.rend() - it));
            return ParserExit{0, help_page(help_path), ""};
        }
    }
    if (root.version_count > 0) {
        return ParserExit{0, fmt::format("{} {}\n", kProgram, kVersion), ""};
    }

    for (const Node* node : chain) {
        for (const auto& extra : node->app->remaining()) {
            if (extra != "--") {
                return unexpected(path, words.restore(extra));
            }
        }
    }

    for (const Node* node : chain) {
        for (const auto& state : node->args) {
            if (state.def->kind == Kind::Positional && state.values.size() > 1) {
                return unexpected(path, state.values[1]);
            }
            if (state.def->kind != Kind::List && state.def->kind != Kind::Trailing &&
                state.given() > 1) {
                return usage_error(path, fmt::format("the argument '{}' cannot be used multiple "
                                                     "times",
                                                     state.def->display()));
            }
            for (const auto& value : state.values) {
                if (auto ok = check_value(*state.def, value); !ok) {
                    return usage_error(path, fmt::format("invalid value '{}' for '{}': {}", value,
                                                         state.def->display(), ok.error()));
                }
            }
        }
    }
    for (const auto& value : trailing) {
        if (!valid_utf8(value)) {
            return usage_error(path, "invalid UTF-8 was detected");
        }
    }

    for (const Node* node : chain) {
        std::string missing;
        for (const auto& state : node->args) {
            if (state.def->required && state.given() == 0) {
                missing += "\n  " + state.def->display();
            }
        }
        if (!missing.empty()) {
            return usage_error(path,
                               "the following required arguments were not provided:" + missing);
        }
    }

    const CommandDef& last = *path.back();
    if (!last.subcommands.empty()) {
        std::string names;
        for (const auto& sub : last.subcommands) {
            names += sub.name + ", ";
        }
        return usage_error(path, fmt::format("'{}' requires a subcommand but one was not "
                                             "provided\n  [subcommands: {}help]",
                                             path_text(path), names));
    }
    if (chain.size() == 1) {
        return usage_error(path, "'tevo-reelcut' requires a subcommand but one was not provided");
    }

    const Node* action = chain.size() > 2 ? chain[2] : nullptr;
    return Cli{build_record(*chain[1], action, std::move(trailing))};
}

} // namespace reelcut
