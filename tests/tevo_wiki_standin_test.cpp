// The stand-in wiki tool that publish is tested against.
#include "support/test_support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::lines_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

class TevoWiki : public ::testing::Test {
  protected:
    TempDir dir;
    std::string state = dir / "state";
    std::string video = dir / "demo.webm";

    void SetUp() override { write_file(video, "first upload"); }

    CapturedOutput wiki(const std::vector<std::string>& args,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
        SpawnOptions options;
        options.set_env = {{"HOME", dir.path().string()}, {"TEVO_WIKI_STATE_DIR", state}};
        options.set_env.insert(options.set_env.end(), env.begin(), env.end());
        options.unset_env = {"TEVO_WIKI_FAIL", "TEVO_WIKI_FAIL_STDOUT", "TEVO_WIKI_FAIL_STDERR",
                             "TEVO_WIKI_FAIL_STATUS"};
        auto run = run_captured(REELCUT_TOOLS_DIR "/tevo-wiki", args, options);
        EXPECT_TRUE(run) << run.error();
        return run ? *run : CapturedOutput{};
    }

    std::vector<json> calls() { return testing::logged_calls(state); }

    std::size_t files_in(const std::string& folder) {
        std::error_code ec;
        std::size_t count = 0;
        for (auto it = std::filesystem::directory_iterator(folder, ec);
             !ec && it != std::filesystem::directory_iterator(); ++it) {
            ++count;
        }
        return count;
    }
};

TEST_F(TevoWiki, PushStoresTheFileInItsPageFolder) {
    auto run = wiki({"repo", "push", "--files", video, "-m", "Add video demo.webm", "tevo/hespin"});
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(run.out, "pushed demo.webm to tevo/hespin\n");
    EXPECT_EQ(read_file(state + "/pages/hespin/demo.webm"), "first upload");

    // A second push of that name replaces it; options may come in any order.
    write_file(video, "second upload");
    run = wiki({"repo", "push", "tevo/hespin", "-m", "Again", "--files", video});
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(read_file(state + "/pages/hespin/demo.webm"), "second upload");
    EXPECT_EQ(files_in(state + "/pages/hespin"), 1u); // no temporary left behind

    EXPECT_EQ(calls(),
              (std::vector<json>{
                  {"repo", "push", "--files", video, "-m", "Add video demo.webm", "tevo/hespin"},
                  {"repo", "push", "tevo/hespin", "-m", "Again", "--files", video}}));
}

TEST_F(TevoWiki, MalformedCommandLinesAreUsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"repo"},
             {"repo", "pull", "--files", "x", "-m", "m", "a/b"},
             {"repo", "push", "-m", "m", "a/b"},
             {"repo", "push", "--files", "x", "a/b"},
             {"repo", "push", "--files", "x", "-m", "m"},
             {"repo", "push", "--files", "x", "-m"},
             {"repo", "push", "--files", "x", "--files", "y", "-m", "m", "a/b"},
             {"repo", "push", "--files", "x", "-m", "m", "a/b", "c/d"},
             {"repo", "push", "--files", "x", "-m", "m", "--force", "a/b"},
         }) {
        const auto run = wiki(args);
        EXPECT_EQ(run.status.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << ::testing::PrintToString(args);
    }
    EXPECT_EQ(calls().size(), 10u);
    EXPECT_FALSE(std::filesystem::exists(state + "/pages"));
}

TEST_F(TevoWiki, RefusesWhatTheWikiWouldRefuse) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const auto& c : std::vector<Case>{
             {{"repo", "push", "--files", video, "-m", "m", "hespin"},
              "tevo-wiki: invalid page 'hespin': expected OWNER/SLUG\n"},
             {{"repo", "push", "--files", video, "-m", "m", "tevo/a/b"},
              "tevo-wiki: invalid page 'tevo/a/b': expected OWNER/SLUG\n"},
             {{"repo", "push", "--files", dir / "none.webm", "-m", "m", "tevo/hespin"},
              "tevo-wiki: " + dir / "none.webm" + ": not a regular file\n"},
             {{"repo", "push", "--files", dir.path().string(), "-m", "m", "tevo/hespin"},
              "tevo-wiki: " + dir.path().string() + ": not a regular file\n"},
             {{"repo", "push", "--files", video, "-m", "", "tevo/hespin"},
              "tevo-wiki: empty commit message\n"},
         }) {
        const auto run = wiki(c.args);
        EXPECT_EQ(run.status.code, 1) << c.error;
        EXPECT_EQ(run.err, c.error);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(state + "/pages"));
}

TEST_F(TevoWiki, InjectedFailures) {
    const std::vector<std::string> push{"repo", "push", "--files", video, "-m", "m", "tevo/hespin"};
    auto run = wiki(push, {{"TEVO_WIKI_FAIL", "repo push"}});
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tevo-wiki: injected failure\n");

    run = wiki(push, {{"TEVO_WIKI_FAIL", "repo"},
                      {"TEVO_WIKI_FAIL_STDOUT", "half a reply"},
                      {"TEVO_WIKI_FAIL_STDERR", "bad \xff byte"},
                      {"TEVO_WIKI_FAIL_STATUS", "42"}});
    EXPECT_EQ(run.status.code, 42);
    EXPECT_EQ(run.out, "half a reply");
    EXPECT_EQ(run.err, "bad \xff byte");
    EXPECT_FALSE(std::filesystem::exists(state + "/pages"));

    // Whole words only, and an empty pattern fails nothing.
    EXPECT_EQ(wiki(push, {{"TEVO_WIKI_FAIL", "repo pu"}}).status.code, 0);
    EXPECT_EQ(wiki(push, {{"TEVO_WIKI_FAIL", ""}}).status.code, 0);
    EXPECT_EQ(calls().size(), 4u);
}

} // namespace
} // namespace reelcut
