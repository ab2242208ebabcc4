// Scratch files beside their targets: their names, how they are placed, and how a link target is
// found.
#include "file_io.hpp"
#include "support/test_support.hpp"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(ScratchNames, PartialNamesKeepTheExtensionAndFitTheNameLimit) {
    const std::string two_byte = "\xC3\xA9"; // é
    struct Case {
        std::string target;
        std::string starts_with;
        std::string ends_with;
    };
    const std::vector<Case> cases = {
        {"/d/take-1.webm", "/d/take-1.partial-", ".webm"},
        {"/d/no-extension", "/d/no-extension.partial-", ""},
        {"bare.mp4", "bare.partial-", ".mp4"},
        // The stem gives way, never the directory or the extension, and never mid-character.
        {"/d/" + std::string(250, 'n') + ".webm", "/d/nnnn", ".webm"},
        {"/d/" + std::string(201, 'n') +
             [&] {
                 std::string s;
                 for (int i = 0; i < 40; ++i) {
                     s += two_byte;
                 }
                 return s;
             }() +
             ".webm",
         "/d/nnnn", ".webm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string partial = partial_path_beside(c.target);
        EXPECT_TRUE(partial.starts_with(c.starts_with)) << partial;
        EXPECT_TRUE(partial.ends_with(c.ends_with)) << partial;
        const std::string name = fs::path(partial).filename().string();
        EXPECT_LE(name.size(), 255u) << partial;
        EXPECT_TRUE(is_scratch_name(name)) << name;
        EXPECT_FALSE(is_abandoned_scratch(name)) << name; // this process is still writing it
        const auto marker = name.find(".partial-");
        ASSERT_NE(marker, std::string::npos);
        // Whole characters before the marker: the last byte is no lead or inner byte of one.
        EXPECT_TRUE(marker == 0 || (static_cast<unsigned char>(name[marker - 1]) & 0x80) == 0 ||
                    name.substr(0, marker).ends_with(two_byte))
            << name;
    }
    EXPECT_NE(partial_path_beside("/d/a.webm"), partial_path_beside("/d/a.webm"));
}

TEST(ScratchNames, OnlyTaggedNamesOfGoneWritersAreAbandoned) {
    const pid_t me = ::getpid();
    const std::string mine = fs::path(partial_path_beside("/d/a.webm")).filename().string();
    const std::string tag = mine.substr(mine.find(".partial-") + 9);
    const std::string my_run = tag.substr(tag.find('-') + 1, 8);
    const std::string other_run = my_run == "00000000" ? "00000001" : "00000000";
    struct Case {
        std::string name;
        bool scratch;
        bool abandoned;
    };
    const std::vector<Case> cases = {
        {fmt::format("a.partial-{}-{}-3.webm", me, my_run), true, false},
        {fmt::format("a.partial-{}-{}-3.webm", me, other_run), true, true}, // an earlier run's pid
        {"a.partial-1-0badcafe-0.webm", true, false},                       // init is running
        {"tevo-reelcut-concat-list-1-0badcafe-2.txt", true, false},
        {"a.partial-1-0badcafe.webm", false, false},
        {"a.partial-x-0badcafe-0.webm", false, false},
        {"a.partial.webm", false, false},
        {"tevo-reelcut-waveform-raw.png", false, false},
        {"demo-narrated-take-12-norm.webm", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_scratch_name(c.name), c.scratch) << c.name;
        EXPECT_EQ(is_abandoned_scratch(c.name), c.abandoned) << c.name;
    }
}

TEST(ScratchPlacement, RenameIfFreeNeverReplacesAFile) {
    TempDir dir;
    write_file(dir / "first.partial", "first");
    write_file(dir / "second.partial", "second");
    auto placed = rename_if_free(dir / "first.partial", dir / "take.webm");
    ASSERT_TRUE(placed);
    EXPECT_TRUE(*placed);
    placed = rename_if_free(dir / "second.partial", dir / "take.webm");
    ASSERT_TRUE(placed);
    EXPECT_FALSE(*placed);
    EXPECT_EQ(read_file(dir / "take.webm"), "first");
    EXPECT_EQ(read_file(dir / "second.partial"), "second");
    EXPECT_FALSE(rename_if_free(dir / "gone.partial", dir / "other.webm"));
}

TEST(ScratchPlacement, ThroughLinksFindsTheFileALinkNames) {
    TempDir dir;
    fs::create_directory(dir.path() / "sub");
    write_file(dir / "sub/final.webm", "x");
    fs::create_symlink("sub/final.webm", dir / "one.webm");
    fs::create_symlink("one.webm", dir / "two.webm");
    fs::create_symlink("sub/not-yet.webm", dir / "dangling.webm");
    fs::create_symlink("loop-b", dir / "loop-a");
    fs::create_symlink("loop-a", dir / "loop-b");
    EXPECT_EQ(through_links(dir / "two.webm"), dir / "sub/final.webm");
    EXPECT_EQ(through_links(dir / "dangling.webm"), dir / "sub/not-yet.webm");
    EXPECT_EQ(through_links(dir / "plain.webm"), dir / "plain.webm");
    EXPECT_EQ(through_links(dir / "loop-a"), dir / "loop-a");
    EXPECT_FALSE(path_exists(dir / "sub/final.webm" + std::string(1, '\0') + ".txt"));
}

} // namespace
} // namespace reelcut
