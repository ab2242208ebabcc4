// install: the embedded skill document deployed into a home directory, through the built binary.
#include "assets.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace reelcut {
namespace {

using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::write_file;

class Install : public ::testing::Test {
  protected:
    TempDir home;
    TempDir cwd; // where a wrongly relative target would land
    std::string dir = home / ".claude/skills/tevo-reelcut";
    std::string file = dir + "/SKILL.md";

    CapturedOutput install(std::optional<std::string> home_value) {
        SpawnOptions options;
        options.cwd = cwd.path().string();
        if (home_value) {
            options.set_env.emplace_back("HOME", *home_value);
        } else {
            options.unset_env.push_back("HOME");
        }
        return run_reelcut({"install"}, options);
    }
};

TEST_F(Install, FreshHomeGetsTheDirectoryAndTheDocument) {
    auto run = install(home.path().string());
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(run.out, "OK: SKILL.md deployed to " + file + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(file), assets::skill_md());
    EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
}

TEST_F(Install, RunningAgainReplacesTheFileWithTheSameBytes) {
    ASSERT_EQ(install(home.path().string()).status.code, 0);
    // An earlier, longer document must not leave a tail behind.
    write_file(file, std::string(assets::skill_md()) + "an older, longer version\n");
    const auto run = install(home.path().string());
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(read_file(file), assets::skill_md());
    EXPECT_EQ(run.out, "OK: SKILL.md deployed to " + file + "\n");
}

TEST_F(Install, WithoutAUsableHomeNothingIsWritten) {
    for (const std::optional<std::string>& value :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>(home / "not-utf8-\xff")}) {
        const auto run = install(value);
        EXPECT_EQ(run.status.code, 1);
        EXPECT_EQ(run.err, "ERROR: HOME env var not set\n");
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(home.path()));
    EXPECT_TRUE(std::filesystem::is_empty(cwd.path()));
}

TEST_F(Install, SomethingInTheWayIsReportedWithItsPath) {
    std::filesystem::create_directories(home / ".claude");
    write_file(home / ".claude/skills", "a file where the skills directory belongs");
    auto run = install(home.path().string());
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.err, "ERROR: create " + dir + ": Not a directory (os error 20)\n");
    EXPECT_EQ(run.out, "");

    // A directory in place of the file itself.
    std::filesystem::remove(home / ".claude/skills");
    std::filesystem::create_directories(file);
    run = install(home.path().string());
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.err, "ERROR: write " + file + ": Is a directory (os error 21)\n");
}

TEST_F(Install, AnExistingDirectoryIsKeptWithItsOtherFiles) {
    std::filesystem::create_directories(dir);
    write_file(dir + "/notes.md", "kept");
    const auto run = install(home.path().string() + "/");
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(run.out, "OK: SKILL.md deployed to " + file + "\n");
    EXPECT_EQ(read_file(dir + "/notes.md"), "kept");
}

} // namespace
} // namespace reelcut
