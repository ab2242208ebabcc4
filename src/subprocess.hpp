// Starting outside programs: always an argument list looked up on PATH, never a shell.
//
// Every child is known until it has been waited for, so that a process that is ending can end its
// children first (stop_children) instead of leaving them running on without it.
#pragma once

#include "result.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reelcut {

// How a child ended: exited with a code, or was killed by a signal.
struct ExitStatus {
    bool exited = false; // true: `code` is valid; false: `signal` killed it
    int code = 0;
    int signal = 0;
    bool timed_out = false; // killed for running past the run's time limit
    bool success() const { return exited && code == 0; }
};

struct CapturedOutput {
    ExitStatus status;
    std::string out; // raw bytes of standard output
    std::string err; // raw bytes of standard error
};

// Changes to the child's environment and working directory (the parent's are inherited).
struct SpawnOptions {
    std::vector<std::pair<std::string, std::string>> set_env;
    std::vector<std::string> unset_env;
    std::optional<std::string> cwd;
    std::string stdin_data; // written to the child's standard input (captured mode only)
    // Captured and streamed runs: the child is killed (SIGKILL) once it has run this long, and
    // its status says `timed_out`.
    std::optional<std::chrono::milliseconds> time_limit;
};

// Runs `program` with `args` to completion: standard input empty (or `stdin_data`), standard
// output and error captured whole. Fails only when the program cannot be started, with the
// system's text ("No such file or directory (os error 2)").
Result<CapturedOutput> run_captured(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const SpawnOptions& options = {});

// Receives output as it arrives, in chunks of any size.
using OutputSink = std::function<void(std::string_view)>;

// Runs `program` with the parent's standard input and both outputs piped, handing each chunk to
// its sink while the child runs; the two pipes are drained together, so a chatty stream never
// stalls the child while the other is being read.
Result<ExitStatus> run_streaming(const std::string& program, const std::vector<std::string>& args,
                                 const OutputSink& on_out, const OutputSink& on_err,
                                 const SpawnOptions& options = {});

// Runs `program` with the parent's standard streams and waits for it.
Result<ExitStatus> run_inherited(const std::string& program, const std::vector<std::string>& args,
                                 const SpawnOptions& options = {});

// "PROGRAM ran past its time limit of N s and was stopped": the error of a run whose status says
// `timed_out`.
std::string overrun_message(std::string_view program, std::chrono::milliseconds limit);

// For a process that is ending: from now on no program starts (a run fails with "shutting down:
// no new programs are started"), and every child still running gets SIGTERM, then SIGKILL when it
// is still there after `grace`. Returns once the threads that started them have reaped them all
// (or a second past the SIGKILL, should one of them never be waited for).
void stop_children(std::chrono::milliseconds grace);
// Whether stop_children has been called: no program starts any more.
bool children_stopped();

} // namespace reelcut
