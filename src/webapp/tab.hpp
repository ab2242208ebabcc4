// The page as a webview tab of the workspace, driven through `tevo-cli`.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace reelcut {

inline constexpr const char* kWebviewPanelType = "tevo/a1b2c3d4-0031-4000-a000-000000000031";
inline constexpr const char* kEditorPanelType = "tevo/a1b2c3d4-eeee-4000-a000-00000000000e";

// VSCODE_PROXY_URI, the workspace's address template for pages, when set and valid UTF-8.
std::optional<std::string> proxy_uri_template();

// The template with every "{{port}}" replaced by the port in decimal.
std::string with_port(std::string address_template, std::uint16_t port);

// VSCODE_PROXY_URI with "{{port}}" filled in, else "http://127.0.0.1:{port}/".
std::string tab_url(std::uint16_t port);

// Removes a stale tab of the same name, then adds the webview tab to `panel_id`, or to a pane
// without an editor tab (the focused one if it qualifies).
Status open_tab(const std::string& name, const std::string& url, const std::string& icon,
                const std::optional<std::string>& panel_id);

Status close_tab(const std::string& name);

// Appends the leaf panes (nodes with "tabs") under `node`, depth first, "first" before "second".
void collect_leaf_panes(const nlohmann::json& node, std::vector<const nlohmann::json*>& leaves);

bool pane_has_no_vscode_tab(const nlohmann::json& leaf);

} // namespace reelcut
