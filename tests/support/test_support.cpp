#include "support/test_support.hpp"

#include "file_io.hpp"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace reelcut::testing {

namespace {
// The program ignores SIGPIPE from its first line on; the test process must behave the same, or
// feeding a child that exits without reading its input would kill the whole test run.
const bool sigpipe_ignored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();
} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "reelcut-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> processes_naming(const std::string& text) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(text) != std::string::npos) {
            found.push_back(pid + ": " + cmdline);
        }
    }
    return found;
}

std::vector<std::string> scratch_files_in(const std::filesystem::path& dir) {
    std::vector<std::string> scratch;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (is_scratch_name(entry.path().filename().string())) {
            scratch.push_back(entry.path().filename().string());
        }
    }
    std::sort(scratch.begin(), scratch.end());
    return scratch;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<nlohmann::json> logged_calls(const std::filesystem::path& state_dir) {
    std::vector<nlohmann::json> calls;
    for (const auto& line : lines_of(read_file(state_dir / "calls.log"))) {
        calls.push_back(nlohmann::json::parse(line));
    }
    return calls;
}

std::string tools_path() {
    const char* path = std::getenv("PATH");
    return std::string(REELCUT_TOOLS_DIR) + ":" + (path ? path : "/usr/bin:/bin");
}

CapturedOutput run_reelcut(const std::vector<std::string>& args, SpawnOptions options) {
    bool has_path = false;
    for (const auto& [name, value] : options.set_env) {
        has_path = has_path || name == "PATH";
    }
    if (!has_path) {
        options.set_env.emplace_back("PATH", tools_path());
    }
    auto result = run_captured(REELCUT_BIN, args, options);
    if (!result) {
        ADD_FAILURE() << "could not start tevo-reelcut: " << result.error();
        return {};
    }
    return *result;
}

} // namespace reelcut::testing
