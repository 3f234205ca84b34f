#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/client.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"
#include "system/format.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

// The reply to chunk `index` of a `file_size`-byte file.
std::string chunk_reply(std::uint64_t file_size, std::uint64_t index) {
    const std::uint64_t start = index * 1000;
    return test::data_reply(start, std::min<std::uint64_t>(1000, file_size - start));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string temp_path() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = format("drovik-{}-{}.{}", test->name(), getpid(), std::rand());
    return (std::filesystem::temp_directory_path() / name).string();
}

// A server on loopback whose replies the test scripts.
class FakeServer {
public:
    std::uint16_t port() const { return socket.port(); }

    // The next request from the client, if one comes within `limit`.
    std::optional<std::string> poll_request(std::chrono::milliseconds limit) {
        std::optional<test::UdpSocket::Datagram> datagram = socket.receive(limit);
        if (!datagram) {
            return std::nullopt;
        }
        client = datagram->sender;
        return datagram->bytes;
    }

    // The next request from the client; fails the test when none comes.
    std::string next_request() {
        std::optional<std::string> request = poll_request(10s);
        if (!request) {
            throw std::runtime_error("the client sent no request within 10 s");
        }
        return *request;
    }

    // The chunk a GET asks for, or nothing when it is not a well-formed GET.
    static std::optional<std::uint64_t> chunk_of(const std::string& request) {
        const auto get = test::parse_get(request);
        if (!get || get->first % 1000 != 0) {
            return std::nullopt;
        }
        return get->first / 1000;
    }

    std::uint64_t next_requested_chunk() {
        const std::string request = next_request();
        const std::optional<std::uint64_t> chunk = chunk_of(request);
        if (!chunk) {
            throw std::runtime_error("malformed request: " + request);
        }
        return *chunk;
    }

    void send(const std::string& datagram) {
        if (!client) {
            throw std::logic_error("no request seen yet");
        }
        socket.send_to(*client, datagram);
    }

    // Sends `datagram` and returns once the client has surely drained it: two requests for
    // `missing` sent after it come from two passes, and the later one follows the drain that
    // took the datagram in.
    void deliver(const std::string& datagram, std::uint64_t missing) {
        while (socket.receive(0ms)) {
        }
        send(datagram);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (int seen = 0; seen < 2;) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error(format("chunk {} is no longer asked for", missing));
            }
            seen += next_requested_chunk() == missing ? 1 : 0;
        }
    }

    // The next chunk asked for, passing over requests for `stale`, which may still be on their way.
    std::uint64_t next_requested_chunk_after(std::uint64_t stale) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::uint64_t chunk = next_requested_chunk();
        while (chunk == stale) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error(format("chunk {} is still asked for", stale));
            }
            chunk = next_requested_chunk();
        }
        return chunk;
    }

    // Answers every request properly until `finished()`, at most `limit` long.
    bool serve_until(const std::function<bool()>& finished, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!finished()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            if (std::optional<test::UdpSocket::Datagram> datagram = socket.receive(20ms)) {
                if (const auto get = test::parse_get(datagram->bytes)) {
                    socket.send_to(datagram->sender, test::data_reply(get->first, get->second));
                }
            }
        }
        return true;
    }

private:
    test::UdpSocket socket;
    std::optional<sockaddr_in> client;
};

// `download_file` running in its own thread against a FakeServer.
class Download {
public:
    Download(FakeServer& server, std::uint64_t file_size, std::uint64_t window_size)
        : server(server), path(temp_path()) {
        thread = std::thread([this, file_size, window_size, port = server.port()] {
            try {
                Client client({"127.0.0.1", std::to_string(port), path, std::to_string(file_size)});
                try {
                    download_file(client, window_size, progress_stream);
                } catch (...) {
                    error = std::current_exception();
                }
                if (client.socket_fd > 0) {
                    close(client.socket_fd);
                }
            } catch (...) {
                error = std::current_exception();
            }
            done = true;
        });
    }

    ~Download() {
        if (thread.joinable()) {
            finish();
        }
        std::filesystem::remove(path);
    }

    // Lets the server answer everything until the download ends.
    void finish() {
        if (!server.serve_until([this] { return done.load(); }, 30s)) {
            // The thread cannot be left behind: nothing sensible remains but to stop here.
            std::fputs("download did not end within 30 s\n", stderr);
            std::abort();
        }
        thread.join();
    }

    // Only after finish().
    std::string progress() const { return progress_stream.str(); }
    std::string file() const { return read_file(path); }
    void rethrow_error() const {
        if (error) {
            std::rethrow_exception(error);
        }
    }

private:
    FakeServer& server;
    std::string path;
    std::ostringstream progress_stream;
    std::exception_ptr error;
    std::atomic<bool> done{false};
    std::thread thread;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(ChunkRequest, ExactText) {
    EXPECT_EQ(encode_chunk_request(1500, 0), "GET 0 1000\n");
    EXPECT_EQ(encode_chunk_request(1500, 1), "GET 1000 500\n");
    EXPECT_EQ(encode_chunk_request(1, 0), "GET 0 1\n");
    EXPECT_EQ(encode_chunk_request(2147483647, 2147483), "GET 2147483000 647\n");
    EXPECT_EQ(encode_chunk_request(2147483647, 2147482), "GET 2147482000 1000\n");
}

TEST(ChunkRequest, FailedCallsNameTheirCall) {
    try {
        send_chunk_request(-1, 1500, 0);
        ADD_FAILURE() << "a failed send must raise";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error while executing sendto: Bad file descriptor.");
    }
    try {
        get_datagram_as_chunk(-1, 1500);
        ADD_FAILURE() << "a failed receive must raise";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error while executing recvfrom: Bad file descriptor.");
    }
}

TEST(DownloadEngine, FirstPassAsksForEveryChunkThenAsksAgain) {
    struct Case {
        std::uint64_t file_size;
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {1, {"GET 0 1\n"}},
        {1000, {"GET 0 1000\n"}},
        {1001, {"GET 0 1000\n", "GET 1000 1\n"}},
        {1500, {"GET 0 1000\n", "GET 1000 500\n"}},
        {3000, {"GET 0 1000\n", "GET 1000 1000\n", "GET 2000 1000\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_size);
        FakeServer server;
        Download download(server, c.file_size, 1000);
        // Nothing answered: the second round repeats the first, in the same order.
        for (int round = 0; round < 2; ++round) {
            for (const std::string& expected : c.requests) {
                EXPECT_EQ(server.next_request(), expected);
            }
        }
        download.finish();
        EXPECT_NO_THROW(download.rethrow_error());
        EXPECT_EQ(download.file(), test::served_bytes(0, c.file_size));
        const std::vector<std::string> lines = lines_of(download.progress());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "100.000% done");
        EXPECT_LE(lines.size(), c.requests.size());
    }
}

TEST(DownloadEngine, WindowOfOneKeepsOneChunkOutstanding) {
    FakeServer server;
    Download download(server, 2500, 1);
    for (std::uint64_t chunk = 0; chunk < 3; ++chunk) {
        SCOPED_TRACE(chunk);
        ASSERT_EQ(chunk == 0 ? server.next_requested_chunk() : server.next_requested_chunk_after(chunk - 1),
                  chunk);
        // Until it is answered, this chunk and no other is asked for, again and again.
        for (int repeat = 0; repeat < 2; ++repeat) {
            ASSERT_EQ(server.next_requested_chunk(), chunk);
        }
        // A duplicate right behind the reply is a late reply by the time it is read.
        server.send(chunk_reply(2500, chunk));
        server.send(chunk_reply(2500, chunk));
    }
    download.finish();
    EXPECT_NO_THROW(download.rethrow_error());
    EXPECT_EQ(download.progress(), "33.333% done\n66.667% done\n100.000% done\n");
    EXPECT_EQ(download.file(), test::served_bytes(0, 2500));
}

TEST(DownloadEngine, WindowSlidesAndAsksForTheNewChunkAtOnce) {
    FakeServer server;
    Download download(server, 3500, 2);
    EXPECT_EQ(server.next_requested_chunk(), 0u);
    EXPECT_EQ(server.next_requested_chunk(), 1u);
    // Chunk 1 held out of order does not move the window.
    server.deliver(chunk_reply(3500, 1), 0);
    server.send(chunk_reply(3500, 0));
    // Chunks 0 and 1 written: 2 and 3 enter the window and are asked for in that order.
    EXPECT_EQ(server.next_requested_chunk_after(0), 2u);
    EXPECT_EQ(server.next_requested_chunk(), 3u);
    download.finish();
    EXPECT_NO_THROW(download.rethrow_error());
    EXPECT_EQ(download.file(), test::served_bytes(0, 3500));
    EXPECT_EQ(lines_of(download.progress()).back(), "100.000% done");
}

TEST(DownloadEngine, DuplicatesAndLateRepliesPrintNothing) {
    FakeServer server;
    Download download(server, 2500, 1000);
    for (std::uint64_t chunk = 0; chunk < 3; ++chunk) {
        ASSERT_EQ(server.next_requested_chunk(), chunk);
    }
    server.deliver(chunk_reply(2500, 2), 0);  // held out of order: 33.333
    server.deliver(chunk_reply(2500, 2), 0);  // duplicate of a held chunk
    server.deliver(chunk_reply(2500, 0), 1);  // chunk 0 written: 66.667
    server.deliver(chunk_reply(2500, 0), 1);  // late: already written
    server.deliver(chunk_reply(2500, 2), 1);
    server.send(chunk_reply(2500, 1));  // 100.000
    download.finish();
    EXPECT_NO_THROW(download.rethrow_error());
    EXPECT_EQ(download.progress(), "33.333% done\n66.667% done\n100.000% done\n");
    EXPECT_EQ(download.file(), test::served_bytes(0, 2500));
}

TEST(DownloadEngine, OutOfOrderRepliesAreWrittenInOrder) {
    const std::uint64_t file_size = 10500;
    FakeServer server;
    Download download(server, file_size, 1000);
    for (std::uint64_t chunk = 0; chunk < 11; ++chunk) {
        ASSERT_EQ(server.next_requested_chunk(), chunk);
    }
    for (std::uint64_t chunk = 11; chunk-- > 0;) {
        server.send(chunk_reply(file_size, chunk));
    }
    download.finish();
    EXPECT_NO_THROW(download.rethrow_error());
    EXPECT_EQ(download.file(), test::served_bytes(0, file_size));
    const std::vector<std::string> lines = lines_of(download.progress());
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 11u);
    EXPECT_EQ(lines.back(), "100.000% done");
}

TEST(DownloadEngine, BrokenAndTruncatedRepliesAreDropped) {
    const std::string junk(1000, 'X');
    const std::vector<std::string> broken = {
        "",
        "data 0 1000\n" + junk,
        "DATAX 0 1000\n" + junk,
        "DATA x 1000\n" + junk,
        "DATA 0 y\n" + junk,
        "DATA 0\n" + junk,
        "DATA 500 1000\n" + junk,
        "DATA 0 500\n" + junk.substr(0, 500),
        "DATA 0 1000" + junk,
        "DATA 0 1000\n" + junk.substr(0, 999),
        "DATA 0 1000\n",
        "DATA 2000 0\n",
        "DATA 3000 1000\n" + junk,
        "DATA 99999999999999999999999 1000\n" + junk,
    };
    FakeServer server;
    Download download(server, 2000, 1);
    ASSERT_EQ(server.next_requested_chunk(), 0u);
    for (std::size_t k = 0; k + 1 < broken.size(); ++k) {
        server.send(broken[k]);
    }
    // Chunk 0 is still asked for after all of them have been read.
    server.deliver(broken.back(), 0);
    server.send(chunk_reply(2000, 0));
    download.finish();
    EXPECT_NO_THROW(download.rethrow_error());
    EXPECT_EQ(download.progress(), "50.000% done\n100.000% done\n");
    EXPECT_EQ(download.file(), test::served_bytes(0, 2000));
}

// The real slow client against the fake server, writing to a full disk.
struct FullDiskRun {
    int status;
    std::string err;
    std::uint64_t last_chunk_asked;
};

FullDiskRun download_to_full_disk(std::uint64_t file_size) {
    FakeServer server;
    test::Process client(DROVIK_CLIENT_SLOW_BIN, {"127.0.0.1", std::to_string(server.port()), "/dev/full",
                                                  std::to_string(file_size)});
    // Every request is answered; the highest chunk asked for shows how far the client got.
    std::uint64_t last = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (client.running() && std::chrono::steady_clock::now() < deadline) {
        if (const std::optional<std::string> request = server.poll_request(20ms)) {
            if (const std::optional<std::uint64_t> chunk = FakeServer::chunk_of(*request)) {
                last = std::max(last, *chunk);
                server.send(chunk_reply(file_size, *chunk));
            }
        }
    }
    const std::optional<int> status = client.wait_exit(0ms);
    return {status.value_or(-1), client.err(), last};
}

TEST(DownloadEngine, FailedWritesAreReported) {
    // Small enough to sit in the stream's buffer until the close.
    const FullDiskRun small = download_to_full_disk(1500);
    EXPECT_EQ(small.status, 1);
    EXPECT_EQ(small.err, "Error while opening/writing to file\n");

    // Large enough to fail while chunks are still being written.
    const FullDiskRun large = download_to_full_disk(40000);
    EXPECT_EQ(large.status, 1);
    EXPECT_EQ(large.err, "Error while opening/writing to file\n");
    EXPECT_LT(large.last_chunk_asked, 39u);
}

TEST(DownloadEngine, NothingListeningOnThePortEndsTheClient) {
    // Loopback answers the first request with a refusal: the next wait reports it as an error
    // event, or, when requests go back to back, the next send fails with it.
    const std::string port = std::to_string(test::free_udp_port());
    for (const char* program : {DROVIK_CLIENT_FAST_BIN, DROVIK_CLIENT_SLOW_BIN}) {
        SCOPED_TRACE(program);
        const std::string path = temp_path();
        const test::RunResult result = test::run_program(program, {"127.0.0.1", port, path, "5000"}, 10s);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.err == "poll returned value different than POLLIN\n" ||
                    result.err == "Error while executing sendto: Connection refused.\n")
            << result.err;
        EXPECT_EQ(result.out, "");
        // The output file was created before the first request, and nothing was written to it.
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(read_file(path), "");
        std::filesystem::remove(path);
    }
}

}  // namespace
}  // namespace drovik
