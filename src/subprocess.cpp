#include "subprocess.hpp"

#include "unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace reelcut {
namespace {

struct Pipe {
    UniqueFd read, write;
};

// The children started and not yet reaped. A pid stays here until its thread has seen it end but
// before it reaps it, so a pid signalled from here is always still ours, never a stranger's that
// reused the number.
struct Children {
    std::mutex lock;
    std::condition_variable gone;
    std::set<pid_t> running;
    bool stopped = false;
};

Children& children() {
    // Never destroyed: request threads may still wait for their children while the process exits.
    static auto* all = new Children;
    return *all;
}

// Close-on-exec from birth: a pipe made here must never reach a child spawned concurrently by
// another thread, or that child would keep our reader from ever seeing end of file.
Result<Pipe> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return fail(os_error_text(errno));
    }
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::string_view env_name(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

// The parent's environment with the options applied; a name both unset and set ends up set.
std::vector<std::string> child_environment(const SpawnOptions& options) {
    auto overridden = [&](std::string_view name) {
        return std::find(options.unset_env.begin(), options.unset_env.end(), name) !=
                   options.unset_env.end() ||
               std::any_of(options.set_env.begin(), options.set_env.end(),
                           [&](const auto& kv) { return kv.first == name; });
    };
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!overridden(env_name(*entry))) {
            env.emplace_back(*entry);
        }
    }
    for (const auto& [name, value] : options.set_env) {
        // A later setting of the same name wins.
        std::erase_if(env, [&, &name = name](const std::string& e) { return env_name(e) == name; });
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> ptrs;
    ptrs.reserve(strings.size() + 1);
    for (auto& s : strings) {
        ptrs.push_back(s.data());
    }
    ptrs.push_back(nullptr);
    return ptrs;
}

// The child's PATH when the options change it; posix_spawnp would search the parent's.
std::optional<std::string> overridden_path(const SpawnOptions& options) {
    std::optional<std::string> path;
    bool touched = false;
    if (std::find(options.unset_env.begin(), options.unset_env.end(), "PATH") !=
        options.unset_env.end()) {
        touched = true;
    }
    for (const auto& [name, value] : options.set_env) {
        if (name == "PATH") {
            path = value;
            touched = true;
        }
    }
    if (touched && !path) {
        path = "/bin:/usr/bin"; // what glibc searches without PATH
    }
    return path;
}

// Searches `search_path` the way execvp does: a missing entry moves on, a permission error is
// remembered and reported only when nothing else is found.
int spawn_on_path(pid_t* pid, const std::string& program, const std::string& search_path,
                  const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr,
                  char* const argv[], char* const envp[]) {
    bool denied = false;
    std::string_view rest = search_path;
    while (true) {
        const size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        const int rc = ::posix_spawn(pid, candidate.c_str(), actions, attr, argv, envp);
        if (rc == 0) {
            return 0;
        }
        if (rc == EACCES) {
            denied = true;
        } else if (rc != ENOENT && rc != ENOTDIR && rc != ESTALE && rc != ENODEV &&
                   rc != ETIMEDOUT) {
            return rc;
        }
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
    }
    return denied ? EACCES : ENOENT;
}

// Starts the child; `actions` already holds the caller's redirections. Returns the pid or the
// system's error text.
Result<pid_t> spawn(const std::string& program, const std::vector<std::string>& args,
                    const SpawnOptions& options, posix_spawn_file_actions_t* actions) {
    if (options.cwd) {
        if (const int rc = ::posix_spawn_file_actions_addchdir_np(actions, options.cwd->c_str());
            rc != 0) {
            return fail(os_error_text(rc));
        }
    }

    // Children start with default signal handling and an empty mask: the SIGPIPE that this
    // process ignores, or a mask a server thread set up, would otherwise pass to every tool.
    posix_spawnattr_t attr;
    ::posix_spawnattr_init(&attr);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setsigmask(&attr, &empty);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argv_strings;
    argv_strings.reserve(args.size() + 1);
    argv_strings.push_back(program);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    auto argv = pointers_to(argv_strings);
    auto env_strings = child_environment(options);
    auto envp = pointers_to(env_strings);

    pid_t pid = -1;
    int rc = 0;
    const auto path = overridden_path(options);
    // Held across the start, so that stop_children either sees the child or keeps it from starting.
    Children& all = children();
    std::lock_guard registered(all.lock);
    const bool refused = all.stopped;
    if (refused) {
        rc = 0; // nothing started
    } else if (program.find('/') != std::string::npos) {
        rc = ::posix_spawn(&pid, program.c_str(), actions, &attr, argv.data(), envp.data());
    } else if (program.empty()) {
        rc = ENOENT;
    } else if (path) {
        rc = spawn_on_path(&pid, program, *path, actions, &attr, argv.data(), envp.data());
    } else {
        rc = ::posix_spawnp(&pid, program.c_str(), actions, &attr, argv.data(), envp.data());
    }
    ::posix_spawnattr_destroy(&attr);
    if (refused) {
        return fail("shutting down: no new programs are started");
    }
    if (rc != 0) {
        return fail(os_error_text(rc));
    }
    all.running.insert(pid);
    return pid;
}

ExitStatus wait_for(pid_t pid) {
    // Seen to end first, reaped after it has left the registry.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    {
        Children& all = children();
        std::lock_guard registered(all.lock);
        all.running.erase(pid);
    }
    children().gone.notify_all();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return {}; // reaped elsewhere: nothing to report but failure
        }
    }
    ExitStatus result;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

class FileActions {
  public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

// Reads what is there; false once the stream has ended or failed.
bool drain_once(int fd, const OutputSink& sink) {
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            sink(std::string_view(buf, static_cast<size_t>(n)));
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

// Feeds the child's input and drains both outputs at once, so neither side ever waits on a
// full pipe that the other is not emptying. Past `deadline` the child is killed; whether it was.
bool exchange(pid_t pid, std::optional<std::chrono::steady_clock::time_point> deadline,
              UniqueFd& in, UniqueFd& out, UniqueFd& err, std::string_view input,
              const OutputSink& on_out, const OutputSink& on_err) {
    size_t written = 0;
    bool killed = false;
    if (in.open() && input.empty()) {
        in.reset();
    }
    while (out.open() || err.open() || in.open()) {
        pollfd fds[3];
        UniqueFd* owners[3];
        nfds_t count = 0;
        for (UniqueFd* fd : {&out, &err}) {
            if (fd->open()) {
                fds[count] = {fd->get(), POLLIN, 0};
                owners[count++] = fd;
            }
        }
        if (in.open()) {
            fds[count] = {in.get(), POLLOUT, 0};
            owners[count++] = &in;
        }
        int wait_ms = -1;
        if (deadline && !killed) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // Not reaped yet, so the pid is still this child's.
                ::kill(pid, SIGKILL);
                killed = true;
            } else {
                wait_ms = static_cast<int>(
                    std::min<std::chrono::milliseconds::rep>(left.count(), 60'000));
            }
        }
        const int ready = ::poll(fds, count, wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // cannot wait any more; closing our ends lets the child finish
        }
        if (ready == 0) {
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            UniqueFd& fd = *owners[i];
            if (&fd == &in) {
                const ssize_t n = ::write(fd.get(), input.data() + written, input.size() - written);
                if (n > 0) {
                    written += static_cast<size_t>(n);
                    if (written == input.size()) {
                        fd.reset(); // end of input for the child
                    }
                } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    fd.reset(); // EPIPE: the child stopped reading, which is its right
                }
            } else {
                if (!drain_once(fd.get(), &fd == &out ? on_out : on_err)) {
                    fd.reset();
                }
            }
        }
    }
    in.reset();
    out.reset();
    err.reset();
    return killed;
}

// Both outputs piped to the sinks. Standard input is the parent's, unless `feed_input` asks for
// `options.stdin_data` (nothing: /dev/null).
Result<ExitStatus> run_piped(const std::string& program, const std::vector<std::string>& args,
                             const SpawnOptions& options, bool feed_input, const OutputSink& on_out,
                             const OutputSink& on_err) {
    auto out = make_pipe();
    if (!out) {
        return fail(out.error());
    }
    auto err = make_pipe();
    if (!err) {
        return fail(err.error());
    }
    Pipe in;
    FileActions actions;
    if (feed_input && options.stdin_data.empty()) {
        ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    } else if (feed_input) {
        auto made = make_pipe();
        if (!made) {
            return fail(made.error());
        }
        in = std::move(*made);
        // Only our end is non-blocking: a partial write must not stall the output drain.
        ::fcntl(in.write.get(), F_SETFL, ::fcntl(in.write.get(), F_GETFL) | O_NONBLOCK);
        ::posix_spawn_file_actions_adddup2(actions.get(), in.read.get(), 0);
    }
    ::posix_spawn_file_actions_adddup2(actions.get(), out->write.get(), 1);
    ::posix_spawn_file_actions_adddup2(actions.get(), err->write.get(), 2);

    auto pid = spawn(program, args, options, actions.get());
    if (!pid) {
        return fail(pid.error());
    }
    // The child holds its own copies; ours would keep the pipes from ever reaching end of file.
    in.read.reset();
    out->write.reset();
    err->write.reset();

    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (options.time_limit) {
        deadline = std::chrono::steady_clock::now() + *options.time_limit;
    }
    const bool killed =
        exchange(*pid, deadline, in.write, out->read, err->read,
                 feed_input ? options.stdin_data : std::string_view(), on_out, on_err);
    ExitStatus status = wait_for(*pid);
    status.timed_out = killed;
    return status;
}

} // namespace

std::string overrun_message(std::string_view program, std::chrono::milliseconds limit) {
    const auto seconds = std::chrono::duration<double>(limit).count();
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return std::string(program) + " ran past its time limit of " + text + " s and was stopped";
}

void stop_children(std::chrono::milliseconds grace) {
    Children& all = children();
    std::unique_lock registered(all.lock);
    all.stopped = true;
    for (const pid_t pid : all.running) {
        ::kill(pid, SIGTERM);
    }
    if (all.gone.wait_for(registered, grace, [&] { return all.running.empty(); })) {
        return;
    }
    for (const pid_t pid : all.running) {
        ::kill(pid, SIGKILL);
    }
    all.gone.wait_for(registered, std::chrono::seconds(1), [&] { return all.running.empty(); });
}

bool children_stopped() {
    Children& all = children();
    std::lock_guard registered(all.lock);
    return all.stopped;
}

Result<CapturedOutput> run_captured(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const SpawnOptions& options) {
    CapturedOutput captured;
    auto status = run_piped(
        program, args, options, true, [&](std::string_view chunk) { captured.out.append(chunk); },
        [&](std::string_view chunk) { captured.err.append(chunk); });
    if (!status) {
        return fail(status.error());
    }
    captured.status = *status;
    return captured;
}

Result<ExitStatus> run_streaming(const std::string& program, const std::vector<std::string>& args,
                                 const OutputSink& on_out, const OutputSink& on_err,
                                 const SpawnOptions& options) {
    return run_piped(program, args, options, false, on_out, on_err);
}

Result<ExitStatus> run_inherited(const std::string& program, const std::vector<std::string>& args,
                                 const SpawnOptions& options) {
    FileActions actions;
    auto pid = spawn(program, args, options, actions.get());
    if (!pid) {
        return fail(pid.error());
    }
    return wait_for(*pid);
}

} // namespace reelcut
