// Every input kept under tests/fuzz/corpus, replayed through its fuzz target: the inputs that once
// found a fault, and the coverage the fuzzers built up, stay checked in builds without libFuzzer.
// A broken invariant aborts the run; `build-fuzz/fuzzers/NAME_fuzzer tests/fuzz/corpus/NAME/*`
// (after scripts/fuzz has built them) names the input.
#include "fuzz/fuzz_targets.hpp"
#include "markers.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace reelcut::fuzz {
// The target's name in test listings, instead of its bytes.
void PrintTo(const Target& target, std::ostream* out) {
    *out << target.name;
}
} // namespace reelcut::fuzz

namespace {

namespace fs = std::filesystem;
using reelcut::fuzz::Target;

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, ReplaysEveryKeptInput) {
    const Target& target = GetParam();
    const fs::path dir = fs::path(REELCUT_SOURCE_DIR) / "tests/fuzz/corpus" / target.name;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            inputs.push_back(entry.path());
        }
    }
    ASSERT_FALSE(inputs.empty()) << "no seeds in " << dir;
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& input : inputs) {
        const std::string bytes = reelcut::testing::read_file(input);
        target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

// The markers target fuzzes the text reader; a file of the same bytes must read the same.
TEST(MarkersCorpus, FilesReadAsTheirText) {
    reelcut::testing::TempDir dir;
    const fs::path seeds = fs::path(REELCUT_SOURCE_DIR) / "tests/fuzz/corpus/markers";
    auto summary = [](const reelcut::Result<std::vector<reelcut::Event>>& events) {
        if (!events) {
            return "error: " + events.error();
        }
        std::string text;
        for (const auto& event : *events) {
            text += reelcut::serialize_event(event) + "\n";
        }
        return text;
    };
    for (const auto& entry : fs::directory_iterator(seeds)) {
        const std::string bytes = reelcut::testing::read_file(entry.path());
        const std::string path = dir / "markers.jsonl";
        reelcut::testing::write_file(path, bytes);
        EXPECT_EQ(summary(reelcut::read_events(path)), summary(reelcut::parse_events(bytes)))
            << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::ValuesIn(reelcut::fuzz::all_targets()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
