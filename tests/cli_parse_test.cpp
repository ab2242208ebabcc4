// The command-line parser without running anything: outcomes, messages and the typed records.
#include "main/cli.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fmt/format.h>

namespace reelcut {
namespace {

ParserExit exit_of(const std::vector<std::string>& args) {
    auto outcome = parse_command_line(args);
    if (const auto* exit = std::get_if<ParserExit>(&outcome)) {
        return *exit;
    }
    ADD_FAILURE() << "expected the parser to end the run";
    return {};
}

Commands command_of(const std::vector<std::string>& args) {
    auto outcome = parse_command_line(args);
    if (const auto* exit = std::get_if<ParserExit>(&outcome)) {
        ADD_FAILURE() << "parser ended the run with " << exit->status << ": " << exit->err;
        return HealthCmd{};
    }
    return std::get<Cli>(outcome).command;
}

struct ExitCase {
    std::vector<std::string> args;
    int status;
    std::string stream; // "out" or "err": where the text goes; the other stays empty
    std::string contains;
};

class CliExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(CliExit, EndsWithStatusAndText) {
    const auto& c = GetParam();
    ParserExit exit = exit_of(c.args);
    EXPECT_EQ(exit.status, c.status);
    const std::string& text = c.stream == "out" ? exit.out : exit.err;
    const std::string& other = c.stream == "out" ? exit.err : exit.out;
    EXPECT_NE(text.find(c.contains), std::string::npos) << text;
    EXPECT_TRUE(other.empty()) << other;
    if (c.status == 2) {
        EXPECT_NE(text.find("Usage: tevo-reelcut"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliExit,
    ::testing::Values(
        // help and version: standard output, status 0
        ExitCase{{"--help"}, 0, "out", "Commands:\n  health"},
        ExitCase{{"-h"}, 0, "out", "Usage: tevo-reelcut <COMMAND>"},
        ExitCase{{"help"}, 0, "out", "  install       Deploy the embedded SKILL.md"},
        ExitCase{{"help", "mark", "start"},
                 0,
                 "out",
                 "Usage: tevo-reelcut mark start [OPTIONS] --speed <SPEED> --label <LABEL>"},
        ExitCase{{"mark", "help", "init"}, 0, "out", "Clear the markers file"},
        ExitCase{{"process", "--help"}, 0, "out", "[default: 1280]"},
        ExitCase{{"process", "-h"}, 0, "out", "--base-speed <BASE_SPEED>"},
        ExitCase{{"ctrl", "latest", "console", "--help"}, 0, "out", "--tail <TAIL>"},
        ExitCase{{"-V"}, 0, "out", "tevo-reelcut 1.0.2\n"},
        ExitCase{{"--version"}, 0, "out", "tevo-reelcut 1.0.2\n"},
        // no argument at all: the help, as an error
        ExitCase{{}, 2, "err", "Commands:"},
        ExitCase{{"mark"}, 2, "err", "Usage: tevo-reelcut mark <COMMAND>"},
        ExitCase{{"manifest"}, 2, "err", "Usage: tevo-reelcut manifest <COMMAND>"},
        ExitCase{{"ctrl"}, 2, "err", "Usage: tevo-reelcut ctrl <TARGET> <COMMAND>"},
        // unknown names, with suggestions
        ExitCase{{"marc"}, 2, "err", "a similar subcommand exists: 'mark'"},
        ExitCase{{"zzzz"}, 2, "err", "unrecognized subcommand 'zzzz'"},
        ExitCase{{"inspect", "--fil", "x"}, 2, "err", "a similar argument exists: '--file'"},
        ExitCase{{"mark", "strat"}, 2, "err", "a similar subcommand exists: 'start'"},
        ExitCase{{"inspect", "--version"}, 2, "err", "unexpected argument '--version' found"},
        ExitCase{{"inspect", "extra"}, 2, "err", "unexpected argument 'extra' found"},
        ExitCase{{"inspect", "health"}, 2, "err", "unexpected argument 'health' found"},
        ExitCase{{"manifest", "init", "a.json", "b.json"},
                 2,
                 "err",
                 "unexpected argument 'b.json' found"},
        // missing pieces
        ExitCase{{"mark", "start", "--label", "x"},
                 2,
                 "err",
                 "the following required arguments were not provided:\n  --speed <SPEED>"},
        ExitCase{{"process"}, 2, "err", "--input <INPUT>"},
        ExitCase{{"storyboard"}, 2, "err", "<MANIFEST>"},
        ExitCase{{"ctrl", "latest"}, 2, "err", "requires a subcommand"},
        ExitCase{{"ctrl", "storyboard"}, 2, "err", "requires a subcommand"},
        ExitCase{{"ctrl", "x", "call", "GET", "/y", "z"}, 2, "err", "unexpected argument 'z'"},
        ExitCase{
            {"ctrl", "x", "call", "GET", "/y", "list"}, 2, "err", "unexpected argument 'list'"},
        ExitCase{{"mark", "list"}, 2, "err", "unrecognized subcommand 'list'"},
        ExitCase{{"inspect", "--file"}, 2, "err", "a value is required for '--file <FILE>'"},
        // values
        ExitCase{{"eval", "x", "--port", "65536"},
                 2,
                 "err",
                 "invalid value '65536' for '--port <PORT>'"},
        ExitCase{
            {"process", "--input", "a", "--max-speed", "4294967296"}, 2, "err", "number too large"},
        ExitCase{{"eval", "x", "--port", "0x10"}, 2, "err", "invalid digit"},
        ExitCase{{"eval", "x", "--timeout", "-1"},
                 2,
                 "err",
                 "a value is required for '--timeout <TIMEOUT>' but none was supplied"},
        ExitCase{{"eval", "x", "--timeout=-1"}, 2, "err", "invalid value '-1'"},
        ExitCase{{"ctrl", "latest", "console", "--tail", "-1"},
                 2,
                 "err",
                 "a value is required for '--tail <TAIL>'"},
        ExitCase{
            {"process", "--input", "a", "--base-speed", "fast"}, 2, "err", "invalid float literal"},
        ExitCase{{"process", "--input", "a", "--base-speed", "0x1p3"},
                 2,
                 "err",
                 "invalid float literal"},
        ExitCase{{"mark", "start", "--speed", "20", "--label", "\xff"}, 2, "err", "invalid UTF-8"},
        // a single-value option twice
        ExitCase{{"inspect", "--file", "a", "--file", "b"},
                 2,
                 "err",
                 "the argument '--file <FILE>' cannot be used multiple times"},
        ExitCase{{"storyboard", "m.json", "--no-open", "--no-open"},
                 2,
                 "err",
                 "cannot be used multiple times"},
        ExitCase{{"storyboard", "m.json", "--no-open=yes"}, 2, "err", "unexpected value 'yes'"},
        // a token that looks like an option is never an option's value
        ExitCase{{"mark", "init", "--file", "--help"},
                 2,
                 "err",
                 "a value is required for '--file <FILE>' but none was supplied"},
        ExitCase{{"manifest", "init", "x.json", "--title", "--help"},
                 2,
                 "err",
                 "a value is required for '--title <TITLE>' but none was supplied"},
        ExitCase{{"wrap", "--speed", "5", "--label", "--help", "--", "true"},
                 2,
                 "err",
                 "a value is required for '--label <LABEL>' but none was supplied"},
        ExitCase{{"wrap", "--speed", "5", "--label", "-v", "true"},
                 2,
                 "err",
                 "a value is required for '--label <LABEL>' but none was supplied"},
        ExitCase{{"manifest", "add", "m.json", "--id", "a", "--title", "t", "--speedup", "-5:x"},
                 2,
                 "err",
                 "a value is required for '--speedup <SPEEDUPS>' but none was supplied"},
        ExitCase{{"eval", "-1"}, 2, "err", "tip: to pass '-1' as a value, use '-- -1'"},
        // wrap: the command starts at the first token that is not one of wrap's options
        ExitCase{{"wrap", "--speed", "20", "ls", "--label", "x"}, 2, "err", "--label <LABEL>"}));

TEST(CliRecords, DefaultsFillEveryRecord) {
    auto process = std::get<ProcessArgs>(command_of({"process", "--input", "in.webm"}));
    EXPECT_EQ(process.input, "in.webm");
    EXPECT_EQ(process.max_speed, 100u);
    EXPECT_EQ(process.max_width, 1280u);
    EXPECT_EQ(process.base_speed, 1.0);
    EXPECT_FALSE(process.no_overlay);
    EXPECT_FALSE(process.output || process.trim_start || process.trim_end);

    auto voiceover = std::get<VoiceoverArgs>(command_of({"voiceover", "--input", "v.webm"}));
    EXPECT_EQ(voiceover.port, 8796);
    EXPECT_EQ(voiceover.tab_name, "Tevo Reelcut-Processing");
    EXPECT_FALSE(voiceover.markers);

    auto app = std::get<AppArgs>(command_of({"app", "m.json"}));
    EXPECT_EQ(app.port, 8798);
    EXPECT_EQ(app.tab_name, "Tevo Reelcut");
    auto board = std::get<StoryboardArgs>(command_of({"storyboard", "m.json", "--no-watch"}));
    EXPECT_EQ(board.port, 8797);
    EXPECT_EQ(board.tab_name, "Storyboard");
    EXPECT_TRUE(board.no_watch);
    EXPECT_FALSE(board.no_open);

    auto eval = std::get<EvalArgs>(command_of({"eval", "return 1"}));
    EXPECT_EQ(eval.port, 8796);
    EXPECT_EQ(eval.timeout, 30u);
    auto still = std::get<AppendStillArgs>(
        command_of({"append-still", "--video", "v", "--image", "i", "--output", "o"}));
    EXPECT_EQ(still.duration, 3.0);
    EXPECT_EQ(std::get<ConcatArgs>(command_of({"concat", "--manifest", "m", "--output", "o"})).kind,
              "fast");
    EXPECT_EQ(
        std::get<PublishArgs>(command_of({"publish", "--input", "i", "--page", "p"})).asset_type,
        "video");
    auto init =
        std::get<ManifestInit>(std::get<ManifestAction>(command_of({"manifest", "init", "m"})));
    EXPECT_EQ(init.title, "Untitled");

    auto ctrl = std::get<CtrlArgs>(command_of({"ctrl", "latest", "console", "--follow"}));
    EXPECT_EQ(ctrl.target, "latest");
    auto console = std::get<CtrlConsole>(ctrl.action);
    EXPECT_TRUE(console.follow);
    EXPECT_FALSE(console.tail || console.since);
    auto ctrl_eval = std::get<CtrlArgs>(command_of({"ctrl", "8797", "eval", "1+1"}));
    EXPECT_EQ(std::get<CtrlEval>(ctrl_eval.action).timeout, 30u);

    // Targets that name subcommands, and an action with two positionals and a body.
    for (const char* target : {"storyboard", "voiceover", "app", "ctrl", "pid:42"}) {
        auto named = std::get<CtrlArgs>(command_of({"ctrl", target, "state"}));
        EXPECT_EQ(named.target, target);
        EXPECT_TRUE(std::holds_alternative<CtrlState>(named.action));
    }
    auto call = std::get<CtrlArgs>(
        command_of({"ctrl", "storyboard", "call", "POST", "/concat", "--body", "@notes"}));
    const auto& request = std::get<CtrlCall>(call.action);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/concat");
    EXPECT_EQ(request.body, "@notes");

    // Values that happen to name a subcommand stay values.
    EXPECT_EQ(std::get<CtrlCall>(
                  std::get<CtrlArgs>(command_of({"ctrl", "latest", "call", "GET", "state"})).action)
                  .path,
              "state");
    EXPECT_EQ(std::get<CtrlEval>(
                  std::get<CtrlArgs>(command_of({"ctrl", "app", "eval", "shutdown"})).action)
                  .code,
              "shutdown");
    EXPECT_EQ(std::get<EvalArgs>(command_of({"eval", "list"})).code, "list");
    EXPECT_EQ(std::get<MarkStart>(std::get<MarkAction>(command_of(
                                      {"mark", "start", "--label", "list", "--speed", "5"})))
                  .label,
              "list");
    auto add = std::get<ManifestAdd>(std::get<ManifestAction>(
        command_of({"manifest", "add", "manifest", "--id", "add", "--title", "list"})));
    EXPECT_EQ(add.file, "manifest");
    EXPECT_EQ(add.id, "add");
    EXPECT_EQ(add.title, "list");
}

TEST(CliRecords, ValuesAtTheEdgesOfTheirTypes) {
    EXPECT_EQ(std::get<EvalArgs>(command_of({"eval", "x", "--port", "65535"})).port, 65535);
    EXPECT_EQ(std::get<EvalArgs>(command_of({"eval", "x", "--port=0"})).port, 0);
    EXPECT_EQ(
        std::get<EvalArgs>(command_of({"eval", "x", "--timeout", "18446744073709551615"})).timeout,
        18446744073709551615ull);
    auto tail = std::get<CtrlConsole>(
        std::get<CtrlArgs>(command_of({"ctrl", "latest", "console", "--tail", "+5"})).action);
    EXPECT_EQ(tail.tail, 5u);

    // Speeds outside 2..100 are for the subcommands to refuse, not the parser.
    auto start = std::get<MarkStart>(
        std::get<MarkAction>(command_of({"mark", "start", "--speed", "500", "--label", "x"})));
    EXPECT_EQ(start.speed, 500u);
    auto empty = std::get<MarkStart>(
        std::get<MarkAction>(command_of({"mark", "start", "--speed", "2", "--label="})));
    EXPECT_EQ(empty.label, "");

    for (auto [text, expected] : std::vector<std::pair<std::string, double>>{
             {"2", 2.0}, {"2.5", 2.5}, {"1e0", 1.0}, {"+.5", 0.5}, {"7.", 7.0}}) {
        auto p =
            std::get<ProcessArgs>(command_of({"process", "--input", "a", "--base-speed", text}));
        EXPECT_EQ(p.base_speed, expected) << text;
    }
    auto inf =
        std::get<ProcessArgs>(command_of({"process", "--input", "a", "--base-speed", "inf"}));
    EXPECT_TRUE(std::isinf(inf.base_speed));
    auto nan =
        std::get<ProcessArgs>(command_of({"process", "--input", "a", "--base-speed", "NaN"}));
    EXPECT_TRUE(std::isnan(nan.base_speed));
}

TEST(CliRecords, RepeatableOptionsKeepCommandLineOrder) {
    auto add = std::get<ManifestAdd>(std::get<ManifestAction>(command_of(
        {"manifest", "add", "m.json", "--id", "c1", "--title", "T", "--speedup", "20:Export",
         "--warning", "w1", "--speedup", "4:Wait", "--action", "a1", "--warning", "w2"})));
    EXPECT_EQ(add.speedups, (std::vector<std::string>{"20:Export", "4:Wait"}));
    EXPECT_EQ(add.warnings, (std::vector<std::string>{"w1", "w2"}));
    EXPECT_EQ(add.actions, (std::vector<std::string>{"a1"}));
    EXPECT_FALSE(add.description || add.raw || add.narration);
}

TEST(CliRecords, WrapTakesEverythingAfterItsOptionsAsTheCommand) {
    using Tokens = std::vector<std::string>;
    auto command = [](const Tokens& args) { return std::get<WrapArgs>(command_of(args)).command; };
    EXPECT_EQ(command({"wrap", "--speed", "20", "--label", "x", "--", "ls", "-la"}),
              (Tokens{"ls", "-la"}));
    EXPECT_EQ(command({"wrap", "--speed", "20", "--label", "x", "ls", "--speed", "3"}),
              (Tokens{"ls", "--speed", "3"}));
    EXPECT_EQ(command({"wrap", "--speed=20", "--label", "x", "-v", "--help"}),
              (Tokens{"-v", "--help"}));
    EXPECT_EQ(command({"wrap", "--speed", "20", "--label", "x", "--", "--", "a"}),
              (Tokens{"--", "a"}));
    EXPECT_EQ(command({"wrap", "--speed", "20", "--label", "x", "-5", "--file", "-"}),
              (Tokens{"-5", "--file", "-"}));
    EXPECT_EQ(command({"wrap", "--speed", "20", "--label=-x", "--", "-v"}), (Tokens{"-v"}));
    EXPECT_TRUE(command({"wrap", "--speed", "20", "--label", "x"}).empty());
    auto wrap = std::get<WrapArgs>(command_of({"wrap", "--label", "L", "--speed", "7", "true"}));
    EXPECT_EQ(wrap.speed, 7u);
    EXPECT_EQ(wrap.label, "L");
}

TEST(CliRecords, HyphenValuesGoInlineOrAfterTheEscape) {
    auto init = [](const std::vector<std::string>& args) {
        return std::get<ManifestInit>(std::get<ManifestAction>(command_of(args)));
    };
    EXPECT_EQ(init({"manifest", "init", "m.json", "--title=-x"}).title, "-x");
    EXPECT_EQ(init({"manifest", "init", "m.json", "--title", "-"}).title, "-");
    EXPECT_EQ(init({"manifest", "init", "--", "-x.json"}).file, "-x.json");
    EXPECT_EQ(std::get<EvalArgs>(command_of({"eval", "--port", "1", "--", "-1"})).code, "-1");
    EXPECT_EQ(std::get<ProcessArgs>(command_of({"process", "--input", "a", "--base-speed=-2"}))
                  .base_speed,
              -2.0);
}

// Over the whole declaration: no option takes a token that looks like an option as its value,
// whatever its type; "--name=-x" and "-" are values; a positional that looks like an option
// needs "--" before it.
class EveryArgument : public ::testing::Test {
  protected:
    using Steps = std::vector<const DeclaredCommand*>;

    static void collect(const DeclaredCommand& cmd, Steps steps, std::vector<Steps>& out) {
        steps.push_back(&cmd);
        if (cmd.subcommands.empty()) {
            out.push_back(steps);
        }
        for (const auto& sub : cmd.subcommands) {
            collect(sub, steps, out);
        }
    }
    static bool textual(const DeclaredArgument& a) { return a.type == "text" || a.type == "path"; }
    static std::string sample(const DeclaredArgument& a) { return textual(a) ? "x" : "1"; }

    // The command line of `steps` with every required argument, `changed` given as `with`.
    static std::vector<std::string> line(const Steps& steps, const DeclaredArgument* changed,
                                         const std::vector<std::string>& with,
                                         bool escape = false) {
        std::vector<std::string> out;
        for (const auto* step : steps) {
            if (step != steps.front()) {
                out.push_back(step->name);
            }
            for (const auto& a : step->arguments) {
                if (!a.positional && a.required && &a != changed) {
                    out.insert(out.end(), {"--" + a.long_name, sample(a)});
                }
            }
            if (escape && step == steps.back()) {
                out.push_back("--");
            }
            bool mine = false;
            for (const auto& a : step->arguments) {
                mine = mine || &a == changed;
                if (a.positional && !a.trailing) {
                    if (&a == changed) {
                        out.insert(out.end(), with.begin(), with.end());
                    } else {
                        out.push_back(sample(a));
                    }
                }
            }
            if (mine && !changed->positional) {
                out.insert(out.end(), with.begin(), with.end());
            }
        }
        return out;
    }
    static std::string shown(const std::vector<std::string>& args) {
        std::string out;
        for (const auto& a : args) {
            out += " '" + a + "'";
        }
        return out;
    }

    DeclaredCommand root = declared_command_line();
    std::vector<Steps> leaves;
    void SetUp() override { collect(root, {}, leaves); }
};

TEST_F(EveryArgument, OptionsNeverTakeAHyphenToken) {
    std::size_t options = 0;
    for (const Steps& steps : leaves) {
        for (const auto* step : steps) {
            for (const auto& arg : step->arguments) {
                if (!arg.takes_value) {
                    continue;
                }
                ++options;
                const std::string flag = "--" + arg.long_name;
                for (const std::vector<std::string>& with :
                     std::vector<std::vector<std::string>>{{flag, "-x"},
                                                           {flag, "--help"},
                                                           {flag, "-h"},
                                                           {flag, "-5"},
                                                           {flag, "-1.5"},
                                                           {flag, "--"},
                                                           {flag, "--", "x"},
                                                           {flag}}) {
                    const auto args = line(steps, &arg, with);
                    auto outcome = parse_command_line(args);
                    const auto* exit = std::get_if<ParserExit>(&outcome);
                    ASSERT_NE(exit, nullptr) << shown(args);
                    EXPECT_EQ(exit->status, 2) << shown(args);
                    EXPECT_NE(exit->err.find(fmt::format("error: a value is required for '{}' but "
                                                         "none was supplied",
                                                         arg.display)),
                              std::string::npos)
                        << shown(args) << "\n"
                        << exit->err;
                    EXPECT_NE(exit->err.find("Usage: tevo-reelcut " + steps[1]->name),
                              std::string::npos)
                        << exit->err;
                }

                // Inline, a hyphen value reaches the type's own check; "-" is a value.
                const std::string inline_value = textual(arg) ? "-x" : "-1.5";
                for (const std::vector<std::string>& with : std::vector<std::vector<std::string>>{
                         {flag + "=" + inline_value}, {flag, "-"}, {flag, sample(arg)}}) {
                    const auto args = line(steps, &arg, with);
                    auto outcome = parse_command_line(args);
                    const bool is_value = with.size() == 1 || textual(arg) || with[1] != "-";
                    const bool fits = textual(arg) || arg.type == "float" || with.size() == 2;
                    if (is_value && fits) {
                        EXPECT_TRUE(std::holds_alternative<Cli>(outcome))
                            << shown(args) << "\n"
                            << std::get<ParserExit>(outcome).err;
                    } else {
                        const auto* exit = std::get_if<ParserExit>(&outcome);
                        ASSERT_NE(exit, nullptr) << shown(args);
                        EXPECT_NE(exit->err.find("invalid value '"), std::string::npos)
                            << shown(args) << "\n"
                            << exit->err;
                    }
                }
            }
        }
    }
    EXPECT_GT(options, 40u); // the walk did reach the declaration
}

TEST_F(EveryArgument, PositionalsTakeAHyphenTokenOnlyAfterTheEscape) {
    for (const Steps& steps : leaves) {
        for (const auto* step : steps) {
            for (const auto& arg : step->arguments) {
                if (!arg.positional || arg.trailing) {
                    continue;
                }
                for (const std::string value : {"-1", "-x", "--x"}) {
                    const auto args = line(steps, &arg, {value});
                    const ParserExit exit = exit_of(args);
                    EXPECT_EQ(exit.status, 2) << shown(args);
                    EXPECT_NE(exit.err.find(fmt::format("unexpected argument '{}' found", value)),
                              std::string::npos)
                        << shown(args) << "\n"
                        << exit.err;
                    if (step == steps.back()) {
                        const auto escaped = line(steps, &arg, {value}, true);
                        EXPECT_TRUE(std::holds_alternative<Cli>(parse_command_line(escaped)))
                            << shown(escaped);
                    }
                }
            }
        }
    }
}

TEST(CliRecords, MarkersDefaultComesFromTheEnvironment) {
    ::unsetenv("VIDEO_SPEEDUP_MARKERS");
    EXPECT_EQ(std::get<InspectArgs>(command_of({"inspect"})).file,
              "/tmp/tevo-reelcut-markers.jsonl");
    ::setenv("VIDEO_SPEEDUP_MARKERS", "/x/m.jsonl", 1);
    EXPECT_EQ(std::get<InspectArgs>(command_of({"inspect"})).file, "/x/m.jsonl");
    EXPECT_EQ(std::get<ProcessArgs>(command_of({"process", "--input", "a"})).markers, "/x/m.jsonl");
    EXPECT_EQ(std::get<InspectArgs>(command_of({"inspect", "--file", "own"})).file, "own");
    ::setenv("VIDEO_SPEEDUP_MARKERS", "", 1);
    EXPECT_EQ(std::get<InspectArgs>(command_of({"inspect"})).file, "");
    ::unsetenv("VIDEO_SPEEDUP_MARKERS");
}

TEST(CliHelp, PagesShowNamesDefaultsAndHelpTexts) {
    std::string help = exit_of({"process", "--help"}).out;
    EXPECT_NE(help.find("Speedup post-process: read markers + input video, produce sped-up output"),
              std::string::npos);
    EXPECT_NE(help.find("Usage: tevo-reelcut process [OPTIONS] --input <INPUT>"),
              std::string::npos);
    EXPECT_NE(help.find("--max-speed <MAX_SPEED>"), std::string::npos);
    EXPECT_NE(help.find("[default: 100]"), std::string::npos);
    EXPECT_NE(help.find("--base-speed <BASE_SPEED>"), std::string::npos);
    EXPECT_NE(help.find("[default: 1]"), std::string::npos);
    EXPECT_NE(help.find("Values: \"auto\"      = trim to first speedup marker"), std::string::npos);
    EXPECT_EQ(help.find("-V, --version"), std::string::npos);

    std::string add = exit_of({"manifest", "add", "-h"}).out;
    EXPECT_NE(
        add.find("Usage: tevo-reelcut manifest add [OPTIONS] --id <ID> --title <TITLE> <FILE>"),
        std::string::npos);
    EXPECT_NE(add.find("--speedup <SPEEDUPS>"), std::string::npos);
    EXPECT_NE(add.find("--console-png <CONSOLE_PNG>"), std::string::npos);

    std::string wrap = exit_of({"wrap", "--help"}).out;
    EXPECT_NE(wrap.find("[COMMAND]...  Command to run after the markers (everything after `--`)"),
              std::string::npos);

    // Subcommands are listed in declaration order.
    std::string top = exit_of({"--help"}).out;
    std::vector<std::string> order{"health",   "mark",         "wrap",      "inspect",
                                   "process",  "app",          "voiceover", "storyboard",
                                   "manifest", "append-still", "concat",    "publish",
                                   "eval",     "list",         "ctrl",      "install"};
    std::size_t at = 0;
    for (const auto& name : order) {
        std::size_t found = top.find("\n  " + name + " ", at);
        ASSERT_NE(found, std::string::npos) << name;
        at = found;
    }
}

} // namespace
} // namespace reelcut
