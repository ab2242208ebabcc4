#include "storyboard/poster_renders.hpp"

#include "ffmpeg/finishing.hpp"
#include "file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {
namespace {

constexpr std::string_view kSpawnFailure = "ffmpeg spawn failed: ";

Status make_poster_in_place(const std::string& video, const std::string& partial,
                            const std::string& poster) {
    // What a server killed while making a poster here left behind; those of servers still
    // running are theirs to finish.
    remove_abandoned_scratch(std::string(split_path(poster).parent));
    return rename_into_place(partial, poster, make_poster(video, partial));
}

} // namespace

PosterRenders::VideoStamp PosterRenders::stamp_of(const std::string& video) {
    struct stat st {};
    if (::stat(video.c_str(), &st) != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::int64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

PosterOutcome PosterRenders::render(const std::string& video, const std::string& poster,
                                    const std::function<bool()>& caller_gone) {
    // Taken before the run: a video that changes while ffmpeg reads it gets a fresh try.
    const VideoStamp stamp = stamp_of(video);
    const auto deadline = std::chrono::steady_clock::now() + limits_.wait_limit;
    std::unique_lock lock(mutex_);
    while (true) {
        auto known = posters_.find(poster);
        if (known != posters_.end() && !known->second.running) {
            if (known->second.stamp == stamp) {
                return {PosterOutcome::Kind::failed, known->second.failure};
            }
            posters_.erase(known); // the video changed since it failed
            known = posters_.end();
        }
        if (known == posters_.end()) {
            if (path_exists(poster)) {
                return {}; // made meanwhile, here or by another server
            }
            if (!finished_ && running_ < limits_.max_encodes) {
                break;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (finished_ || now >= deadline) {
            return {PosterOutcome::Kind::busy, {}};
        }
        changed_.wait_until(lock, std::min(deadline, now + limits_.gone_check));
        lock.unlock(); // the caller's check is none of this lock's business
        const bool gone = caller_gone();
        lock.lock();
        if (gone) {
            return {PosterOutcome::Kind::caller_gone, {}};
        }
    }

    Poster& run = posters_[poster];
    run = Poster{true, stamp, partial_path_beside(poster), {}};
    const std::string partial = run.partial;
    ++running_;
    lock.unlock();
    Status made = make_poster_in_place(video, partial, poster);
    lock.lock();
    --running_;
    const bool remembered = !made && stamp.size >= 0 && !made.error().starts_with(kSpawnFailure);
    if (remembered) {
        Poster& failed = posters_.at(poster);
        failed.running = false;
        failed.partial.clear();
        failed.failure = made.error();
    } else {
        posters_.erase(poster);
    }
    lock.unlock();
    changed_.notify_all();
    if (!made) {
        return {PosterOutcome::Kind::failed, made.error()};
    }
    return {};
}

void PosterRenders::finish(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    finished_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, limit, [&] { return running_ == 0; });
    for (const auto& [poster, state] : posters_) {
        if (state.running) {
            ::unlink(state.partial.c_str());
        }
    }
}

} // namespace reelcut
