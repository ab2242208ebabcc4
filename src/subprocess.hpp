// Starting outside programs: always an argument list looked up on PATH, never a shell.
#pragma once

#include "result.hpp"

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

} // namespace reelcut
