#include "support/fake_tools.hpp"

#include <cstdlib>
#include <fmt/format.h>
#include <sys/stat.h>

namespace reelcut::testing {

FakeTools::FakeTools() {
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (dir_.path().string() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
}

void FakeTools::add(const std::string& name, const std::string& body) {
    const std::string log = dir_ / (name + ".args-");
    write_file(dir_ / name,
               fmt::format("#!/bin/sh\nn=1\nwhile [ -e '{0}'$n ]; do n=$((n+1)); done\n"
                           "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '{0}'$n\n{1}\n",
                           log, body));
    ::chmod((dir_ / name).c_str(), 0755);
}

std::vector<std::vector<std::string>> FakeTools::calls(const std::string& name) const {
    std::vector<std::vector<std::string>> all;
    for (int n = 1;; ++n) {
        const std::string file = dir_ / (name + ".args-" + std::to_string(n));
        if (!std::filesystem::exists(file)) {
            return all;
        }
        const std::string raw = read_file(file);
        std::vector<std::string> args;
        for (std::size_t at = 0; at < raw.size();) {
            const std::size_t end = raw.find('\0', at);
            args.push_back(raw.substr(at, end - at));
            at = end + 1;
        }
        all.push_back(std::move(args));
    }
}

void FakeTools::only() {
    ::setenv("PATH", dir_.path().c_str(), 1);
}

std::string FakeTools::hold(const std::string& name) {
    std::filesystem::remove(dir_ / (name + ".released"));
    return fmt::format("i=0\nwhile [ ! -e '{}' ] && [ -d '{}' ] && [ $i -lt 6000 ]; do\n"
                       "  sleep 0.05; i=$((i+1))\ndone",
                       dir_ / (name + ".released"), dir_.path().string());
}

void FakeTools::release(const std::string& name) const {
    write_file(dir_ / (name + ".released"), "");
}

std::string keeping_file_after(const std::string& option, const std::string& copy) {
    return fmt::format("prev=\nfor a in \"$@\"; do\n"
                       "  if [ \"$prev\" = {} ]; then cat \"$a\" > \"$(dirname \"$0\")/{}\"; fi\n"
                       "  prev=$a\ndone",
                       option, copy);
}

} // namespace reelcut::testing
