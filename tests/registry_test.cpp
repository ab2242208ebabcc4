// The instance registry: what a server writes and what the control client reads back.
#include "ctrl/instances.hpp"
#include "support/test_support.hpp"
#include "webapp/registry.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

using namespace reelcut;
using namespace reelcut::testing;
namespace fs = std::filesystem;

namespace {

// A pid that certainly names no running process: a child that has exited and been reaped.
std::uint32_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return static_cast<std::uint32_t>(child);
}

std::uint32_t own_pid() {
    return static_cast<std::uint32_t>(::getpid());
}

struct RegistryHome {
    TempDir home;
    EnvGuard guard{"HOME"};
    fs::path dir = home.path() / ".tevo/tevo-reelcut/instances";
    RegistryHome() { ::setenv("HOME", home.path().c_str(), 1); }
    void put(const std::string& name, const std::string& content) {
        fs::create_directories(dir);
        write_file(dir / name, content);
    }
};

} // namespace

TEST(Registry, RegisterWritesCompactRecordThatReadsBack) {
    RegistryHome env;
    InstanceInfo info{"storyboard", "Demo \"final\" \\ cut — är", own_pid(), 4321};
    auto path = register_instance(info);
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, env.dir / (std::to_string(own_pid()) + ".json"));

    const std::string text = read_file(*path);
    const std::string prefix = "{\"pid\":" + std::to_string(own_pid()) +
                               ",\"port\":4321,\"subcommand\":\"storyboard\","
                               "\"title\":\"Demo \\\"final\\\" \\\\ cut — är\",\"startedAt\":";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_NE(text.back(), '\n');
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed["cwd"], fs::current_path().string());

    auto listed = list_instances();
    ASSERT_TRUE(listed) << listed.error();
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ((*listed)[0].title, info.title);
    EXPECT_EQ((*listed)[0].subcommand, "storyboard");
    EXPECT_EQ((*listed)[0].port, 4321);
    EXPECT_EQ((*listed)[0].pid, own_pid());
    EXPECT_GT((*listed)[0].started_at, 1700000000u);

    unregister_instance(*path);
    EXPECT_FALSE(fs::exists(*path));
    unregister_instance(*path); // already gone: silently nothing
}

TEST(Registry, HomeUnsetOrUnusable) {
    EnvGuard guard("HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(instances_dir().error(), "HOME not set");
    EXPECT_EQ(register_instance({"app", "t", own_pid(), 1}).error(), "HOME not set");
    EXPECT_EQ(list_instances().error(), "HOME not set");
    ::setenv("HOME", "/tmp/\xff", 1);
    EXPECT_EQ(list_instances().error(), "HOME not set");
    ::setenv("HOME", "", 1);
    EXPECT_EQ(instances_dir().value(), fs::path(".tevo/tevo-reelcut/instances"));
}

TEST(Registry, RegisterReportsDirectoryAndWriteFailures) {
    RegistryHome env;
    write_file(env.home.path() / ".tevo", "a file where a directory belongs");
    auto result = register_instance({"app", "t", own_pid(), 1});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().rfind("mkdir " + env.dir.string() + ": ", 0), 0u) << result.error();

    fs::remove(env.home.path() / ".tevo");
    fs::create_directories(env.dir / (std::to_string(own_pid()) + ".json"));
    result = register_instance({"app", "t", own_pid(), 1});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "write " +
                                  (env.dir / (std::to_string(own_pid()) + ".json")).string() +
                                  ": Is a directory (os error 21)");
}

TEST(Registry, MissingDirectoryIsAnEmptyList) {
    RegistryHome env;
    auto listed = list_instances();
    ASSERT_TRUE(listed) << listed.error();
    EXPECT_TRUE(listed->empty());
}

TEST(Registry, ScanPrunesOnlyDeadEntriesAndSkipsUnusableOnes) {
    RegistryHome env;
    const std::string live = std::to_string(own_pid());
    const std::string dead = std::to_string(dead_pid());
    // Kept and never listed: not a registry file, or no usable pid.
    const std::vector<std::pair<std::string, std::string>> kept = {
        {"notes.txt", "{\"pid\":" + live + "}"},
        {"upper.JSON", "{\"pid\":" + dead + "}"},
        {"zero.json", "{\"pid\":0}"},
        {"negative.json", "{\"pid\":-5}"},
        {"fraction.json", "{\"pid\":" + live + ".5}"},
        {"string.json", "{\"pid\":\"" + live + "\"}"},
        {"missing.json", "{\"port\":1}"},
        {"garbage.json", "{\"pid\":"},
        {"array.json", "[" + live + "]"},
        {"latin1.json", "{\"pid\":" + live + ",\"title\":\"\xe9\"}"},
    };
    for (const auto& [name, content] : kept) {
        env.put(name, content);
    }
    fs::create_directories(env.dir / "sub.json");
    env.put(dead + ".json", "{\"pid\":" + dead + ",\"port\":9}");
    env.put("bare.json", "{\"pid\":" + live + "}");
    env.put("typed.json", "{\"pid\":" + live +
                              ",\"port\":70000,\"subcommand\":7,\"title\":null,\"startedAt\":-1}");

    auto listed = list_instances();
    ASSERT_TRUE(listed) << listed.error();
    ASSERT_EQ(listed->size(), 2u);
    for (const auto& record : *listed) {
        EXPECT_EQ(record.pid, own_pid());
        EXPECT_EQ(record.subcommand, "");
        EXPECT_EQ(record.title, "");
        EXPECT_EQ(record.started_at, 0u);
    }
    // 70000 keeps its low 16 bits.
    EXPECT_TRUE(((*listed)[0].port == 0 && (*listed)[1].port == 70000 - 65536) ||
                ((*listed)[1].port == 0 && (*listed)[0].port == 70000 - 65536));

    EXPECT_FALSE(fs::exists(env.dir / (dead + ".json")));
    for (const auto& [name, content] : kept) {
        EXPECT_TRUE(fs::exists(env.dir / name)) << name;
    }
    EXPECT_TRUE(fs::is_directory(env.dir / "sub.json"));
}

TEST(Registry, RecordsAreSortedByStartTime) {
    RegistryHome env;
    const std::string live = std::to_string(own_pid());
    for (const auto& [name, started] : std::vector<std::pair<std::string, int>>{
             {"a.json", 300}, {"b.json", 100}, {"c.json", 200}}) {
        env.put(name, "{\"pid\":" + live + ",\"title\":\"" + name +
                          "\",\"startedAt\":" + std::to_string(started) + "}");
    }
    auto listed = list_instances();
    ASSERT_TRUE(listed) << listed.error();
    ASSERT_EQ(listed->size(), 3u);
    EXPECT_EQ((*listed)[0].title, "b.json");
    EXPECT_EQ((*listed)[1].title, "c.json");
    EXPECT_EQ((*listed)[2].title, "a.json");
}
