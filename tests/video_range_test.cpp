// Ranged file answers, checked byte for byte over a real connection.
#include "support/raw_http.hpp"
#include "support/test_support.hpp"
#include "webapp/video.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace reelcut;
using namespace reelcut::testing;

namespace {

// Serves the file named by the request target (a path in the test's directory) as video/webm,
// and keeps the responder's outcome for the test.
struct RangeServer {
    TempDir dir;
    std::shared_ptr<Slot<std::string>> outcome = std::make_shared<Slot<std::string>>();
    LayerServer server{[dir = dir.path().string(), outcome = outcome](http::Request request) {
        const std::string path = dir + request.url();
        Status sent = serve_file_with_range(std::move(request), path, "video/webm");
        outcome->set(sent ? "ok" : sent.error());
    }};

    RawReply fetch(const std::string& target, const std::vector<std::string>& header_lines) {
        std::string request = "GET " + target + " HTTP/1.1\r\nHost: t\r\n";
        for (const std::string& line : header_lines) {
            request += line + "\r\n";
        }
        RawClient client(server.port());
        client.send(request + "\r\n");
        return client.read_reply();
    }
};

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + 7) % 256);
    }
    return bytes;
}

TEST(RangeResponse, AnswersOneRangeOrTheWholeFile) {
    RangeServer s;
    const std::string content = patterned(1000);
    write_file(s.dir / "clip.webm", content);

    struct Case {
        std::vector<std::string> headers;
        int status;
        std::uint64_t start; // of the bytes sent
        std::uint64_t end;   // inclusive
    };
    const std::vector<Case> cases = {
        {{}, 200, 0, 999},
        {{"range: bytes=0-99"}, 206, 0, 99},
        {{"Range: bytes=500-"}, 206, 500, 999},
        {{"Range: bytes=0-0"}, 206, 0, 0},
        {{"Range: bytes=999-999"}, 206, 999, 999},
        {{"Range: bytes=0-999"}, 206, 0, 999},
        {{"Range: bytes=10"}, 206, 10, 999},          // no "-": the end defaults
        {{"Range: bytes=10-20-30"}, 206, 10, 20},     // further pieces ignored
        {{"Range: bytes=0-99,200-299"}, 206, 0, 999}, // end "99,200" is no number
        {{"Range: bytes=10-x"}, 206, 10, 999},        // nor is "x"
        {{"Range: bytes=0-1000"}, 200, 0, 999},       // end past the file: not clipped
        {{"Range: bytes=1000-"}, 200, 0, 999},        // start past the file
        {{"Range: bytes=5-3"}, 200, 0, 999},          // start after end
        {{"Range: bytes=-500"}, 200, 0, 999},         // suffix ranges are not supported
        {{"Range: Bytes=0-9"}, 200, 0, 999},          // the unit is case-sensitive
        {{"Range: items=0-9"}, 200, 0, 999},
        {{"Range: bytes= 0-9"}, 200, 0, 999},                    // blanks are not digits
        {{"Range: bytes=18446744073709551616-"}, 200, 0, 999},   // does not fit 64 bits
        {{"Range: bytes=x-9", "Range: bytes=0-9"}, 200, 0, 999}, // only the first header counts
        {{"Range: bytes=0-9", "Range: bytes=x-9"}, 206, 0, 9},
        {{"Range: bytes=+5-+9"}, 206, 5, 9}, // a plus sign is allowed once
        {{"Range: bytes=++5-9"}, 200, 0, 999},
        {{"Range: bytes=-5-9"}, 200, 0, 999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers.empty() ? "no Range" : c.headers.front());
        const RawReply reply = s.fetch("/clip.webm", c.headers);
        ASSERT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Content-Type"), "video/webm");
        EXPECT_EQ(reply.header("Accept-Ranges"), "bytes");
        EXPECT_EQ(reply.header("Cache-Control"), "no-cache");
        const std::uint64_t length = c.end - c.start + 1;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(length));
        if (c.status == 206) {
            EXPECT_EQ(reply.header("Content-Range"),
                      "bytes " + std::to_string(c.start) + "-" + std::to_string(c.end) + "/1000");
        } else {
            EXPECT_FALSE(reply.header("Content-Range"));
        }
        EXPECT_EQ(reply.body, content.substr(c.start, length));
    }
}

TEST(RangeResponse, EmptyFileIsAlwaysWholeAndEmpty) {
    RangeServer s;
    write_file(s.dir / "empty.webm", "");
    for (const std::vector<std::string>& headers :
         {std::vector<std::string>{}, std::vector<std::string>{"Range: bytes=0-"}}) {
        const RawReply reply = s.fetch("/empty.webm", headers);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Content-Length"), "0");
        EXPECT_FALSE(reply.header("Content-Range"));
        EXPECT_EQ(reply.body, "");
    }
}

TEST(RangeResponse, RangeFarIntoALargeFileReadsOnlyThoseBytes) {
    RangeServer s;
    // A sparse 5 GiB file with a marker near its end: offsets past 32 bits must hold.
    const std::uint64_t size = 5ull << 30;
    const std::string path = s.dir / "long.webm";
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    const std::string marker = "seek target";
    ASSERT_EQ(::pwrite(fd, marker.data(), marker.size(), static_cast<off_t>(size - 100)),
              static_cast<ssize_t>(marker.size()));
    ::close(fd);

    const std::uint64_t start = size - 100;
    const RawReply reply = s.fetch("/long.webm", {"Range: bytes=" + std::to_string(start) + "-"});
    ASSERT_EQ(reply.status, 206);
    EXPECT_EQ(reply.header("Content-Range"), "bytes " + std::to_string(start) + "-" +
                                                 std::to_string(size - 1) + "/" +
                                                 std::to_string(size));
    EXPECT_EQ(reply.body, marker + std::string(100 - marker.size(), '\0'));
}

TEST(RangeResponse, UnreadableFileDropsTheRequestWithTheOpenError) {
    struct Case {
        const char* name;
        const char* cause;
    };
    // A directory opens but cannot be read, so it is refused before anything is promised.
    for (const Case& c : {Case{"missing.webm", "No such file or directory (os error 2)"},
                          Case{"folder", "Is a directory (os error 21)"}}) {
        SCOPED_TRACE(c.name);
        RangeServer s;
        std::filesystem::create_directory(s.dir.path() / "folder");
        const RawReply reply = s.fetch(std::string("/") + c.name, {"Range: bytes=0-9"});
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.body, "");
        EXPECT_EQ(s.outcome->wait(), "open " + (s.dir / c.name) + ": " + c.cause);
    }
}

} // namespace
