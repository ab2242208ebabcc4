// publish, run end to end through the built binary against the stand-in wiki tool.
#include "main/publish.hpp"
#include "support/test_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::lines_of;
using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::tools_path;
using testing::write_file;

const std::string kVideoHint = "Hint: pass --asset-type screenshot if uploading a still image.";
const std::string kToolMissing =
    "tevo-wiki CLI not found in PATH. Hint: it ships with every Tevo container. Run `which "
    "tevo-wiki` to verify, or contact your container admin.";

std::string page_error(const std::string& page) {
    return fmt::format("invalid --page '{}': expected format <owner>/<slug> like "
                       "tevo/tevo-quorrel, tevo/hespin. Hint: browse pages at {}.",
                       page, kWikiBaseUrl);
}

// ERROR line, then the Hint line when the message carries one.
std::string error_output(const std::string& message) {
    std::string out = "ERROR: " + message + "\n";
    if (const auto at = message.find("Hint: "); at != std::string::npos) {
        out += "Hint: " + message.substr(at + 6) + "\n";
    }
    return out;
}

class Publish : public ::testing::Test {
  protected:
    TempDir dir;
    std::string wiki = dir / "wiki";

    std::string media(const std::string& name, const std::string& content = "media bytes") {
        const std::string path = dir / name;
        write_file(path, content);
        return path;
    }

    CapturedOutput publish(std::vector<std::string> args,
                           std::vector<std::pair<std::string, std::string>> env = {}) {
        SpawnOptions options;
        options.set_env = {{"TEVO_WIKI_STATE_DIR", wiki}, {"HOME", dir.path().string()}};
        options.set_env.insert(options.set_env.end(), env.begin(), env.end());
        options.unset_env = {"TEVO_WIKI_FAIL", "TEVO_WIKI_FAIL_STDOUT", "TEVO_WIKI_FAIL_STDERR",
                             "TEVO_WIKI_FAIL_STATUS"};
        args.insert(args.begin(), "publish");
        return run_reelcut(args, options);
    }

    std::vector<json> calls() { return testing::logged_calls(wiki); }

    // A refused publish prints nothing on standard output and never reaches the wiki tool.
    void expect_refused(const CapturedOutput& run, const std::string& message,
                        const std::string& context) {
        EXPECT_EQ(run.status.code, 1) << context;
        EXPECT_EQ(run.err, error_output(message)) << context;
        EXPECT_EQ(run.out, "") << context;
        EXPECT_FALSE(std::filesystem::exists(wiki)) << context;
    }
};

TEST_F(Publish, UploadsThroughTheWikiToolAndPrintsTheAddress) {
    const std::string input = media("demo-fast-narrated.webm", std::string("\0\x1a\x45\xdf", 4));
    const auto run = publish({"--input", input, "--page", "tevo/hespin"});
    ASSERT_EQ(run.status.code, 0) << run.err;
    const std::string url =
        fmt::format("{}/api/v1/pages/hespin/files/demo-fast-narrated.webm", kWikiBaseUrl);
    EXPECT_EQ(run.out, fmt::format("uploading {} to wiki page tevo/hespin...\n"
                                   "OK: uploaded to wiki: {}\n",
                                   input, url));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(calls(), (std::vector<json>{{"repo", "push", "--files", input, "-m",
                                           "Add video demo-fast-narrated.webm via reelcut publish",
                                           "tevo/hespin"}}));
    EXPECT_EQ(read_file(wiki + "/pages/hespin/demo-fast-narrated.webm"),
              std::string("\0\x1a\x45\xdf", 4));
}

TEST_F(Publish, CommitMessageNamesTheAssetTypeAndTheCaption) {
    struct Case {
        std::vector<std::string> extra;
        std::string file;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {{}, "demo.webm", "Add video demo.webm via reelcut publish"},
             {{"--caption", "Deep dive"}, "demo.webm", "Add video demo demo.webm: Deep dive"},
             {{"--asset-type", "screenshot"},
              "shot.png",
              "Add screenshot shot.png via reelcut publish"},
             {{"--asset-type", "hero_image", "--caption", "Board: top side"},
              "hero.svg",
              "Add hero_image demo hero.svg: Board: top side"},
         }) {
        std::filesystem::remove_all(wiki);
        std::vector<std::string> args{"--input", media(c.file), "--page", "apps/tevo-desktop"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto run = publish(args);
        ASSERT_EQ(run.status.code, 0) << c.message << ": " << run.err;
        const auto logged = calls();
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0][5], c.message);
        EXPECT_EQ(logged[0][6], "apps/tevo-desktop");
    }
}

TEST_F(Publish, PageReferenceMustBeOwnerSlash) {
    const std::string input = media("demo.webm");
    for (const std::string page : {"hespin", "/hespin", "tevo/", "tevo/a/b", "", "/", "tevo/..",
                                   "../x", "tevo/.", "./x", "../..", "tevo//x"}) {
        expect_refused(publish({"--input", input, "--page", page}), page_error(page), page);
    }
    // Dots inside a segment are ordinary slugs.
    for (const std::string page : {"tevo/...", "tevo/v1.2", ".tevo/.hidden", "a/b..c"}) {
        const auto run = publish({"--input", input, "--page", page});
        EXPECT_EQ(run.status.code, 0) << page << ": " << run.err;
        const std::string slug = page.substr(page.find('/') + 1);
        EXPECT_NE(run.out.find(fmt::format("/api/v1/pages/{}/files/demo.webm", slug)),
                  std::string::npos)
            << run.out;
    }
}

TEST_F(Publish, AssetTypeDecidesWhichExtensionsPass) {
    struct Case {
        std::string file;
        std::string asset_type;
        bool passes;
    };
    for (const auto& c : std::vector<Case>{
             {"demo.WEBM", "video", true},
             {"demo.mkv", "video", true},
             {"clip.Mov", "video", true},
             {"shot.png", "video", false},
             {"demo", "video", false},
             {".webm", "video", false}, // a hidden name, not an extension
             {"demo.webm.txt", "video", false},
             {"shot.png", "screenshot", true},
             {"shot.JPEG", "screenshot", true},
             {"demo.webm", "screenshot", false},
             {"notes.txt", "hero_image", true},
             {"noext", "Video", true}, // only the exact words are checked
         }) {
        std::filesystem::remove_all(wiki);
        const std::string input = media(c.file);
        const auto run =
            publish({"--input", input, "--page", "tevo/hespin", "--asset-type", c.asset_type});
        const std::string context = c.file + " as " + c.asset_type;
        if (c.passes) {
            EXPECT_EQ(run.status.code, 0) << context << ": " << run.err;
            EXPECT_EQ(calls().size(), 1u) << context;
        } else if (c.asset_type == "video") {
            expect_refused(run,
                           fmt::format("input file '{}' is not a recognized video format "
                                       "([\"webm\", \"mp4\", \"mov\", \"mkv\"]). {}",
                                       input, kVideoHint),
                           context);
        } else {
            expect_refused(run,
                           fmt::format("input file '{}' is not a recognized image format "
                                       "([\"png\", \"jpg\", \"jpeg\"]).",
                                       input),
                           context);
        }
    }
}

TEST_F(Publish, MissingInputIsTheFirstProblemReported) {
    const std::string missing = dir / "gone.png"; // also a bad page and a bad extension
    expect_refused(publish({"--input", missing, "--page", "hespin"}),
                   fmt::format("input video not found: {}. Hint: produce it via `tevo-reelcut "
                               "voiceover` first.",
                               missing),
                   "missing");
    // A dangling link is missing too.
    std::filesystem::create_symlink(dir / "nowhere.webm", dir / "link.webm");
    expect_refused(publish({"--input", dir / "link.webm", "--page", "tevo/hespin"}),
                   fmt::format("input video not found: {}. Hint: produce it via `tevo-reelcut "
                               "voiceover` first.",
                               dir / "link.webm"),
                   "dangling link");
}

TEST_F(Publish, ChecksRunInTheirOrder) {
    const std::string png = media("shot.png");
    const std::string empty_dir = dir / "empty";
    std::filesystem::create_directory(empty_dir);
    // Page before extension, extension before the tool search.
    expect_refused(publish({"--input", png, "--page", "tevo"}), page_error("tevo"), "page");
    expect_refused(publish({"--input", png, "--page", "tevo/hespin"}, {{"PATH", empty_dir}}),
                   fmt::format("input file '{}' is not a recognized video format ([\"webm\", "
                               "\"mp4\", \"mov\", \"mkv\"]). {}",
                               png, kVideoHint),
                   "extension");
    // The tool search before the file name: "." exists and has no file name.
    expect_refused(publish({"--input", ".", "--page", "tevo/hespin", "--asset-type", "hero_image"},
                           {{"PATH", empty_dir}}),
                   kToolMissing, "tool");
}

TEST_F(Publish, WikiToolMustBeARegularFileOnPath) {
    const std::string input = media("demo.webm");
    const std::string with_dir = dir / "with-dir";
    std::filesystem::create_directories(with_dir + "/tevo-wiki");
    expect_refused(publish({"--input", input, "--page", "tevo/hespin"}, {{"PATH", with_dir}}),
                   kToolMissing, "directory named tevo-wiki");

    // Without PATH at all (run_reelcut would put one back, so start the binary directly).
    SpawnOptions options;
    options.unset_env = {"PATH"};
    options.set_env = {{"TEVO_WIKI_STATE_DIR", wiki}};
    auto run =
        run_captured(REELCUT_BIN, {"publish", "--input", input, "--page", "tevo/hespin"}, options);
    ASSERT_TRUE(run) << run.error();
    expect_refused(*run, kToolMissing, "no PATH");

    // A regular file counts even when it cannot run; starting it is what fails then.
    const std::string with_file = dir / "with-file";
    std::filesystem::create_directory(with_file);
    write_file(with_file + "/tevo-wiki", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(with_file + "/tevo-wiki", std::filesystem::perms::owner_read);
    const auto not_executable =
        publish({"--input", input, "--page", "tevo/hespin"}, {{"PATH", with_file}});
    EXPECT_EQ(not_executable.status.code, 1);
    EXPECT_EQ(not_executable.out, fmt::format("uploading {} to wiki page tevo/hespin...\n", input));
    EXPECT_EQ(not_executable.err,
              "ERROR: tevo-wiki spawn failed: Permission denied (os error 13)\n");

    // Later PATH entries are searched when the first ones lack the tool.
    const auto found = publish({"--input", input, "--page", "tevo/hespin"},
                               {{"PATH", with_dir + ":" + tools_path()}});
    EXPECT_EQ(found.status.code, 0) << found.err;
}

TEST_F(Publish, InputWithoutAFileName) {
    const std::string sub = dir / "sub";
    std::filesystem::create_directory(sub);
    for (const std::string& input : std::vector<std::string>{".", sub + "/..", "/"}) {
        expect_refused(
            publish({"--input", input, "--page", "tevo/hespin", "--asset-type", "hero_image"}),
            "could not read filename from " + input, input);
    }
    // A name that is not UTF-8 cannot go into the commit message or the address.
    const std::string latin1 = media("d\xe9mo.webm");
    expect_refused(
        publish({"--input", latin1, "--page", "tevo/hespin", "--asset-type", "hero_image"}),
        "could not read filename from " + dir / "d\xef\xbf\xbdmo.webm", "latin-1 name");
}

TEST_F(Publish, FailingWikiToolReportsBothOfItsStreams) {
    const std::string input = media("demo.webm");
    const auto run = publish({"--input", input, "--page", "tevo/hespin"},
                             {{"TEVO_WIKI_FAIL", "repo push"},
                              {"TEVO_WIKI_FAIL_STDOUT", "pushing demo.webm\n"},
                              {"TEVO_WIKI_FAIL_STDERR", "error: token expired \xff\n"},
                              {"TEVO_WIKI_FAIL_STATUS", "3"}});
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.out, fmt::format("uploading {} to wiki page tevo/hespin...\n", input));
    EXPECT_EQ(run.err, "ERROR: tevo-wiki repo push failed:\npushing demo.webm\n"
                       "error: token expired \xef\xbf\xbd\n\n");
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(wiki + "/pages"));
}

TEST_F(Publish, AddressStaysValidForAnyFileName) {
    const std::string input = media("take #2 (final).webm");
    const auto run = publish({"--input", input, "--page", "tevo/hespin"});
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(
        lines_of(run.out).back(),
        fmt::format("OK: uploaded to wiki: {}/api/v1/pages/hespin/files/take%20%232%20(final).webm",
                    kWikiBaseUrl));
    // The wiki itself gets the name unchanged.
    EXPECT_EQ(calls()[0][5], "Add video take #2 (final).webm via reelcut publish");
    EXPECT_TRUE(std::filesystem::exists(wiki + "/pages/hespin/take #2 (final).webm"));
}

} // namespace
} // namespace reelcut
