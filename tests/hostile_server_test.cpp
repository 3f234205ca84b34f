// The real client against a server that answers each request with broken replies of
// every kind before, and between, the correct ones.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "net/format.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

// Replies the client must refuse when it asked for the chunk at `start`.
class HostileReplies {
public:
    explicit HostileReplies(std::uint64_t file_size)
        : file_size(file_size), chunks((file_size + 999) / 1000) {}

    std::size_t kinds() const { return 10; }

    std::string make(std::size_t kind, std::uint64_t start) {
        const std::uint64_t length = std::min<std::uint64_t>(1000, file_size - start);
        const std::uint64_t past_end = chunks * 1000;
        switch (kind) {
        case 0:
            return garbage();
        case 1:  // truncated: the datagram ends inside the payload
            return test::data_reply(start, length)
                .substr(0, format("DATA {} {}\n", start, length).size() + length / 2);
        case 2:  // start not on a chunk boundary, length right for it
            return test::data_reply(start + 500, std::min<std::uint64_t>(1000, file_size - (start + 500)));
        case 3:  // one byte too many
            return test::data_reply(start, length + 1);
        case 4:  // one byte too few
            return test::data_reply(start, length - 1);
        case 5:  // just past the last chunk; the unsigned length rule lets it through
            return test::data_reply(past_end, std::min<std::uint64_t>(1000, file_size - past_end));
        case 6:  // far past the end, near the top of the 64-bit range
            return format("DATA {} 1000\n", 18446744073709551000ULL) + std::string(1000, 'Z');
        case 7:
            return format("data {} {}\n", start, length) + test::served_bytes(start, length);
        case 8:
            return format("DATA {} x{}\n", start, length) + test::served_bytes(start, length);
        default:
            return "";
        }
    }

private:
    std::string garbage() {
        std::uniform_int_distribution<std::size_t> size(0, 1500);
        std::uniform_int_distribution<int> byte(0, 255);
        std::string bytes(size(random), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(byte(random));
        }
        return bytes;
    }

    std::uint64_t file_size;
    std::uint64_t chunks;
    std::mt19937 random{7};
};

// The number of taken chunks behind each progress line; fails on a line that no count gives.
std::vector<std::uint64_t> taken_counts(const std::string& out, std::uint64_t chunks) {
    std::vector<std::uint64_t> counts;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const double percent = std::stod(line);
        const auto count =
            static_cast<std::uint64_t>(std::llround(percent * static_cast<double>(chunks) / 100.0));
        EXPECT_EQ(line,
                  format("{:.3f}% done", static_cast<double>(count) * 100.0 / static_cast<double>(chunks)));
        counts.push_back(count);
    }
    return counts;
}

struct Case {
    const char* name;
    const char* program;
    std::uint64_t file_size;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name << ", " << c.file_size << " bytes";
}

class HostileServer : public ::testing::TestWithParam<Case> {};

TEST_P(HostileServer, ClientTakesOnlyGoodChunksAndWritesTheExactFile) {
    const Case& c = GetParam();
    const std::uint64_t chunks = (c.file_size + 999) / 1000;
    const std::string output =
        (std::filesystem::temp_directory_path() / format("drovik-hostile-{}-{}", c.name, getpid())).string();
    test::UdpSocket server;
    HostileReplies hostile(c.file_size);
    test::Process client(c.program,
                         {"127.0.0.1", std::to_string(server.port()), output, std::to_string(c.file_size)});

    // Each chunk's first two requests get only a broken reply, later ones a broken reply
    // and the correct one twice. The first chunk is held back two rounds longer, so that
    // the fast client holds later chunks out of order while their duplicates arrive.
    std::map<std::uint64_t, std::size_t> asked;
    std::uint64_t broken_sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (client.running() && std::chrono::steady_clock::now() < deadline) {
        const std::optional<test::UdpSocket::Datagram> datagram = server.receive(20ms);
        if (!datagram) {
            continue;
        }
        const auto get = test::parse_get(datagram->bytes);
        ASSERT_TRUE(get) << "not a request: " << datagram->bytes;
        const auto [start, length] = *get;
        ASSERT_EQ(start % 1000, 0u);
        ASSERT_LT(start, c.file_size);
        ASSERT_EQ(length, std::min<std::uint64_t>(1000, c.file_size - start));
        const std::size_t round = asked[start / 1000]++;
        server.send_to(datagram->sender, hostile.make((round + start / 1000) % hostile.kinds(), start));
        ++broken_sent;
        if (round >= (start == 0 ? 4U : 2U)) {
            server.send_to(datagram->sender, test::data_reply(start, length));
            server.send_to(datagram->sender, test::data_reply(start, length));
        }
    }
    ASSERT_EQ(client.wait_exit(0ms), 0) << client.err();
    EXPECT_EQ(client.err(), "");

    const std::vector<std::uint64_t> counts = taken_counts(client.out(), chunks);
    ASSERT_FALSE(counts.empty());
    for (std::size_t k = 1; k < counts.size(); ++k) {
        EXPECT_LT(counts[k - 1], counts[k]) << "line " << k + 1;
    }
    EXPECT_EQ(counts.back(), chunks) << "the last line must count every chunk once";

    std::ifstream in(output, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(output);
    EXPECT_EQ(written.size(), c.file_size);
    EXPECT_TRUE(written == test::served_bytes(0, c.file_size))
        << "the output file differs from the served bytes";
    std::printf("%s: %llu broken replies sent, %zu progress lines\n", c.name,
                static_cast<unsigned long long>(broken_sent), counts.size());
}

INSTANTIATE_TEST_SUITE_P(Builds, HostileServer,
                         ::testing::Values(Case{"fast", DROVIK_CLIENT_FAST_BIN, 24321},
                                           Case{"fast_whole_chunks", DROVIK_CLIENT_FAST_BIN, 30000},
                                           Case{"slow", DROVIK_CLIENT_SLOW_BIN, 4001}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drovik
