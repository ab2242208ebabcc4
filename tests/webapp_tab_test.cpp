// The webview tab through the workspace stand-in: the URL, the pane choice and the exact command
// lines that reach `tevo-cli`.
#include "support/test_support.hpp"
#include "text_format.hpp"
#include "webapp/tab.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::EnvGuard;
using testing::lines_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(WebappTab, UrlFromProxyTemplateOrLoopback) {
    EnvGuard guard("VSCODE_PROXY_URI");
    struct Case {
        const char* proxy; // nullptr: unset
        std::string url;
    };
    for (const Case& c : {
             Case{nullptr, "http://127.0.0.1:8797/"},
             Case{"https://ws.example/proxy/{{port}}/x/{{port}}",
                  "https://ws.example/proxy/8797/x/8797"},
             Case{"https://ws.example/fixed/", "https://ws.example/fixed/"}, Case{"", ""},
             Case{"http://h/{{port}}{{port}}", "http://h/87978797"},
             Case{"http://h/\xff/{{port}}", "http://127.0.0.1:8797/"}, // not UTF-8: unusable
         }) {
        if (c.proxy) {
            ::setenv("VSCODE_PROXY_URI", c.proxy, 1);
        } else {
            ::unsetenv("VSCODE_PROXY_URI");
        }
        EXPECT_EQ(tab_url(8797), c.url) << (c.proxy ? c.proxy : "(unset)");
    }
}

// Runs open_tab and close_tab in this process with the stand-in first on PATH and a private
// state directory.
class WebappTabStandIn : public ::testing::Test {
  protected:
    TempDir dir;
    EnvGuard path_guard{"PATH"};
    EnvGuard state_guard{"TEVO_CLI_STATE_DIR"};
    EnvGuard fail_guard{"TEVO_CLI_FAIL"};
    EnvGuard get_guard{"TEVO_CLI_GET_OUTPUT"};

    void SetUp() override {
        ::setenv("PATH", testing::tools_path().c_str(), 1);
        ::setenv("TEVO_CLI_STATE_DIR", (dir / "state").c_str(), 1);
        ::unsetenv("TEVO_CLI_FAIL");
        ::unsetenv("TEVO_CLI_GET_OUTPUT");
    }

    std::vector<json> calls() { return testing::logged_calls(dir / "state"); }

    void set_layout(const std::string& layout) {
        std::filesystem::create_directories(dir / "state");
        write_file(dir / "state/layout.json", layout);
    }
};

json add_tab_call(const std::string& pane, const std::string& name, const std::string& url) {
    return {"nimbrel",
            "workspace",
            "add-tab",
            "--panel-id",
            pane,
            "--panel-type",
            kWebviewPanelType,
            "--display-name",
            name,
            "--display-icon",
            "mdi:film",
            "--initial-state",
            json{{"url", url}}.dump()};
}

TEST_F(WebappTabStandIn, OpenRemovesStaleTabQueriesLayoutAndAddsTab) {
    ASSERT_TRUE(open_tab("Storyboard", "http://127.0.0.1:8797/?v=1", "mdi:film", std::nullopt));
    EXPECT_EQ(calls(), (std::vector<json>{
                           {"nimbrel", "workspace", "remove-tab", "--name", "Storyboard"},
                           {"nimbrel", "workspace", "get"},
                           add_tab_call("pane-2", "Storyboard", "http://127.0.0.1:8797/?v=1"),
                       }));
    ASSERT_TRUE(close_tab("Storyboard"));
    EXPECT_EQ(calls().back(), json({"nimbrel", "workspace", "remove-tab", "--name", "Storyboard"}));
}

TEST_F(WebappTabStandIn, GivenPaneSkipsTheLayoutQuery) {
    ASSERT_TRUE(open_tab("Voiceover", "http://x/", "mdi:film", "pane-1"));
    EXPECT_EQ(calls(), (std::vector<json>{
                           {"nimbrel", "workspace", "remove-tab", "--name", "Voiceover"},
                           add_tab_call("pane-1", "Voiceover", "http://x/"),
                       }));
}

TEST_F(WebappTabStandIn, InitialStateStaysValidJsonForAnyUrl) {
    // The stand-in refuses an --initial-state that is not JSON.
    const std::string url = "http://h/?q=\"quoted\"&b=\\back";
    ASSERT_TRUE(open_tab("T", url, "mdi:film", "pane-2"));
    EXPECT_EQ(calls().back().back(), "{\"url\":" + json_string(url) + "}");
}

constexpr const char* kEditor = R"({"panelType":"tevo/a1b2c3d4-eeee-4000-a000-00000000000e"})";
constexpr const char* kWebview = R"({"panelType":"tevo/a1b2c3d4-0031-4000-a000-000000000031"})";

std::string leaf(const std::string& id, const std::string& tabs) {
    return R"({"id":")" + id + R"(","tabs":)" + tabs + "}";
}
std::string split(const std::string& first, const std::string& second) {
    return R"({"first":)" + first + R"(,"second":)" + second + "}";
}
std::string layout(const std::string& root, const std::string& focus) {
    return R"({"focusedPanelId":")" + focus + R"(","root":)" + root + "}";
}

TEST_F(WebappTabStandIn, PaneChoice) {
    const std::string editor_leaf = leaf("a", std::string("[") + kEditor + "]");
    struct Case {
        const char* what;
        std::string layout;
        std::string pane; // the pane the tab lands in
        bool warns = false;
    };
    const Case cases[] = {
        {"editor first, webview-only second, focus on first",
         layout(split(editor_leaf, leaf("b", std::string("[") + kWebview + "]")), "a"), "b"},
        {"focused candidate wins even when second",
         layout(split(leaf("c", "[]"), leaf("d", "[]")), "d"), "d"},
        {"focus on an editor pane: first candidate",
         layout(split(editor_leaf, split(leaf("e", "[]"), leaf("f", "[]"))), "a"), "e"},
        {"null tabs are a candidate", layout(split(editor_leaf, leaf("g", "null")), "a"), "g"},
        {"nested splits, depth first",
         layout(split(split(editor_leaf, leaf("h", "[{}]")), leaf("i", "[]")), "zz"), "h"},
        {"every pane has an editor: focused pane, with a warning", layout(editor_leaf, "a"), "a",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set_layout(c.layout);
        ::testing::internal::CaptureStderr();
        const auto opened = open_tab("Tab", "http://u/", "mdi:film", std::nullopt);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(opened) << opened.error();
        EXPECT_EQ(calls().back(), add_tab_call(c.pane, "Tab", "http://u/"));
        EXPECT_EQ(err, c.warns ? "warning: every workspace pane contains a VS Code tab; falling "
                                 "back to focused pane. The new webview will land on top of VS "
                                 "Code. Split a pane first to avoid this.\n"
                               : "");
    }
}

TEST_F(WebappTabStandIn, OpenFailures) {
    const std::string editor_leaf = leaf("a", std::string("[") + kEditor + "]");
    struct Case {
        const char* what;
        std::string layout;
        const char* fail_words; // TEVO_CLI_FAIL, or nullptr
        std::string message;    // exact, or a prefix ending in "..."
    };
    const Case cases[] = {
        {"candidate without id chosen first",
         layout(split(R"({"tabs":[]})", leaf("b", "[]")), "zz"), nullptr,
         "non-VS-Code leaf had no id"},
        {"no focus and every pane an editor", R"({"root":)" + editor_leaf + "}", nullptr,
         "no focusedPanelId in workspace response"},
        {"no root", R"({"focusedPanelId":"a"})", nullptr, "workspace response has no root"},
        {"not JSON", "{oops", nullptr, "failed to parse workspace JSON: ..."},
        {"layout query fails", layout(leaf("a", "[]"), "a"), "nimbrel workspace get",
         "failed to query workspace: tevo-cli: injected failure\n"},
        {"add-tab fails", layout(leaf("a", "[]"), "a"), "nimbrel workspace add-tab",
         "failed to add webview tab: tevo-cli: injected failure\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        set_layout(c.layout);
        if (c.fail_words) {
            ::setenv("TEVO_CLI_FAIL", c.fail_words, 1);
        } else {
            ::unsetenv("TEVO_CLI_FAIL");
        }
        ::testing::internal::CaptureStderr();
        const auto opened = open_tab("Tab", "http://u/", "mdi:film", std::nullopt);
        (void)::testing::internal::GetCapturedStderr();
        ASSERT_FALSE(opened);
        if (c.message.ends_with("...")) {
            EXPECT_TRUE(opened.error().starts_with(c.message.substr(0, c.message.size() - 3)))
                << opened.error();
            EXPECT_GT(opened.error().size(), c.message.size() - 3);
        } else {
            EXPECT_EQ(opened.error(), c.message);
        }
    }
}

TEST_F(WebappTabStandIn, CloseFailureAndMissingTool) {
    ::setenv("TEVO_CLI_FAIL", "nimbrel workspace remove-tab", 1);
    EXPECT_EQ(close_tab("Tab").error(),
              "failed to remove webview tab: tevo-cli: injected failure\n");
    // The stale-tab removal never fails the opening.
    EXPECT_TRUE(open_tab("Tab", "http://u/", "mdi:film", "pane-2"));

    ::setenv("PATH", dir.path().c_str(), 1);
    const std::string missing = "tevo-cli spawn failed: No such file or directory (os error 2)";
    EXPECT_EQ(open_tab("Tab", "http://u/", "mdi:film", std::nullopt).error(), missing);
    EXPECT_EQ(open_tab("Tab", "http://u/", "mdi:film", "pane-2").error(), missing);
    EXPECT_EQ(close_tab("Tab").error(), missing);
}

TEST(WebappTab, LeafPanesAndEditorDetection) {
    const json root = json::parse(R"({"first":{"first":{"id":"1","tabs":[]},"second":5},
        "second":{"second":{"id":"2","tabs":{"panelType":"x"},
                            "first":{"id":"ignored","tabs":[]}}}})");
    std::vector<const json*> leaves;
    collect_leaf_panes(root, leaves);
    ASSERT_EQ(leaves.size(), 2u);
    EXPECT_EQ(leaves[0]->at("id"), "1");
    EXPECT_EQ(leaves[1]->at("id"), "2");

    EXPECT_TRUE(pane_has_no_vscode_tab(json::parse(R"({"tabs":null})")));
    EXPECT_TRUE(pane_has_no_vscode_tab(json::parse(R"({"tabs":[{"panelType":5},7,{}]})")));
    EXPECT_FALSE(pane_has_no_vscode_tab(
        json::parse(R"({"tabs":[{},{"panelType":"tevo/a1b2c3d4-eeee-4000-a000-00000000000e"}]})")));
}

} // namespace
} // namespace reelcut
