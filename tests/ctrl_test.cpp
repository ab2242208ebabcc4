// `list` and `ctrl`: target resolution, the instance table, and the curl command lines and
// output of every action (against a recording stand-in curl).
#include "ctrl/client.hpp"
#include "ctrl/ctrl.hpp"
#include "support/fake_curl.hpp"
#include "support/test_support.hpp"
#include "support/webapp_fixture.hpp"

#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

using namespace reelcut;
using namespace reelcut::testing;
namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

// A HOME whose registry holds what a test puts there.
struct Home {
    TempDir dir;
    fs::path registry = dir.path() / ".tevo/tevo-reelcut/instances";

    void add(std::uint32_t pid, std::uint16_t port, const std::string& subcommand,
             std::uint64_t started_at, const std::string& file = "") {
        fs::create_directories(registry);
        write_file(registry / (file.empty() ? fmt::format("{}.json", pid) : file),
                   fmt::format(R"({{"pid":{},"port":{},"subcommand":"{}","title":"t",)"
                               R"("startedAt":{},"cwd":"/"}})",
                               pid, port, subcommand, started_at));
    }
};

std::uint32_t own_pid() {
    return static_cast<std::uint32_t>(::getpid());
}

// What `body` returned and wrote on standard output and error, with HOME and PATH set for it.
struct InProcess {
    Status status;
    std::string out, err;
};
InProcess run_in_process(const Home& home, const std::string& path,
                         const std::function<Status()>& body, const char* stdout_to = nullptr) {
    EnvGuard home_guard("HOME"), path_guard("PATH");
    ::setenv("HOME", home.dir.path().c_str(), 1);
    ::setenv("PATH", path.c_str(), 1);
    TempDir capture;
    InProcess result;
    const int saved_out = ::dup(1), saved_err = ::dup(2);
    const int out = stdout_to
                        ? ::open(stdout_to, O_WRONLY)
                        : ::open((capture / "out").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    const int err = ::open((capture / "err").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    result.status = body();
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    for (int fd : {out, err, saved_out, saved_err}) {
        ::close(fd);
    }
    result.out = stdout_to ? "" : read_file(capture / "out");
    result.err = read_file(capture / "err");
    return result;
}

CapturedOutput run_with(const Home& home, const std::string& path, const Args& args) {
    SpawnOptions options;
    options.set_env = {{"HOME", home.dir.path().string()}, {"PATH", path}};
    return run_reelcut(args, options);
}

InstanceRecord record(std::uint32_t pid, std::uint16_t port, std::string subcommand,
                      std::uint64_t started_at, std::string title = "t") {
    return {std::move(subcommand), std::move(title), started_at, pid, port};
}

} // namespace

TEST(CtrlTarget, ResolvesEveryFormAndNamesWhatIsMissing) {
    const std::vector<InstanceRecord> instances = {
        record(70001, 8796, "voiceover", 100), record(70002, 8797, "storyboard", 200),
        record(70003, 8799, "voiceover", 300), record(8798, 9000, "ÄPP", 300),
        record(70005, 8800, "", 300)};
    struct Case {
        std::string target;
        std::uint32_t pid; // 0: an error is expected
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {"latest", 70005, ""}, // the newest; among equal start times the last listed
             {"8796", 70001, ""},
             {"+8797", 70002, ""},
             {"voiceover", 70001, ""}, // the oldest of two
             {"VoiceOver", 70001, ""},
             {"äpp", 8798, ""},
             {"", 70005, ""}, // an empty name matches an empty subcommand
             {"pid:70002", 70002, ""},
             {"pid:+8798", 8798, ""},
             {"70003", 70003, ""},                            // a bare pid
             {"8798", 0, "no running instance on port 8798"}, // never a pid below 65536
             {"pid:8796", 0, "no running instance with pid 8796"},
             {"65535", 0, "no running instance on port 65535"},
             {"65536", 0, "no running instance with pid 65536"},
             {"99999999999", 0, "no running instance with pid 99999999999"},
             {"pid:x", 0, "invalid pid in target pid:x"},
             {"pid:", 0, "invalid pid in target pid:"},
             {"pid: 1", 0, "invalid pid in target pid: 1"},
             {"pid:4294967296", 0, "invalid pid in target pid:4294967296"},
             // Lower-cased, the dotted capital I is "i" and a combining dot: no match.
             {"VOİCEOVER", 0,
              "no running instance matching VOİCEOVER. Hint: run `tevo-reelcut list` to see what "
              "is running."},
             {"Latest", 0,
              "no running instance matching Latest. Hint: run `tevo-reelcut list` to see what is "
              "running."},
             {" 8796", 0,
              "no running instance matching  8796. Hint: run `tevo-reelcut list` to see what is "
              "running."},
         }) {
        const auto chosen = resolve_target(instances, c.target);
        if (c.pid == 0) {
            ASSERT_FALSE(chosen) << c.target;
            EXPECT_EQ(chosen.error(), c.error) << c.target;
        } else {
            ASSERT_TRUE(chosen) << c.target << ": " << chosen.error();
            EXPECT_EQ(chosen->pid, c.pid) << c.target;
        }
    }
}

TEST(CtrlList, TableColumnsTitlesAndAges) {
    const std::uint64_t now = 1'000'000;
    const std::string t38(38, 'a'), t39(39, 'b');
    // 36 ASCII bytes and a two-byte character straddling the 37-byte cut.
    const std::string straddle = std::string(36, 'c') + "éééé";
    const std::string table = format_instance_table(
        {record(1, 8796, "voiceover", now - 59, t38), record(22, 8797, "storyboard", now - 60, t39),
         record(333, 80, "app", now - 3599, straddle), record(4, 5, "app", now - 3600, "é"),
         record(5, 6, "app", now - 86400, "x"), record(6, 7, "a-long-subcommand", now + 10, "y")},
        now);
    EXPECT_EQ(table,
              "PID     PORT   SUBCOMMAND   TITLE                                    STARTED\n"
              "1       8796   voiceover    " +
                  t38 +
                  "   59s ago\n"
                  "22      8797   storyboard   " +
                  std::string(37, 'b') +
                  "…   1m ago\n"
                  "333     80     app          " +
                  std::string(36, 'c') +
                  "…    59m ago\n"
                  "4       5      app          é                                        1h ago\n"
                  "5       6      app          x                                        1d ago\n"
                  "6       7      a-long-subcommand y                                        0s "
                  "ago\n");
}

TEST(CtrlCurl, StatusLineSplitAndCode) {
    struct Case {
        std::string output, body;
        std::uint16_t status;
    };
    for (const Case& c : std::vector<Case>{
             {"{}\n200", "{}", 200},
             {"line\n\n204", "line\n", 204}, // a body ending in a line feed keeps it
             {"no line feed", "no line feed", 0},
             {"x\n +201 \n", "x\n +201 ", 0},
             {"x\n +201 ", "x", 201},
             {"x\n70000", "x", 0},
             {"x\n000", "x", 0},
             {"x\n-1", "x", 0},
         }) {
        const auto [body, status_text] = split_status_line(c.output);
        EXPECT_EQ(body, c.body) << c.output;
        EXPECT_EQ(parse_status_code(status_text), c.status) << c.output;
    }
    EXPECT_FALSE(deadline_after(UINT64_MAX)); // past what the clock holds: no deadline
    EXPECT_FALSE(deadline_after(UINT64_MAX / 1'000'000'000));
    EXPECT_TRUE(deadline_after(0));
    EXPECT_TRUE(deadline_after(3600));
}

// Each action's curl command line and what it prints, against one instance on port 8796.
TEST(CtrlActions, CurlArgumentsAndOutput) {
    const std::string base = "http://127.0.0.1:8796";
    struct Case {
        std::string what;
        CtrlAction action;
        std::vector<std::string> replies;
        std::vector<Args> calls;
        std::string stdin_data; // of the first call
        std::string out;
    };
    auto curl = [](std::string method, std::string max_time, std::string url, bool body = false) {
        Args args = {"-s",
                     "-X",
                     std::move(method),
                     "-w",
                     "\n%{http_code}",
                     "--max-time",
                     std::move(max_time)};
        if (body) {
            args.insert(args.end(),
                        {"-H", "Content-Type: application/json", "--data-binary", "@-"});
        }
        args.push_back(std::move(url));
        return args;
    };
    for (const Case& c : std::vector<Case>{
             {"state",
              CtrlState{},
              {"{\"b\":1,\"a\":{\"c\":[],\"d\":{}},\"f\":[1e+21,1.5E-7,2.0,0.00001,-3,1e16]}"
               "\n200"},
              {curl("GET", "5", base + "/state")},
              "",
              "{\n  \"a\": {\n    \"c\": [],\n    \"d\": {}\n  },\n  \"b\": 1,\n  \"f\": [\n    "
              "1e21,\n"
              "    1.5e-7,\n    2.0,\n    0.00001,\n    -3,\n    1e16\n  ]\n}\n"},
             {"shutdown",
              CtrlShutdown{},
              {" OK \n\n200"},
              {curl("POST", "5", base + "/shutdown")},
              "",
              "OK\n"},
             // The body is sent as it stands: a leading "@" names no file to upload.
             {"call with body",
              CtrlCall{"POST", "x", "@/etc/passwd"},
              {"done\n201"},
              {curl("POST", "30", base + "/x", true)},
              "@/etc/passwd",
              "done\n"},
             {"call keeps the method as typed and the body's line feeds",
              CtrlCall{"get", "/state", std::nullopt},
              {"line\n\n200"},
              {curl("get", "30", base + "/state")},
              "",
              "line\n\n"},
             {"console tail",
              CtrlConsole{2, std::nullopt, false},
              {R"({"ok":true,"seq":5,"messages":[{"b":1,"a":2},"x",{"z":[1, 2.5e-9],"y":null}]})"
               "\n200"},
              {curl("GET", "10", base + "/console?since=0")},
              "",
              "\"x\"\n{\"y\":null,\"z\":[1,2.5e-9]}\n"},
             {"console since, tail 0",
              CtrlConsole{0, 7, false},
              {"{\"ok\":true,\"seq\":9,\"messages\":[1,2]}\n200"},
              {curl("GET", "10", base + "/console?since=7")},
              "",
              ""},
             {"console tail larger than the list, odd reply",
              CtrlConsole{9, std::nullopt, false},
              {"{\"seq\":\"x\",\"messages\":[1,2]}\n200"},
              {curl("GET", "10", base + "/console?since=0")},
              "",
              "1\n2\n"},
             {"eval",
              CtrlEval{"return \"a\"+1", 30},
              {"{\"ok\":true,\"id\":\"job-1\"}\n200", "\n204",
               "{\"value\":\"a1\",\"ok\":true}\n200"},
              {curl("POST", "5", base + "/eval", true),
               curl("GET", "30", base + "/eval/job-1/result"),
               curl("GET", "30", base + "/eval/job-1/result")},
              R"({"code":"return \"a\"+1"})",
              "{\n  \"ok\": true,\n  \"value\": \"a1\"\n}\n"},
         }) {
        Home home;
        home.add(own_pid(), 8796, "storyboard", 1);
        FakeCurl fake;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            fake.reply(static_cast<int>(i + 1), c.replies[i]);
        }
        const auto run =
            run_in_process(home, fake.path(), [&] { return run_ctrl("8796", c.action); });
        EXPECT_TRUE(run.status) << c.what << ": " << run.status.error();
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(run.err, fmt::format("→ storyboard (pid {}, port 8796)\n", own_pid())) << c.what;
        EXPECT_EQ(fake.calls(), c.calls) << c.what;
        EXPECT_EQ(fake.stdin_of(1), c.stdin_data) << c.what;
    }
}

TEST(CtrlActions, FailuresEndWithTheirMessage) {
    struct Case {
        CtrlAction action;
        std::vector<std::string> replies;
        std::string out;   // printed before the failure
        std::string error; // the start of the message
    };
    const std::string base = "http://127.0.0.1:8796";
    const CtrlEval eval{"1", 30};
    const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
    for (const Case& c : std::vector<Case>{
             {CtrlCall{"GET", "nope", {}},
              {"not found\n404"},
              "",
              "HTTP 404 from " + base + "/nope: not found"},
             {CtrlCall{"PUT", "/x", "{}"}, {"\n000"}, "", "curl PUT " + base + "/x failed: "},
             {CtrlState{}, {"garbage"}, "", "curl GET " + base + "/state failed: "},
             {CtrlState{}, {"<html>\n200"}, "", "parse /state: "},
             {CtrlConsole{}, {"oops\n200"}, "", "parse /console: "},
             {CtrlShutdown{}, {"\n500"}, "", "HTTP 500 from " + base + "/shutdown: "},
             {eval, {"{\"ok\":false}\n200"}, "", "/eval missing 'id': {\"ok\":false}"},
             {eval, {"nope\n200"}, "", "parse /eval response: "},
             {eval,
              {"{\"error\":\"bad\"}\n400"},
              "",
              "HTTP 400 from " + base + "/eval: {\"error\":\"bad\"}"},
             {eval, {"{\"id\":\"j\"}\n200", "gone\n404"}, "", "unexpected status 404: gone"},
             {eval,
              {"{\"id\":\"j\"}\n200", "\n000"},
              "",
              "curl GET " + base + "/eval/j/result failed: "},
             {CtrlEval{"1", 0},
              {"{\"id\":\"j\"}\n200", "\n204"},
              "",
              "timed out after 0s waiting for eval result"},
             {eval, {"{\"id\":\"j\"}\n200", "{x\n200"}, "", "parse result: "},
             // Refused when read, so that printing it back cannot overflow the stack.
             {eval,
              {"{\"id\":\"j\"}\n200", deep + "\n200"},
              "",
              "parse result: parse error at line 1, column 129: nesting deeper than 128 levels"},
             {CtrlState{}, {deep + "\n200"}, "", "parse /state: parse error at line 1, column 129"},
             {eval,
              {"{\"id\":\"j\"}\n200", "{\"ok\":\"yes\"}\n200"},
              "{\n  \"ok\": \"yes\"\n}\n",
              "eval returned ok:false"},
             {eval, {"{\"id\":\"j\"}\n200", "[]\n200"}, "[]\n", "eval returned ok:false"},
             {eval,
              {"{\"id\":\"j\"}\n200",
               "{\"ok\":false,\"error\":\"boom\",\"stack\":\"Error: boom\\n at x\"}\n200"},
              "{\n  \"error\": \"boom\",\n  \"ok\": false,\n  \"stack\": \"Error: boom\\n at "
              "x\"\n}\n",
              "boom"},
         }) {
        Home home;
        home.add(own_pid(), 8796, "storyboard", 1);
        FakeCurl fake;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            fake.reply(static_cast<int>(i + 1), c.replies[i]);
        }
        const auto run =
            run_in_process(home, fake.path(), [&] { return run_ctrl("8796", c.action); });
        const std::string what = c.replies.back().substr(0, 80);
        ASSERT_FALSE(run.status) << what;
        EXPECT_EQ(run.status.error().substr(0, c.error.size()), c.error) << what;
        EXPECT_EQ(run.out, c.out) << what;
    }
}

// Following: long polls of 30 s, the tail ignored, since raised only by a larger seq, and the
// stream ended by the first request that gets no answer.
TEST(CtrlActions, ConsoleFollowPollsWithTheLargestSeq) {
    Home home;
    home.add(own_pid(), 8796, "storyboard", 1);
    FakeCurl fake;
    fake.reply(1, R"({"seq":4,"messages":["a","b"]})"
                  "\n200");
    fake.reply(2, R"({"seq":3,"messages":["c"]})"
                  "\n200");
    fake.reply(3, "\n000");
    const auto run = run_in_process(home, fake.path(), [] {
        return run_ctrl("latest", CtrlConsole{1, 2, true});
    });
    const std::string url = "http://127.0.0.1:8796/console?since={}&wait=25000";
    ASSERT_FALSE(run.status);
    EXPECT_EQ(run.status.error(), "curl GET " + fmt::format(fmt::runtime(url), 4) + " failed: ");
    EXPECT_EQ(run.out, "\"a\"\n\"b\"\n\"c\"\n");
    std::vector<Args> calls;
    for (int since : {2, 4, 4}) {
        calls.push_back({"-s", "-X", "GET", "-w", "\n%{http_code}", "--max-time", "30",
                         fmt::format(fmt::runtime(url), since)});
    }
    EXPECT_EQ(fake.calls(), calls);
}

// Output that cannot be written ends the command with an error, a following console included.
TEST(CtrlActions, UnwritableOutputIsAFailure) {
    for (const CtrlAction& action : std::vector<CtrlAction>{
             CtrlState{}, CtrlConsole{std::nullopt, std::nullopt, true}, CtrlShutdown{}}) {
        Home home;
        home.add(own_pid(), 8796, "storyboard", 1);
        FakeCurl fake;
        fake.always("{\"seq\":1,\"messages\":[\"m\"]}\n200");
        const auto run = run_in_process(
            home, fake.path(), [&] { return run_ctrl("latest", action); }, "/dev/full");
        ASSERT_FALSE(run.status) << action.index();
        EXPECT_EQ(run.status.error(), "write stdout: No space left on device (os error 28)");
        EXPECT_EQ(fake.calls().size(), 1u) << action.index();
    }
    Home home;
    home.add(own_pid(), 8796, "storyboard", 1);
    const auto listed = run_in_process(home, tools_path(), run_list, "/dev/full");
    ASSERT_FALSE(listed.status);
    EXPECT_EQ(listed.status.error(), "write stdout: No space left on device (os error 28)");
}

TEST(CtrlCommand, NothingRunningAndMissingCurl) {
    Home home;
    const auto listed = run_with(home, tools_path(), {"list"});
    EXPECT_EQ(listed.status.code, 0);
    EXPECT_EQ(listed.out, "no tevo-reelcut instances running\n");

    const auto ctrl = run_with(home, tools_path(), {"ctrl", "latest", "state"});
    EXPECT_EQ(ctrl.status.code, 1);
    EXPECT_EQ(ctrl.out, "");
    EXPECT_EQ(ctrl.err,
              "ERROR: no running tevo-reelcut instances found. Hint: start one with `tevo-reelcut "
              "voiceover --input ...` or `tevo-reelcut storyboard <manifest>`.\n"
              "Hint: start one with `tevo-reelcut voiceover --input ...` or `tevo-reelcut "
              "storyboard <manifest>`.\n");

    // A PATH that offers `kill` (the liveness test) but no curl.
    home.add(own_pid(), 8796, "voiceover", 1);
    TempDir bin;
    fs::create_symlink(fs::exists("/bin/kill") ? "/bin/kill" : "/usr/bin/kill",
                       bin.path() / "kill");
    const auto no_curl = run_with(home, bin.path().string(), {"ctrl", "latest", "state"});
    EXPECT_EQ(no_curl.status.code, 1);
    EXPECT_EQ(no_curl.err, fmt::format("→ voiceover (pid {}, port 8796)\n"
                                       "ERROR: curl spawn failed: No such file or directory (os "
                                       "error 2)\n",
                                       own_pid()));
}

// Two fixture servers registered in one HOME, driven through the real curl.
class CtrlLive : public ::testing::Test {
  protected:
    void SetUp() override {
        // A registry file left by a server that died without shutting down.
        home.add(dead_pid(), 9, "storyboard", 5);
        first.emplace(std::vector<std::string>{"--no-open", "--subcommand", "storyboard", "--title",
                                               "First board", "--eval-poll-ms", "300"},
                      settings());
        ASSERT_TRUE(first->ready()) << first->err();
        // Two minutes older than the second, so that the order does not rest on the clock.
        const auto file = home.registry / fmt::format("{}.json", first->pid());
        ASSERT_TRUE(eventually([&] { return fs::exists(file); }));
        auto record = nlohmann::json::parse(read_file(file));
        record["startedAt"] = record["startedAt"].get<std::uint64_t>() - 120;
        write_file(file, record.dump());
        second.emplace(std::vector<std::string>{"--no-open", "--subcommand", "voiceover", "--title",
                                                "Second", "--eval-poll-ms", "300"},
                       settings());
        ASSERT_TRUE(second->ready()) << second->err();
    }

    FixtureSettings settings() const {
        FixtureSettings s;
        s.env = {{"HOME", home.dir.path().string()}};
        return s;
    }

    CapturedOutput run(const Args& args) const { return run_with(home, tools_path(), args); }

    // The instance that `ctrl` reported it chose, as "subcommand pid port".
    static std::string chosen(const CapturedOutput& run) {
        return lines_of(run.err).empty() ? "" : lines_of(run.err).front();
    }
    static std::string arrow(const WebappFixture& server, const std::string& subcommand) {
        return fmt::format("→ {} (pid {}, port {})", subcommand, server.pid(), server.port());
    }

    // `ctrl ARGS...` in the background, its output in files.
    std::unique_ptr<ChildProcess> start(const Args& ctrl_args) const {
        Args args = {"ctrl"};
        args.insert(args.end(), ctrl_args.begin(), ctrl_args.end());
        return std::make_unique<ChildProcess>(
            REELCUT_BIN, args, EnvList{{"HOME", home.dir.path().string()}, {"PATH", tools_path()}},
            std::vector<std::string>{}, logs.path() / fmt::format("ctrl-{}", ++started));
    }

    static std::uint32_t dead_pid() {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(0);
        }
        ::waitpid(child, nullptr, 0);
        return static_cast<std::uint32_t>(child);
    }

    Home home;
    TempDir logs;
    mutable int started = 0;
    std::optional<WebappFixture> first, second;
};

TEST_F(CtrlLive, ListShowsLiveInstancesOldestFirstAndPrunesStaleFiles) {
    const auto listed = run({"list"});
    ASSERT_EQ(listed.status.code, 0) << listed.err;
    const auto lines = lines_of(listed.out);
    ASSERT_EQ(lines.size(), 3u) << listed.out;
    EXPECT_EQ(lines[0],
              "PID     PORT   SUBCOMMAND   TITLE                                    STARTED");
    EXPECT_EQ(lines[1], fmt::format("{:<7} {:<6} {:<12} {:<40} 2m ago", first->pid(), first->port(),
                                    "storyboard", "First board"));
    EXPECT_EQ(lines[2].substr(0, 69), fmt::format("{:<7} {:<6} {:<12} {:<40} ", second->pid(),
                                                  second->port(), "voiceover", "Second"));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(home.registry)) {
        ++files;
    }
    EXPECT_EQ(files, 2u); // the dead server's file is gone
}

TEST_F(CtrlLive, TargetsChooseTheirInstanceOrSayWhatIsMissing) {
    struct Case {
        std::string target;
        std::string chosen; // the first line on standard error
    };
    const std::uint16_t idle = free_port();
    for (const Case& c : std::vector<Case>{
             {"latest", arrow(*second, "voiceover")},
             {std::to_string(first->port()), arrow(*first, "storyboard")},
             {fmt::format("pid:{}", first->pid()), arrow(*first, "storyboard")},
             {fmt::format("pid:+{}", second->pid()), arrow(*second, "voiceover")},
             {std::to_string(idle), fmt::format("ERROR: no running instance on port {}", idle)},
             {"pid:1", "ERROR: no running instance with pid 1"},
             {"pid:abc", "ERROR: invalid pid in target pid:abc"},
             {"4294967296", "ERROR: no running instance with pid 4294967296"},
             {"nosuch", "ERROR: no running instance matching nosuch. Hint: run `tevo-reelcut list` "
                        "to see what is running."},
         }) {
        const auto run_ = run({"ctrl", c.target, "console"});
        EXPECT_EQ(chosen(run_), c.chosen) << c.target;
        EXPECT_EQ(run_.status.code, c.chosen.starts_with("→") ? 0 : 1) << c.target << run_.err;
    }
}

TEST_F(CtrlLive, ConsoleTailAndFollow) {
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(first
                      ->request("POST", "/console",
                                fmt::format(R"({{"message":"m{}","level":"log","ts":{}}})", i, i))
                      .status,
                  200);
    }
    const std::string port = std::to_string(first->port());
    const auto tail = run({"ctrl", port, "console", "--tail", "2"});
    EXPECT_EQ(tail.status.code, 0) << tail.err;
    EXPECT_EQ(tail.out, "{\"level\":\"log\",\"message\":\"m2\",\"ts\":2}\n"
                        "{\"level\":\"log\",\"message\":\"m3\",\"ts\":3}\n");

    // Following ignores the tail and prints what is newer than since as it arrives.
    auto follow = start({port, "console", "--follow", "--since", "2", "--tail", "0"});
    const auto printed = [&](const std::string& text) {
        return eventually([&] { return follow->out().find(text) != std::string::npos; });
    };
    EXPECT_TRUE(printed("\"m3\"")) << follow->out() << follow->err();
    ASSERT_EQ(first->request("POST", "/console", R"({"message":"m4"})").status, 200);
    EXPECT_TRUE(printed("{\"message\":\"m4\"}\n"));
    ASSERT_EQ(first->request("POST", "/console", R"("m5")").status, 200);
    EXPECT_TRUE(printed("\"m5\"\n"));
    EXPECT_FALSE(follow->wait_exit(std::chrono::milliseconds(0))); // still streaming
    EXPECT_EQ(follow->out(), "{\"level\":\"log\",\"message\":\"m3\",\"ts\":3}\n"
                             "{\"message\":\"m4\"}\n\"m5\"\n");

    // When the server goes away the stream ends with an error: curl's failure, or the 500 that
    // answers the poll cut short by the shutdown when its connection outlives it a moment, as it
    // can on a loaded machine.
    ASSERT_EQ(first->request("GET", "/shutdown").status, 200);
    const auto ended = follow->wait_exit(std::chrono::seconds(60));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->code, 1);
    const std::string poll = "http://127.0.0.1:" + port + "/console?since=5&wait=25000";
    const std::string err = follow->err();
    EXPECT_TRUE(err.find("ERROR: curl GET " + poll + " failed") != std::string::npos ||
                err.find("ERROR: HTTP 500 from " + poll + ": ") != std::string::npos)
        << err;
}

// The test plays the page: it takes the job from the eval queue and posts its outcome.
TEST_F(CtrlLive, EvalWaitsForThePagesOutcome) {
    struct Case {
        std::string outcome;
        int status;
        std::string out, error_line;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"value":2,"ok":true})", 0, "{\n  \"ok\": true,\n  \"value\": 2\n}\n", ""},
             {R"({"ok":false,"error":"boom","stack":"Error: boom"})", 1,
              "{\n  \"error\": \"boom\",\n  \"ok\": false,\n  \"stack\": \"Error: boom\"\n}\n",
              "ERROR: boom"},
         }) {
        auto ctrl = start({"latest", "eval", "return 1+1"});
        reelcut::testing::HttpReply job;
        ASSERT_TRUE(eventually([&] {
            job = second->request("GET", "/eval/pending");
            return job.status == 200;
        }));
        const auto pending = nlohmann::json::parse(job.body);
        EXPECT_EQ(pending["code"], "return 1+1");
        ASSERT_EQ(
            second->request("POST", "/eval/" + std::string(pending["id"]) + "/result", c.outcome)
                .status,
            200);
        const auto ended = ctrl->wait_exit(std::chrono::seconds(30));
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->code, c.status) << ctrl->err();
        EXPECT_EQ(ctrl->out(), c.out);
        if (!c.error_line.empty()) {
            EXPECT_EQ(lines_of(ctrl->err()).at(1), c.error_line);
        }
    }

    // No page takes the job: the wait ends after the server's empty answer past the timeout.
    const auto timed_out = run({"ctrl", "latest", "eval", "1", "--timeout", "0"});
    EXPECT_EQ(timed_out.status.code, 1);
    EXPECT_EQ(lines_of(timed_out.err).at(1), "ERROR: timed out after 0s waiting for eval result");
}

TEST_F(CtrlLive, ShutdownEndsTheServerAndRemovesItsRegistryFile) {
    const auto file = home.registry / fmt::format("{}.json", second->pid());
    ASSERT_TRUE(fs::exists(file));
    const auto shut = run({"ctrl", fmt::format("pid:{}", second->pid()), "shutdown"});
    EXPECT_EQ(shut.status.code, 0) << shut.err;
    EXPECT_EQ(shut.out, "OK\n");
    EXPECT_TRUE(eventually([&] { return !fs::exists(file); }));
    EXPECT_TRUE(second->wait_exit(std::chrono::seconds(10)));

    const auto listed = run({"list"});
    EXPECT_EQ(lines_of(listed.out).size(), 2u) << listed.out;
}

// The command line's own reading of targets and `call`: a subcommand name is a target, and
// `call` takes a method, a path and a body that is sent as it stands.
TEST_F(CtrlLive, CommandLineTakesSubcommandTargetsAndCalls) {
    struct Case {
        Args args;
        std::string chosen, out, error;
    };
    const std::string port = std::to_string(first->port());
    const std::string url = "http://127.0.0.1:" + port;
    // Were the body taken for a file name, the server would store this valid JSON.
    const std::string file = logs / "body.json";
    write_file(file, R"({"from":"file"})");
    for (const Case& c : std::vector<Case>{
             {{"voiceover", "console"}, arrow(*second, "voiceover"), "", ""},
             {{"StoryBoard", "console"}, arrow(*first, "storyboard"), "", ""},
             {{port, "call", "GET", "hello"}, arrow(*first, "storyboard"), "hello\n", ""},
             {{port, "call", "GET", "/hello"}, arrow(*first, "storyboard"), "hello\n", ""},
             {{port, "call", "GET", "nope"},
              arrow(*first, "storyboard"),
              "",
              "ERROR: HTTP 404 from " + url + "/nope: not found"},
             {{port, "call", "POST", "/console", "--body", "@" + file},
              arrow(*first, "storyboard"),
              "",
              "ERROR: HTTP 400 from " + url + "/console: {\"ok\":false,\"error\":\"invalid json: "},
             // A path that is also the name of an action.
             {{port, "call", "GET", "state"},
              arrow(*first, "storyboard"),
              "",
              "ERROR: HTTP 404 from " + url + "/state: not found"},
             {{port, "call", "POST", "console", "--body", "[\"a\",\n1]"},
              arrow(*first, "storyboard"),
              "{\"ok\":true}\n",
              ""},
         }) {
        Args args = {"ctrl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run_ = run(args);
        const std::string what = fmt::format("{}", fmt::join(c.args, " "));
        EXPECT_EQ(run_.status.code, c.error.empty() ? 0 : 1) << what << ": " << run_.err;
        EXPECT_EQ(chosen(run_), c.chosen) << what;
        EXPECT_EQ(run_.out, c.out) << what;
        if (!c.error.empty()) {
            ASSERT_EQ(lines_of(run_.err).size(), 2u) << what;
            EXPECT_EQ(lines_of(run_.err)[1].substr(0, c.error.size()), c.error) << what;
        }
    }
    const auto stored = run({"ctrl", port, "console"});
    EXPECT_EQ(stored.out, "[\"a\",1]\n");
}
