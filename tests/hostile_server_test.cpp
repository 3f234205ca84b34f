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
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/hostile.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"
#include "system/format.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

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
    test::Process client(c.program,
                         {"127.0.0.1", std::to_string(server.port()), output, std::to_string(c.file_size)});

    std::uint64_t broken_sent = 0;
    ASSERT_NO_FATAL_FAILURE(test::serve_hostile(server, client, c.file_size, broken_sent));
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
