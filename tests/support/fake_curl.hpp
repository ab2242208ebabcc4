// A stand-in `curl` for the HTTP clients' tests: it records every argument list and standard
// input, and answers each call from a queue of canned replies (the exact bytes written to
// standard output, and an exit status).
#pragma once

#include "support/test_support.hpp"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace reelcut::testing {

class FakeCurl {
  public:
    FakeCurl() {
        write_file(dir_ / "curl", R"sh(#!/bin/sh
dir=$(dirname "$0")
n=$(( $(cat "$dir/count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/count"
for a in "$@"; do printf '%s\0' "$a"; done > "$dir/argv-$n"
cat > "$dir/stdin-$n"
if [ -f "$dir/reply-$n" ]; then cat "$dir/reply-$n"; elif [ -f "$dir/reply" ]; then cat "$dir/reply"; fi
if [ -f "$dir/exit-$n" ]; then exit "$(cat "$dir/exit-$n")"; fi
exit 0
)sh");
        ::chmod((dir_.path() / "curl").c_str(), 0755);
    }

    // The answer to call number `n` (from 1); calls without their own answer get `always`.
    void reply(int n, const std::string& out, int exit_status = 0) {
        write_file(dir_ / ("reply-" + std::to_string(n)), out);
        write_file(dir_ / ("exit-" + std::to_string(n)), std::to_string(exit_status));
    }
    void always(const std::string& out) { write_file(dir_ / "reply", out); }

    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> all;
        for (int n = 1; std::filesystem::exists(dir_ / ("argv-" + std::to_string(n))); ++n) {
            const std::string raw = read_file(dir_ / ("argv-" + std::to_string(n)));
            std::vector<std::string> args;
            for (std::size_t start = 0; start < raw.size();) {
                const std::size_t end = raw.find('\0', start);
                args.push_back(raw.substr(start, end - start));
                start = end + 1;
            }
            all.push_back(std::move(args));
        }
        return all;
    }
    std::string stdin_of(int n) const { return read_file(dir_ / ("stdin-" + std::to_string(n))); }

    // PATH with this curl first, then the stand-in tools.
    std::string path() const { return dir_.path().string() + ":" + tools_path(); }

  private:
    TempDir dir_;
};

} // namespace reelcut::testing
