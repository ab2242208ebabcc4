// Starting outside programs: exit statuses, captured streams, environment and lossy text.
#include "subprocess.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace reelcut {
namespace {

using testing::TempDir;
using testing::write_file;

CapturedOutput sh(const std::string& script, SpawnOptions options = {}) {
    auto result = run_captured("sh", {"-c", script}, options);
    EXPECT_TRUE(result) << result.error();
    return result ? *result : CapturedOutput{};
}

TEST(SubprocessStatus, ExitCodesAndSignals) {
    struct Case {
        std::string script;
        bool exited;
        int code, signal;
        bool success;
    };
    for (const auto& c : std::vector<Case>{
             {"exit 0", true, 0, 0, true},
             {"exit 7", true, 7, 0, false},
             {"exit 255", true, 255, 0, false},
             {"kill -TERM $$", false, 0, SIGTERM, false},
             {"kill -KILL $$", false, 0, SIGKILL, false},
         }) {
        const auto status = sh(c.script).status;
        EXPECT_EQ(status.exited, c.exited) << c.script;
        EXPECT_EQ(status.code, c.code) << c.script;
        EXPECT_EQ(status.signal, c.signal) << c.script;
        EXPECT_EQ(status.success(), c.success) << c.script;
    }
}

TEST(SubprocessCapture, KeepsStreamsApartAndWhole) {
    const auto run = sh("printf 'out\\0bytes'; printf 'err\\377' >&2; printf ' more'");
    EXPECT_EQ(run.out, std::string("out\0bytes more", 14));
    EXPECT_EQ(run.err, "err\xff");
}

TEST(SubprocessCapture, ArgumentsReachTheProgramUnchanged) {
    // No shell between us and the program: spaces, quotes and globs are plain bytes.
    auto run = run_captured("printf", {"[%s]", "a b", "'q'", "*", "$HOME", ""});
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(run->out, "[a b]['q'][*][$HOME][]");
}

TEST(SubprocessCapture, LargeInterleavedOutputOnBothStreams) {
    // 5 MB on each stream in alternating 100 kB bursts: a reader that drains one stream at a
    // time leaves the child blocked on the other and never returns.
    const auto run = sh("i=0; while [ $i -lt 50 ]; do"
                        "  head -c 100000 /dev/zero | tr '\\0' o;"
                        "  head -c 100000 /dev/zero | tr '\\0' e >&2;"
                        "  i=$((i+1));"
                        "done");
    EXPECT_TRUE(run.status.success());
    EXPECT_EQ(run.out, std::string(5000000, 'o'));
    EXPECT_EQ(run.err, std::string(5000000, 'e'));
}

TEST(SubprocessStdin, EmptyByDefault) {
    // Reading must see end of file at once rather than wait on our terminal.
    auto run = run_captured("wc", {"-c"});
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(run->out, "0\n");
}

TEST(SubprocessStdin, LargeInputEchoedWhileOutputIsDrained) {
    std::string input;
    for (int i = 0; input.size() < 6'000'000; ++i) {
        input += std::to_string(i) + '\n';
    }
    SpawnOptions options;
    options.stdin_data = input;
    auto run = run_captured("cat", {}, options);
    ASSERT_TRUE(run) << run.error();
    EXPECT_TRUE(run->status.success());
    EXPECT_EQ(run->out.size(), input.size());
    EXPECT_TRUE(run->out == input);
}

TEST(SubprocessStdin, ReaderThatLeavesEarlyIsNoError) {
    std::signal(SIGPIPE, SIG_IGN); // as main does for the whole process
    SpawnOptions options;
    options.stdin_data = std::string(4'000'000, 'x');
    const auto run = sh("head -c 5 >/dev/null; echo left", options);
    EXPECT_TRUE(run.status.success());
    EXPECT_EQ(run.out, "left\n");
}

TEST(SubprocessEnvironment, InheritsAndAppliesChanges) {
    ::setenv("REELCUT_TEST_KEPT", "kept", 1);
    ::setenv("REELCUT_TEST_DROPPED", "dropped", 1);
    ::setenv("REELCUT_TEST_REPLACED", "old", 1);
    SpawnOptions options;
    options.set_env = {{"REELCUT_TEST_NEW", "a=b c"}, {"REELCUT_TEST_REPLACED", "new"}};
    options.unset_env = {"REELCUT_TEST_DROPPED"};
    auto run = run_captured("env", {}, options);
    ASSERT_TRUE(run) << run.error();

    std::multiset<std::string> ours;
    std::istringstream lines(run->out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("REELCUT_TEST_")) {
            ours.insert(line);
        }
    }
    EXPECT_EQ(ours, (std::multiset<std::string>{"REELCUT_TEST_KEPT=kept", "REELCUT_TEST_NEW=a=b c",
                                                "REELCUT_TEST_REPLACED=new"}));
    for (const char* name :
         {"REELCUT_TEST_KEPT", "REELCUT_TEST_DROPPED", "REELCUT_TEST_REPLACED"}) {
        ::unsetenv(name);
    }
}

TEST(SubprocessEnvironment, ProgramIsLookedUpOnTheChildsPath) {
    TempDir dir;
    write_file(dir / "reelcut-probe", "#!/bin/sh\necho found \"$@\"\n");
    ::chmod((dir / "reelcut-probe").c_str(), 0755);
    SpawnOptions options;
    options.set_env = {{"PATH", "/nonexistent:" + dir.path().string()}};
    auto run = run_captured("reelcut-probe", {"x"}, options);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(run->out, "found x\n");
}

TEST(SubprocessEnvironment, WorkingDirectory) {
    TempDir dir;
    SpawnOptions options;
    options.cwd = dir.path().string();
    const auto run = sh("pwd -P", options);
    EXPECT_EQ(run.out, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(SubprocessEnvironment, DefaultSignalHandlingInTheChild) {
    // The parent ignores SIGPIPE and may block signals; the child must get neither, or a
    // pipeline such as `yes | head` would never end.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    auto run = run_captured("grep", {"-E", "^Sig(Ign|Blk)", "/proc/self/status"});
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(run) << run.error();

    std::istringstream lines(run->out);
    int seen = 0;
    for (std::string name, mask; lines >> name >> mask; ++seen) {
        const unsigned long long bits = std::stoull(mask, nullptr, 16);
        const int signal = name == "SigIgn:" ? SIGPIPE : SIGUSR1;
        EXPECT_EQ(bits & (1ULL << (signal - 1)), 0u) << name << " " << mask;
    }
    EXPECT_EQ(seen, 2) << run->out;
}

TEST(SubprocessEnvironment, OnlyStandardStreamsAreInherited) {
    // Our pipe ends must not reach the child: holding the write end of its own output pipe,
    // it would keep us from ever seeing end of file if it started a background process.
    std::set<std::string> inheritable;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (fd > 2 && flags >= 0 && !(flags & FD_CLOEXEC)) {
            inheritable.insert(std::to_string(fd));
        }
    }
    SpawnOptions options;
    options.stdin_data = "input";
    // `; true` keeps the shell from replacing itself with ls, so $$ is the shell.
    const auto run = sh("ls /proc/$$/fd; true", options);
    std::set<std::string> fds;
    std::istringstream lines(run.out);
    for (std::string fd; lines >> fd;) {
        if (fd.size() > 0 && std::stoi(fd) > 2) {
            fds.insert(fd);
        }
    }
    EXPECT_EQ(fds, inheritable);
}

TEST(SubprocessStart, FailureCarriesTheSystemTextOnly) {
    TempDir dir;
    write_file(dir / "not-executable", "#!/bin/sh\n");
    ::chmod((dir / "not-executable").c_str(), 0644);
    SpawnOptions on_dir_path;
    on_dir_path.set_env = {{"PATH", dir.path().string()}};
    SpawnOptions missing_cwd;
    missing_cwd.cwd = dir / "gone";
    struct Case {
        std::string program;
        SpawnOptions options;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {"reelcut-no-such-program", {}, "No such file or directory (os error 2)"},
             {"", {}, "No such file or directory (os error 2)"},
             {dir / "missing", {}, "No such file or directory (os error 2)"},
             {dir / "not-executable", {}, "Permission denied (os error 13)"},
             {"not-executable", on_dir_path, "Permission denied (os error 13)"},
             {"sh", missing_cwd, "No such file or directory (os error 2)"},
         }) {
        const auto captured = run_captured(c.program, {}, c.options);
        ASSERT_FALSE(captured) << c.program;
        EXPECT_EQ(captured.error(), c.message) << c.program;
        const auto inherited = run_inherited(c.program, {}, c.options);
        ASSERT_FALSE(inherited) << c.program;
        EXPECT_EQ(inherited.error(), c.message) << c.program;
    }
}

TEST(SubprocessInherited, StatusEnvironmentAndDirectory) {
    TempDir dir;
    SpawnOptions options;
    options.cwd = dir.path().string();
    options.set_env = {{"REELCUT_TEST_NAME", "marker"}};
    // The child writes through our own standard streams; a file shows what it saw.
    auto run = run_inherited("sh", {"-c", "echo \"$REELCUT_TEST_NAME\" > seen; exit 3"}, options);
    ASSERT_TRUE(run) << run.error();
    EXPECT_TRUE(run->exited);
    EXPECT_EQ(run->code, 3);
    EXPECT_EQ(testing::read_file(dir / "seen"), "marker\n");
}

// A child that fills its error pipe before writing its output would hang if only the output
// were read while it runs; the streamed chunks must add up to everything, in order per stream.
TEST(SubprocessStreaming, BothStreamsArriveWhileTheChildRuns) {
    // The child writes its second line only once the first has been handed over (or after half a
    // minute), so the two arrive apart however slowly the machine runs either side.
    TempDir dir;
    const std::string seen_first = dir / "seen-first";
    std::string out, err;
    std::size_t out_chunks = 0;
    auto run = run_streaming(
        "sh",
        {"-c", "head -c 1000000 /dev/zero | tr '\\0' e >&2; echo first; i=0; while [ ! -e '" +
                   seen_first + "' ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; " +
                   "echo second; exit 4"},
        [&](std::string_view chunk) {
            out.append(chunk);
            ++out_chunks;
            if (out == "first\n") {
                write_file(seen_first, "");
            }
        },
        [&](std::string_view chunk) { err.append(chunk); });
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(run->code, 4);
    EXPECT_EQ(out, "first\nsecond\n");
    EXPECT_EQ(out_chunks, 2u); // handed over as written, not at the end
    EXPECT_EQ(err, std::string(1000000, 'e'));

    // Standard input stays ours: the child sees the parent's descriptor 0, not an empty pipe.
    struct stat ours {};
    ASSERT_EQ(::fstat(0, &ours), 0);
    auto seen = run_streaming(
        "sh", {"-c", "stat -L -c '%d:%i' /proc/self/fd/0"}, [&](std::string_view c) { out = c; },
        [](std::string_view) {});
    ASSERT_TRUE(seen) << seen.error();
    EXPECT_EQ(out, std::to_string(ours.st_dev) + ":" + std::to_string(ours.st_ino) + "\n");

    auto missing = run_streaming(
        "/nonexistent/ffmpeg", {}, [](auto) {}, [](auto) {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

TEST(SubprocessThreads, ConcurrentRunsKeepTheirOwnOutput) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 10; ++i) {
                const std::string word = std::to_string(t) + "-" + std::to_string(i);
                auto run = run_captured("sh", {"-c", "echo \"$1\"; echo \"$1\" >&2", "sh", word});
                if (!run || run->out != word + "\n" || run->err != word + "\n") {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

} // namespace
} // namespace reelcut
