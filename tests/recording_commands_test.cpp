// mark, wrap and inspect, run end to end through the built binary.
#include "markers.hpp"
#include "support/test_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <regex>
#include <sstream>

namespace reelcut {
namespace {

using testing::lines_of;
using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::write_file;

std::vector<std::string> actions_in(const std::string& markers) {
    std::vector<std::string> actions;
    for (const auto& line : lines_of(read_file(markers))) {
        actions.push_back(nlohmann::json::parse(line).at("action").get<std::string>());
    }
    return actions;
}

class RecordingCommands : public ::testing::Test {
  protected:
    TempDir dir;
    std::string markers = dir / "markers.jsonl";
    std::string state = dir / "workspace";

    CapturedOutput run(const std::vector<std::string>& args,
                       std::vector<std::pair<std::string, std::string>> env = {}) {
        SpawnOptions options;
        options.set_env = std::move(env);
        options.set_env.emplace_back("TEVO_CLI_STATE_DIR", state);
        options.set_env.emplace_back("HOME", dir.path().string());
        options.unset_env.push_back("VIDEO_SPEEDUP_MARKERS");
        return run_reelcut(args, options);
    }

    // Caption calls the stand-in workspace tool received, as "show TEXT" / "hide".
    std::vector<std::string> caption_calls() {
        std::vector<std::string> calls;
        for (const auto& line : lines_of(read_file(state + "/calls.log"))) {
            auto argv = nlohmann::json::parse(line);
            if (argv.size() >= 3 && argv[1] == "caption") {
                calls.push_back(argv[2] == "show" ? "show " + argv[3].get<std::string>() : "hide");
            }
        }
        return calls;
    }
};

TEST_F(RecordingCommands, MarkWritesTheFileInItsFormat) {
    auto init = run({"mark", "init", "--file", markers});
    ASSERT_EQ(init.status.code, 0) << init.err;
    EXPECT_TRUE(std::regex_match(init.out, std::regex("OK: markers initialized at .* "
                                                      "\\(recording_start epoch=[0-9]{10}"
                                                      "\\.[0-9]{3}\\)\n")))
        << init.out;
    auto start = run(
        {"mark", "start", "--speed", "20", "--label", "Build \"all\"\n→ done", "--file", markers});
    ASSERT_EQ(start.status.code, 0) << start.err;
    EXPECT_EQ(start.out, "OK: dropped speedup_start (speed=20x, label=Build \"all\"\n→ done)\n");
    auto end = run({"mark", "end", "--file", markers});
    EXPECT_EQ(end.out, "OK: dropped speedup_end\n");

    const auto lines = lines_of(read_file(markers));
    ASSERT_EQ(lines.size(), 3u);
    // Rewriting each event must give back the very same bytes.
    auto events = read_events(markers);
    ASSERT_TRUE(events) << events.error();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(serialize_event((*events)[i]), lines[i]);
    }
    EXPECT_EQ(lines[1].find("{\"action\":\"speedup_start\",\"epoch\":"), 0u) << lines[1];
    EXPECT_NE(lines[1].find(",\"speed\":20,\"label\":\"Build \\\"all\\\"\\n→ done\"}"),
              std::string::npos)
        << lines[1];
    EXPECT_EQ(std::get<SpeedupStart>((*events)[1]).label, "Build \"all\"\n→ done");
}

TEST_F(RecordingCommands, MarkRefusesSpeedsOutsideTheRange) {
    ASSERT_EQ(run({"mark", "init", "--file", markers}).status.code, 0);
    for (const std::string speed : {"1", "101", "0"}) {
        auto r = run({"mark", "start", "--speed", speed, "--label", "x", "--file", markers});
        EXPECT_EQ(r.status.code, 1);
        EXPECT_EQ(r.err, "ERROR: speed must be in [2, 100], got " + speed + "\n");
        EXPECT_TRUE(r.out.empty());
    }
    for (const std::string speed : {"2", "100"}) {
        EXPECT_EQ(
            run({"mark", "start", "--speed", speed, "--label", "x", "--file", markers}).status.code,
            0);
    }
    EXPECT_EQ(actions_in(markers),
              (std::vector<std::string>{"recording_start", "speedup_start", "speedup_start"}));
}

TEST_F(RecordingCommands, FileErrorsGoThroughTheErrorTail) {
    auto missing_dir = run({"mark", "init", "--file", dir / "no/such/dir/m.jsonl"});
    EXPECT_EQ(missing_dir.status.code, 1);
    EXPECT_EQ(missing_dir.err, "ERROR: create " + (dir / "no/such/dir/m.jsonl") +
                                   ": No such file or directory (os error 2)\n");

    auto empty_default = run({"mark", "init"}, {{"VIDEO_SPEEDUP_MARKERS", ""}});
    EXPECT_EQ(empty_default.status.code, 1);
    EXPECT_EQ(empty_default.err, "ERROR: create : No such file or directory (os error 2)\n");

    write_file(markers, "\n\n");
    auto empty = run({"inspect", "--file", markers});
    EXPECT_EQ(empty.status.code, 1);
    EXPECT_EQ(empty.err, "ERROR: markers file is empty. Hint: call `tevo-reelcut mark init` "
                         "first.\nHint: call `tevo-reelcut mark init` first.\n");
}

TEST_F(RecordingCommands, UnwritableMarkersPathIsReportedAndLeftAlone) {
    // A directory in place of the file: refused even for root, so it holds in CI too.
    const std::string taken = dir / "taken";
    std::filesystem::create_directory(taken);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"mark", "end", "--file", taken},
             {"mark", "start", "--speed", "3", "--label", "x", "--file", taken}}) {
        auto r = run(args);
        EXPECT_EQ(r.status.code, 1);
        EXPECT_EQ(r.err, "ERROR: open " + taken + ": Is a directory (os error 21)\n");
        EXPECT_TRUE(r.out.empty());
    }
    auto init = run({"mark", "init", "--file", taken});
    EXPECT_EQ(init.err, "ERROR: create " + taken + ": Is a directory (os error 21)\n");
    EXPECT_TRUE(std::filesystem::is_empty(taken));
}

TEST_F(RecordingCommands, DefaultMarkersPathFollowsTheEnvironment) {
    auto r = run({"mark", "init"}, {{"VIDEO_SPEEDUP_MARKERS", markers}});
    ASSERT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(actions_in(markers), (std::vector<std::string>{"recording_start"}));
}

TEST_F(RecordingCommands, WrapPassesTheExitStatusOnAndBracketsTheCommand) {
    ASSERT_EQ(run({"mark", "init", "--file", markers}).status.code, 0);
    auto r = run({"wrap", "--speed", "20", "--label", "Build", "--file", markers, "--", "sh", "-c",
                  "echo wrapped-out; echo wrapped-err >&2; exit 3"});
    EXPECT_EQ(r.status.code, 3);
    EXPECT_EQ(r.out, "wrapped-out\n"); // no OK line of its own
    EXPECT_EQ(r.err, "wrapped-err\n");
    EXPECT_EQ(actions_in(markers),
              (std::vector<std::string>{"recording_start", "speedup_start", "speedup_end"}));
    EXPECT_EQ(caption_calls(), (std::vector<std::string>{"show 20x SPEEDUP: Build", "hide"}));
    // The full caption command line, as the workspace expects it.
    auto first = nlohmann::json::parse(lines_of(read_file(state + "/calls.log")).front());
    EXPECT_EQ(first, nlohmann::json::parse(R"(["nimbrel","caption","show","20x SPEEDUP: Build",
                                              "-d","0","-s","medium","-p","top"])"));
}

TEST_F(RecordingCommands, WrapRunsTheCommandWithTheTerminalsStreams) {
    SpawnOptions options;
    options.set_env = {{"TEVO_CLI_STATE_DIR", state}};
    options.stdin_data = "from-stdin\n";
    auto r =
        run_reelcut({"wrap", "--speed", "5", "--label", "cat", "--file", markers, "cat"}, options);
    EXPECT_EQ(r.status.code, 0);
    EXPECT_EQ(r.out, "from-stdin\n");
}

TEST_F(RecordingCommands, WrapFailuresBeforeAndAfterTheCommand) {
    ASSERT_EQ(run({"mark", "init", "--file", markers}).status.code, 0);

    auto slow = run({"wrap", "--speed", "1", "--label", "x", "--file", markers, "true"});
    EXPECT_EQ(slow.status.code, 1);
    EXPECT_EQ(slow.err, "ERROR: speed must be in [2, 100], got 1\n");

    auto nothing = run({"wrap", "--speed", "20", "--label", "x", "--file", markers, "--"});
    EXPECT_EQ(nothing.status.code, 1);
    EXPECT_EQ(nothing.err, "ERROR: wrap requires a command after `--`\nHint: Example: tevo-reelcut "
                           "wrap --speed 20 --label 'Exporting' -- tevo-desktop plarnet\n");
    EXPECT_TRUE(caption_calls().empty());
    EXPECT_EQ(actions_in(markers), (std::vector<std::string>{"recording_start"}));

    auto missing = run({"wrap", "--speed", "20", "--label", "x", "--file", markers, "--",
                        "no-such-program-here", "arg"});
    EXPECT_EQ(missing.status.code, 1);
    EXPECT_EQ(missing.err,
              "ERROR: failed to spawn 'no-such-program-here': No such file or directory (os error "
              "2)\n");
    EXPECT_EQ(actions_in(markers),
              (std::vector<std::string>{"recording_start", "speedup_start", "speedup_end"}));
    EXPECT_EQ(caption_calls(), (std::vector<std::string>{"show 20x SPEEDUP: x", "hide"}));

    auto killed = run({"wrap", "--speed", "20", "--label", "x", "--file", markers, "--", "sh", "-c",
                       "kill -TERM $$"});
    EXPECT_EQ(killed.status.code, 1);
}

TEST_F(RecordingCommands, WrapWithoutTheWorkspaceToolStillRuns) {
    ASSERT_EQ(run({"mark", "init", "--file", markers}).status.code, 0);
    auto r =
        run({"wrap", "--speed", "20", "--label", "x", "--file", markers, "--", "/bin/echo", "hi"},
            {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(r.status.code, 0);
    EXPECT_EQ(r.out, "hi\n");
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(RecordingCommands, WrapWithAnUnwritableStartMarkerRunsNothing) {
    auto r = run({"wrap", "--speed", "20", "--label", "x", "--file", dir / "missing/m.jsonl", "--",
                  "sh", "-c", "echo ran"});
    EXPECT_EQ(r.status.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: failed to write start marker: open " + (dir / "missing/m.jsonl") +
                         ": No such file or directory (os error 2)\n");
    EXPECT_EQ(caption_calls(), (std::vector<std::string>{"show 20x SPEEDUP: x", "hide"}));
}

TEST_F(RecordingCommands, InspectSummarisesSegments) {
    write_file(markers,
               "{\"action\":\"recording_start\",\"epoch\":1000.0}\n"
               "{\"action\":\"speedup_start\",\"epoch\":1010.0,\"speed\":20,\"label\":\"Export\"}\n"
               "{\"action\":\"speedup_end\",\"epoch\":1050.0}\n"
               "{\"action\":\"speedup_end\",\"epoch\":1051.5}\n"
               "{\"action\":\"speedup_start\",\"epoch\":1060.0,\"speed\":4,\"label\":\"Wait\"}\n");
    auto r = run({"inspect", "--file", markers});
    ASSERT_EQ(r.status.code, 0) << r.err;
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 2u) << r.out;
    EXPECT_EQ(out[0].rfind("OK: Recording started ", 0), 0u);
    EXPECT_NE(out[0].find("s ago, 1 speedup segments, ~40.0s of source video → ~2.0s after speedup "
                          "(95.0% reduction)"),
              std::string::npos)
        << out[0];
    EXPECT_EQ(out[1], "  -   40.0s @  20x: \"Export\"  →  2.0s");
    EXPECT_EQ(r.err, "WARN: speedup_end at 51.500 with no matching speedup_start (ignored)\n"
                     "WARN: 1 unclosed speedup_start markers (will be ended at end-of-video on "
                     "process)\n");
}

TEST_F(RecordingCommands, InspectOfAFreshFile) {
    ASSERT_EQ(run({"mark", "init", "--file", markers}).status.code, 0);
    auto r = run({"inspect", "--file", markers});
    ASSERT_EQ(r.status.code, 0) << r.err;
    EXPECT_NE(r.out.find(" 0 speedup segments, ~0.0s of source video → ~0.0s after speedup (0.0% "
                         "reduction)"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(r.err.empty());
}

TEST_F(RecordingCommands, InspectReportsBadLines) {
    write_file(markers,
               "{\"action\":\"recording_start\",\"epoch\":1}\n\n"
               "{\"action\":\"speedup_start\",\"epoch\":2,\"speed\":20.5,\"label\":\"x\"}\n");
    auto r = run({"inspect", "--file", markers});
    EXPECT_EQ(r.status.code, 1);
    EXPECT_EQ(r.err.rfind("ERROR: parse line 3: ", 0), 0u) << r.err;
    EXPECT_NE(
        r.err.find("({\"action\":\"speedup_start\",\"epoch\":2,\"speed\":20.5,\"label\":\"x\"})"),
        std::string::npos)
        << r.err;

    write_file(markers, "{\"action\":\"recording_start\",\"epoch\":1}\n{\"action\":\"speedup_end\","
                        "\"epoch\":2,\"note\":\"\xff\"}\n");
    auto utf8 = run({"inspect", "--file", markers});
    EXPECT_EQ(utf8.status.code, 1);
    EXPECT_EQ(utf8.err, "ERROR: read line 2: stream did not contain valid UTF-8\n");

    auto missing = run({"inspect", "--file", dir / "nope.jsonl"});
    EXPECT_EQ(missing.err,
              "ERROR: open " + (dir / "nope.jsonl") + ": No such file or directory (os error 2)\n");
}

TEST_F(RecordingCommands, ParserOutcomesOfTheBinary) {
    auto help = run({"--help"});
    EXPECT_EQ(help.status.code, 0);
    EXPECT_NE(help.out.find("Usage: tevo-reelcut <COMMAND>"), std::string::npos);
    EXPECT_TRUE(help.err.empty());

    auto bare = run({});
    EXPECT_EQ(bare.status.code, 2);
    EXPECT_TRUE(bare.out.empty());
    EXPECT_NE(bare.err.find("Usage: tevo-reelcut <COMMAND>"), std::string::npos);

    auto typo = run({"inspct"});
    EXPECT_EQ(typo.status.code, 2);
    EXPECT_NE(typo.err.find("a similar subcommand exists: 'inspect'"), std::string::npos);

    auto version = run({"-V"});
    EXPECT_EQ(version.out, "tevo-reelcut 1.0.2\n");
}

TEST_F(RecordingCommands, VanishedReaderIsNoCrash) {
    // Far more output than a pipe holds, into a reader that exits after one line: the writes fail
    // (SIGPIPE is ignored) and the run still ends normally.
    std::string text = "{\"action\":\"recording_start\",\"epoch\":0.0}\n";
    for (int i = 0; i < 20000; ++i) {
        text += fmt::format("{{\"action\":\"speedup_start\",\"epoch\":{}.0,\"speed\":2,"
                            "\"label\":\"step\"}}\n{{\"action\":\"speedup_end\",\"epoch\":{}.5}}\n",
                            i, i);
    }
    write_file(markers, text);
    auto r = run_captured("bash", {"-c",
                                   "set -o pipefail; \"$0\" inspect --file \"$1\" | head -1 "
                                   ">/dev/null; echo $?",
                                   REELCUT_BIN, markers});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->out, "0\n");
}

} // namespace
} // namespace reelcut
