// Helpers shared by the tests: scratch directories, file I/O and running the built binaries.
#pragma once

#include "subprocess.hpp"

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace reelcut::testing {

// A fresh directory under the system temporary directory, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

// The lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string& text);

// Sets an environment variable for one scope and restores the previous state.
class EnvGuard {
  public:
    explicit EnvGuard(std::string name) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) {
            old_ = old;
        }
    }
    ~EnvGuard() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// The calls a stand-in tool logged in its state directory: one JSON array of arguments each.
std::vector<nlohmann::json> logged_calls(const std::filesystem::path& state_dir);

// The command lines (arguments joined by spaces) of the processes on this machine whose arguments
// hold `text`: the tools still running on a test's files.
std::vector<std::string> processes_naming(const std::string& text);

// The files directly in `dir` that are still being written, or were left half-written: this
// program's scratch names.
std::vector<std::string> scratch_files_in(const std::filesystem::path& dir);

// PATH with the stand-in tools first.
std::string tools_path();

// Runs the built tevo-reelcut with the stand-ins first on PATH; fails the test if it cannot start.
CapturedOutput run_reelcut(const std::vector<std::string>& args, SpawnOptions options = {});

} // namespace reelcut::testing
