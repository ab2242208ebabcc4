// Stand-in command-line tools (ffmpeg, ffprobe, ...) as shell scripts first on PATH, which log
// every call's arguments for the test to check.
#pragma once

#include "support/test_support.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace reelcut::testing {

// The stand-ins are first on PATH while this lives. Each call's arguments are logged
// NUL-separated; the script body then decides what the tool prints and how it exits, with the
// tool's call number (from 1) in $n. The logging uses shell builtins only, so the scripts also
// run with nothing else on PATH.
class FakeTools {
  public:
    FakeTools();

    void add(const std::string& name, const std::string& body);

    // Every call's arguments, in call order.
    std::vector<std::vector<std::string>> calls(const std::string& name) const;

    // Nothing but the stand-ins on PATH: a tool not added here cannot be started.
    void only();

    // Lines for a body that wait until `release(name)`: a run held this way lasts as long as the
    // test needs, however slow the machine. A failed test leaves nothing waiting: the wait also
    // ends with the stand-ins' directory, or after five minutes. Takes back an earlier release of
    // `name`. Uses sleep from PATH.
    std::string hold(const std::string& name);
    void release(const std::string& name) const;

    // Where the scripts live, for bodies that keep copies of their inputs next to themselves.
    const std::filesystem::path& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    EnvGuard path_guard_{"PATH"};
};

// A body that keeps a copy of the file named after `option` as `copy` beside the stand-in:
// temporary files are gone by the time the call under test returns.
std::string keeping_file_after(const std::string& option, const std::string& copy);

} // namespace reelcut::testing
