#include "webapp/tab.hpp"

#include "subprocess.hpp"
#include "terminal.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"

#include <cstdlib>
#include <variant>

namespace reelcut {

namespace {

using nlohmann::json;

Result<CapturedOutput> tevo_cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"nimbrel", "workspace"});
    auto ran = run_captured("tevo-cli", args);
    if (!ran) {
        return fail("tevo-cli spawn failed: " + ran.error());
    }
    return ran;
}

Result<std::string> choose_pane() {
    auto ran = tevo_cli({"get"});
    if (!ran) {
        return fail(ran.error());
    }
    if (!ran->status.success()) {
        return fail("failed to query workspace: " + lossy_utf8(ran->err));
    }
    const JsonBody parsed = parse_json_text(lossy_utf8(ran->out));
    if (const auto* bad = std::get_if<JsonSyntaxError>(&parsed)) {
        return fail("failed to parse workspace JSON: " + bad->message);
    }
    const json& layout = std::get<json>(parsed);

    std::optional<std::string> focused;
    if (layout.is_object()) {
        if (const auto it = layout.find("focusedPanelId"); it != layout.end() && it->is_string()) {
            focused = it->get<std::string>();
        }
    }
    if (!layout.is_object() || !layout.contains("root")) {
        return fail("workspace response has no root");
    }

    std::vector<const json*> leaves;
    collect_leaf_panes(layout.at("root"), leaves);
    std::vector<const json*> candidates;
    for (const json* leaf : leaves) {
        if (pane_has_no_vscode_tab(*leaf)) {
            candidates.push_back(leaf);
        }
    }
    auto id_of = [](const json& leaf) -> std::optional<std::string> {
        const auto it = leaf.find("id");
        return it != leaf.end() && it->is_string() ? std::optional(it->get<std::string>())
                                                   : std::nullopt;
    };

    if (!candidates.empty()) {
        if (focused) {
            for (const json* leaf : candidates) {
                if (id_of(*leaf) == focused) {
                    return *focused;
                }
            }
        }
        if (auto first = id_of(*candidates.front())) {
            return *first;
        }
        return fail("non-VS-Code leaf had no id");
    }
    write_fd(2, "warning: every workspace pane contains a VS Code tab; falling back to focused "
                "pane. The new webview will land on top of VS Code. Split a pane first to avoid "
                "this.\n");
    if (!focused) {
        return fail("no focusedPanelId in workspace response");
    }
    return *focused;
}

} // namespace

std::optional<std::string> proxy_uri_template() {
    const char* proxy = std::getenv("VSCODE_PROXY_URI");
    if (proxy == nullptr || !valid_utf8(proxy)) {
        return std::nullopt;
    }
    return std::string(proxy);
}

std::string with_port(std::string address_template, std::uint16_t port) {
    const std::string number = std::to_string(port);
    const std::string token = "{{port}}";
    for (auto at = address_template.find(token); at != std::string::npos;
         at = address_template.find(token, at + number.size())) {
        address_template.replace(at, token.size(), number);
    }
    return address_template;
}

std::string tab_url(std::uint16_t port) {
    if (auto proxy = proxy_uri_template()) {
        return with_port(std::move(*proxy), port);
    }
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

Status open_tab(const std::string& name, const std::string& url, const std::string& icon,
                const std::optional<std::string>& panel_id) {
    // Clears a tab left by an earlier run; that there is none is no error.
    (void)tevo_cli({"remove-tab", "--name", name});

    std::string pane;
    if (panel_id) {
        pane = *panel_id;
    } else {
        auto chosen = choose_pane();
        if (!chosen) {
            return fail(chosen.error());
        }
        pane = std::move(*chosen);
    }

    std::string initial_state = "{\"url\":";
    append_json_string(initial_state, url);
    initial_state += '}';

    auto ran = tevo_cli({"add-tab", "--panel-id", pane, "--panel-type", kWebviewPanelType,
                         "--display-name", name, "--display-icon", icon, "--initial-state",
                         initial_state});
    if (!ran) {
        return fail(ran.error());
    }
    if (!ran->status.success()) {
        return fail("failed to add webview tab: " + lossy_utf8(ran->err));
    }
    return {};
}

Status close_tab(const std::string& name) {
    auto ran = tevo_cli({"remove-tab", "--name", name});
    if (!ran) {
        return fail(ran.error());
    }
    if (!ran->status.success()) {
        return fail("failed to remove webview tab: " + lossy_utf8(ran->err));
    }
    return {};
}

void collect_leaf_panes(const json& node, std::vector<const json*>& leaves) {
    const json* at = &node;
    while (at->is_object()) {
        if (at->contains("tabs")) {
            leaves.push_back(at);
            return;
        }
        if (const auto first = at->find("first"); first != at->end()) {
            collect_leaf_panes(*first, leaves);
        }
        const auto second = at->find("second");
        if (second == at->end()) {
            return;
        }
        at = &*second;
    }
}

bool pane_has_no_vscode_tab(const json& leaf) {
    const auto tabs = leaf.find("tabs");
    if (tabs == leaf.end() || !tabs->is_array()) {
        return true;
    }
    for (const json& tab : *tabs) {
        if (!tab.is_object()) {
            continue;
        }
        const auto type = tab.find("panelType");
        if (type != tab.end() && type->is_string() && *type == kEditorPanelType) {
            return false;
        }
    }
    return true;
}

} // namespace reelcut
