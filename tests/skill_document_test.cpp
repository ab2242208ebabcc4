// The embedded skill document: its structure, and every command it shows checked against the real
// command line.
#include "assets.hpp"
#include "main/cli.hpp"
#include "support/test_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <set>
#include <sstream>

namespace reelcut {
namespace {

using testing::lines_of;
using testing::read_file;

struct CodeBlock {
    std::string language;
    std::string text;
    int first_line = 0; // line number of the opening fence, for messages
};

std::vector<CodeBlock> code_blocks(const std::string& markdown) {
    std::vector<CodeBlock> blocks;
    std::optional<CodeBlock> open;
    int number = 0;
    for (const auto& line : lines_of(markdown)) {
        ++number;
        if (!line.starts_with("```")) {
            if (open) {
                open->text += line + "\n";
            }
            continue;
        }
        if (open) {
            blocks.push_back(*open);
            open.reset();
        } else {
            open = CodeBlock{line.substr(3), "", number};
        }
    }
    EXPECT_FALSE(open) << "code block opened on line " << open->first_line << " is never closed";
    return blocks;
}

// Headings outside code blocks, with their "#" marks.
std::vector<std::string> headings(const std::string& markdown) {
    std::vector<std::string> found;
    bool in_code = false;
    for (const auto& line : lines_of(markdown)) {
        if (line.starts_with("```")) {
            in_code = !in_code;
        } else if (!in_code && line.starts_with("#")) {
            found.push_back(line);
        }
    }
    return found;
}

// The simple commands of a shell script, as the shell would split them into words: quotes and
// backslashes resolved, line continuations joined, comments and redirections dropped, and
// "|", "||", "&&", ";", "&", newlines, parentheses and "$(" ending a command. Variables stay
// as written. Unbalanced quotes are reported in `error`.
std::vector<std::vector<std::string>> simple_commands(const std::string& script,
                                                      std::string& error) {
    std::vector<std::vector<std::string>> commands;
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    bool drop_next_word = false; // a redirection's target
    auto end_word = [&] {
        if (in_word && !drop_next_word) {
            words.push_back(word);
        } else if (in_word) {
            drop_next_word = false;
        }
        word.clear();
        in_word = false;
    };
    auto end_command = [&] {
        end_word();
        if (!words.empty()) {
            commands.push_back(words);
        }
        words.clear();
    };
    const std::size_t n = script.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = script[i];
        const char next = i + 1 < n ? script[i + 1] : '\0';
        if (c == '\\') {
            if (next != '\n') {
                word += next;
                in_word = true;
            }
            ++i;
        } else if (c == '\'') {
            const auto close = script.find('\'', i + 1);
            if (close == std::string::npos) {
                error = "unterminated single quote";
                return commands;
            }
            word += script.substr(i + 1, close - i - 1);
            in_word = true;
            i = close;
        } else if (c == '"') {
            std::size_t j = i + 1;
            for (; j < n && script[j] != '"'; ++j) {
                if (script[j] == '\\' && j + 1 < n &&
                    std::string_view("$`\"\\\n").find(script[j + 1]) != std::string_view::npos) {
                    ++j;
                    if (script[j] == '\n') {
                        continue;
                    }
                }
                word += script[j];
            }
            if (j >= n) {
                error = "unterminated double quote";
                return commands;
            }
            in_word = true;
            i = j;
        } else if (c == '#' && !in_word) {
            while (i + 1 < n && script[i + 1] != '\n') {
                ++i;
            }
        } else if (c == '$' && next == '(') {
            end_command();
            ++i;
        } else if (c == '>' || c == '<') {
            // "2>" names a descriptor, not a word.
            if (in_word && !word.empty() &&
                std::all_of(word.begin(), word.end(), [](char d) { return std::isdigit(d); })) {
                word.clear();
                in_word = false;
            }
            end_word();
            while (i + 1 < n && (script[i + 1] == '>' || script[i + 1] == '&')) {
                ++i;
            }
            if (script[i] == '&' && i + 1 < n && std::isdigit(script[i + 1])) {
                ++i; // ">&1" duplicates a descriptor: no target word
            } else {
                drop_next_word = true;
            }
        } else if (c == ' ' || c == '\t') {
            end_word();
        } else if (std::string_view("\n;|&()").find(c) != std::string_view::npos) {
            end_command();
        } else {
            word += c;
            in_word = true;
        }
    }
    end_command();
    return commands;
}

// Keywords and assignments that may stand before the command word.
bool is_prefix_word(const std::string& word) {
    static const std::set<std::string> keywords{"do",    "then",  "else", "elif", "if",
                                                "while", "until", "!",    "time", "{"};
    static const std::regex assignment("[A-Za-z_][A-Za-z0-9_]*=.*");
    return keywords.count(word) > 0 || std::regex_match(word, assignment);
}

struct Shown {
    std::vector<std::string> args; // after the program name
    int block_line = 0;
};

class SkillDocument : public ::testing::Test {
  protected:
    std::string doc{assets::skill_md()};

    // Every `tevo-reelcut ...` command in the shell blocks; a program name anywhere but in
    // command position fails the test, so no command can slip past the check.
    std::vector<Shown> shown_commands() {
        std::vector<Shown> shown;
        for (const auto& block : code_blocks(doc)) {
            if (block.language != "bash" && block.language != "sh") {
                continue;
            }
            std::string error;
            for (auto words : simple_commands(block.text, error)) {
                while (!words.empty() && is_prefix_word(words.front())) {
                    words.erase(words.begin());
                }
                for (std::size_t i = 1; i < words.size(); ++i) {
                    EXPECT_NE(words[i], "tevo-reelcut")
                        << "block at line " << block.first_line << ": not a command position";
                }
                if (!words.empty() && words.front() == "tevo-reelcut") {
                    shown.push_back({{words.begin() + 1, words.end()}, block.first_line});
                }
            }
            EXPECT_EQ(error, "") << "block at line " << block.first_line;
        }
        return shown;
    }
};

TEST_F(SkillDocument, EmbeddedBytesAreTheAssetFile) {
    EXPECT_EQ(doc, read_file(REELCUT_SOURCE_DIR "/assets/SKILL.md"));
}

TEST_F(SkillDocument, FrontMatterNamesTheSkillAndItsTriggers) {
    ASSERT_TRUE(doc.starts_with("---\nname: tevo-reelcut\ndescription: >\n")) << doc.substr(0, 80);
    const auto end = doc.find("\n---\n", 4);
    ASSERT_NE(end, std::string::npos);

    // A folded block: indented lines joined by single blanks.
    std::string description;
    const auto lines = lines_of(doc.substr(0, end));
    for (std::size_t i = 3; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].starts_with("  ") && lines[i][2] != ' ') << lines[i];
        description += (description.empty() ? "" : " ") + lines[i].substr(2);
    }
    EXPECT_NE(description.find("`quellan`"), std::string::npos);
    const auto triggers_at = description.find("Trigger words: ");
    ASSERT_NE(triggers_at, std::string::npos);
    std::string triggers = description.substr(triggers_at + 15);
    ASSERT_TRUE(triggers.ends_with(".")) << triggers;
    triggers.pop_back();
    std::vector<std::string> phrases;
    std::istringstream in(triggers);
    for (std::string phrase; std::getline(in, phrase, ',');) {
        phrase.erase(0, phrase.find_first_not_of(' '));
        EXPECT_FALSE(phrase.empty());
        phrases.push_back(phrase);
    }
    EXPECT_EQ(phrases.size(), 12u) << triggers;

    // The body opens with the title and one sentence that sends pre-production elsewhere.
    const std::string body = doc.substr(end + 5);
    ASSERT_TRUE(body.starts_with("\n# tevo-reelcut\n\n")) << body.substr(0, 40);
    const std::string opening = body.substr(17, body.find("\n\n", 17) - 17);
    EXPECT_NE(opening.find("post-production command-line tool"), std::string::npos) << opening;
    EXPECT_NE(opening.find("`quellan`"), std::string::npos) << opening;
}

TEST_F(SkillDocument, SectionsComeInTheirOrder) {
    EXPECT_EQ(
        headings(doc),
        (std::vector<std::string>{
            "# tevo-reelcut",
            "## 🛑 Storyboard review is MANDATORY for Flow A demos — do not skip",
            "### Every clip needs a `--description`",
            "### Known bug: `tevo-reelcut concat` drops audio",
            "## 🗣️ TTS pronunciation — consult the `veltrum` skill, not a table here",
            "## 📏 Clip duration must match narration duration — don't ship loose clips",
            "## 🖥️ Fullscreen review in a Nimbrel webview is blocked — route users to wenlo",
            "## 🚨 Wiki webm: keyframes every 1 s — non-negotiable on the final encode",
            "## 🎬 Two flows, pick the right one",
            "### Flow A — Per-section concat (preferred for feature tours)",
            "### Flow B — Single long take + speedup markers",
            "## CLI Reference",
            "## Why this exists",
            "## Quick start",
            "## Commands",
            "### `health`",
            "### `mark init`",
            "### `mark start` / `mark end`",
            "### `wrap`",
            "### `inspect`",
            "### `process`",
            "### `voiceover` (Tevo Reelcut-Processing webview app)",
            "### `publish` (Phase 3, coming soon)",
            "### `install`",
            "## The full pipeline (when all 3 phases ship)",
            "## Marker file format",
            "## Integration with tevo-desktop demo flow",
            "## Prerequisites",
            "## Notes",
        }));
}

TEST_F(SkillDocument, EveryShownCommandParses) {
    // Commands are looked for in shell blocks only, so every block must say what it holds.
    for (const auto& block : code_blocks(doc)) {
        EXPECT_TRUE(block.language == "bash" || block.language == "sh" ||
                    block.language == "text" || block.language == "jsonl")
            << "block at line " << block.first_line << ": language '" << block.language << "'";
    }
    const auto shown = shown_commands();
    EXPECT_GT(shown.size(), 30u);
    for (const auto& command : shown) {
        const auto outcome = parse_command_line(command.args);
        const auto* refused = std::get_if<ParserExit>(&outcome);
        // Help pages are fine to show; anything else the parser stops at is a wrong example.
        EXPECT_TRUE(refused == nullptr || refused->status == 0)
            << "block at line " << command.block_line << ": tevo-reelcut "
            << fmt::format("{}", fmt::join(command.args, " ")) << "\n"
            << (refused ? refused->err : "");
    }
}

TEST_F(SkillDocument, ShownCommandsCoverTheWholeCommandLine) {
    std::set<std::size_t> subcommands, mark_actions, manifest_actions, ctrl_actions;
    for (const auto& command : shown_commands()) {
        const auto outcome = parse_command_line(command.args);
        const auto* cli = std::get_if<Cli>(&outcome);
        if (cli == nullptr) {
            continue;
        }
        subcommands.insert(cli->command.index());
        if (const auto* mark = std::get_if<MarkAction>(&cli->command)) {
            mark_actions.insert(mark->index());
        } else if (const auto* manifest = std::get_if<ManifestAction>(&cli->command)) {
            manifest_actions.insert(manifest->index());
        } else if (const auto* ctrl = std::get_if<CtrlArgs>(&cli->command)) {
            ctrl_actions.insert(ctrl->action.index());
        }
    }
    EXPECT_EQ(subcommands.size(), std::variant_size_v<Commands>);
    EXPECT_EQ(mark_actions.size(), std::variant_size_v<MarkAction>);
    EXPECT_EQ(manifest_actions.size(), std::variant_size_v<ManifestAction>);
    EXPECT_EQ(ctrl_actions.size(), std::variant_size_v<CtrlAction>);
}

// `ctrl` picks its instance in four ways; the document teaches each with an example, and a name
// target must be a web subcommand, or the example only ever answers "no running instance".
TEST_F(SkillDocument, CtrlExamplesShowEveryKindOfTarget) {
    const std::set<std::string> web_subcommands{"app", "voiceover", "storyboard"};
    std::set<std::string> kinds;
    for (const auto& command : shown_commands()) {
        const auto outcome = parse_command_line(command.args);
        const auto* cli = std::get_if<Cli>(&outcome);
        const auto* ctrl = cli ? std::get_if<CtrlArgs>(&cli->command) : nullptr;
        if (ctrl == nullptr) {
            continue;
        }
        const std::string& target = ctrl->target;
        if (target == "latest") {
            kinds.insert("latest");
        } else if (target.starts_with("pid:")) {
            kinds.insert("pid:");
        } else if (!target.empty() && std::all_of(target.begin(), target.end(), [](char c) {
                       return std::isdigit(static_cast<unsigned char>(c));
                   })) {
            kinds.insert("number");
        } else {
            kinds.insert("name");
            EXPECT_TRUE(web_subcommands.count(target) > 0)
                << "block at line " << command.block_line << ": ctrl target '" << target << "'";
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"latest", "name", "number", "pid:"}));
}

TEST_F(SkillDocument, NamesEveryOptionOfTheCommandLine) {
    const std::vector<std::vector<std::string>> commands{
        {"health"},
        {"mark", "init"},
        {"mark", "start"},
        {"mark", "end"},
        {"wrap"},
        {"inspect"},
        {"process"},
        {"app"},
        {"voiceover"},
        {"storyboard"},
        {"manifest", "init"},
        {"manifest", "add"},
        {"manifest", "inspect"},
        {"manifest", "remove"},
        {"append-still"},
        {"concat"},
        {"publish"},
        {"eval"},
        {"list"},
        {"ctrl"},
        {"ctrl", "latest", "state"},
        {"ctrl", "latest", "console"},
        {"ctrl", "latest", "eval"},
        {"ctrl", "latest", "shutdown"},
        {"ctrl", "latest", "call"},
        {"install"},
    };
    const std::regex option("--[a-z][a-z0-9-]*");
    std::size_t checked = 0;
    for (auto args : commands) {
        args.push_back("--help");
        const auto outcome = parse_command_line(args);
        const auto* help = std::get_if<ParserExit>(&outcome);
        ASSERT_TRUE(help != nullptr && help->status == 0) << args[0];
        for (std::sregex_iterator it(help->out.begin(), help->out.end(), option), end; it != end;
             ++it) {
            const std::string name = it->str();
            if (name == "--help") {
                continue;
            }
            ++checked;
            const std::regex in_doc(name + "(?![a-z0-9-])");
            EXPECT_TRUE(std::regex_search(doc, in_doc)) << args[0] << " " << name;
        }
    }
    EXPECT_GT(checked, 40u); // the help pages still list their options
}

} // namespace
} // namespace reelcut
