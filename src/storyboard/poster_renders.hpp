// The poster frames one storyboard server makes on first use. Any local process can ask for a
// poster as often as it likes, so what it can start is bounded:
// - one ffmpeg run per poster at a time: concurrent requests for it wait for that run and share
//   its outcome;
// - a failed run is remembered for the life of the server and answered again at once, until the
//   video changes (device, inode, size or modification time). A failure to start ffmpeg is not
//   the clip's fault and is not remembered;
// - at most `max_encodes` runs at once; requests for other posters wait for a free slot.
// A request waits at most `wait_limit`, and gives up as soon as its client has gone.
// ffmpeg writes "<poster stem>.partial-<pid>-<n>.jpg", renamed onto the poster when complete, so a
// reader never sees a poster being written; one left by a server that was killed meanwhile is
// removed by the next run of that poster. Thread-safe: one value per server, used by every
// request thread.
#pragma once

#include "result.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace reelcut {

struct PosterRenderLimits {
    std::size_t max_encodes = 3;
    std::chrono::milliseconds wait_limit{60'000};
    // How often a waiting request looks whether its client is still there.
    std::chrono::milliseconds gone_check{250};
};

struct PosterOutcome {
    enum class Kind {
        ready,       // the poster file is there
        failed,      // `error` is the run's message (this request's or a remembered one)
        busy,        // the wait limit passed before a run could finish
        caller_gone, // the client left while waiting; nobody to answer
    };
    Kind kind = Kind::ready;
    std::string error;
};

class PosterRenders {
  public:
    explicit PosterRenders(PosterRenderLimits limits = {}) : limits_(limits) {}

    // Makes `poster` from `video` unless it exists, within the bounds above. `caller_gone` is
    // asked while waiting.
    PosterOutcome render(const std::string& video, const std::string& poster,
                         const std::function<bool()>& caller_gone);

    // At shutdown: waits up to `limit` for the runs in flight, then removes the partial files of
    // those still running (the process is about to end without them); later requests are
    // answered busy.
    void finish(std::chrono::milliseconds limit);

  private:
    // What identifies one version of the video file.
    struct VideoStamp {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = -1;
        std::int64_t mtime_seconds = 0;
        std::int64_t mtime_nanoseconds = 0;
        bool operator==(const VideoStamp&) const = default;
    };
    struct Poster {
        bool running = false;
        VideoStamp stamp;    // of the video the run started from
        std::string partial; // while running
        std::string failure; // once failed
    };

    static VideoStamp stamp_of(const std::string& video);

    const PosterRenderLimits limits_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Poster> posters_; // by poster path: running, or failed
    std::size_t running_ = 0;
    bool finished_ = false;
};

} // namespace reelcut
