// Faults from outside, with the real programs: the server frozen for a while in the
// middle of a download, and the client killed in the middle of one.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "support/loopback.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t FILE_SIZE = 600000;
// Far enough in to be under way, far enough from the end to be in the middle.
constexpr std::uint64_t MIDDLE = 60000;

using test::OutputFile;

// Waits, while the client runs, until its output file holds at least `bytes`.
bool file_reaches(test::Process& client, const OutputFile& file, std::uint64_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (client.running() && std::chrono::steady_clock::now() < deadline) {
        if (file.size() >= bytes) {
            return true;
        }
        // The file's size is the only sign of progress the client gives before it ends.
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(Faults, DownloadCompletesExactlyAfterTheServerWasFrozenForTwoSeconds) {
    test::RunningServer server = test::start_server();
    OutputFile file("drovik-frozen-server");
    test::Process client(DROVIK_CLIENT_FAST_BIN,
                         {"127.0.0.1", std::to_string(server.port), file.path, std::to_string(FILE_SIZE)});
    ASSERT_TRUE(file_reaches(client, file, MIDDLE));

    server.process->signal(SIGSTOP);
    const std::uint64_t written_when_frozen = file.size();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(client.running()) << "the client gave up or ended while the server was frozen";
    server.process->signal(SIGCONT);

    ASSERT_EQ(client.wait_exit(60s), 0) << client.err();
    EXPECT_EQ(client.err(), "");
    EXPECT_LT(written_when_frozen, FILE_SIZE);
    EXPECT_TRUE(file.bytes() == test::served_bytes(0, FILE_SIZE)) << "the file differs from the served bytes";
    EXPECT_TRUE(server.process->running());
    EXPECT_EQ(server.process->err(), "");
    std::printf("frozen at %llu of %llu bytes written\n",
                static_cast<unsigned long long>(written_when_frozen),
                static_cast<unsigned long long>(FILE_SIZE));
}

TEST(Faults, KilledClientLeavesAnExactPrefix) {
    test::RunningServer server = test::start_server();
    OutputFile file("drovik-killed-client");
    test::Process client(DROVIK_CLIENT_FAST_BIN,
                         {"127.0.0.1", std::to_string(server.port), file.path, std::to_string(FILE_SIZE)});
    ASSERT_TRUE(file_reaches(client, file, MIDDLE));

    client.signal(SIGKILL);
    ASSERT_EQ(client.wait_exit(10s), 128 + SIGKILL);
    const std::string prefix = file.bytes();
    ASSERT_GE(prefix.size(), MIDDLE);
    ASSERT_LE(prefix.size(), FILE_SIZE);
    EXPECT_LT(prefix.size(), FILE_SIZE) << "killed in the middle, yet the file is complete";
    const std::string expected = test::served_bytes(0, prefix.size());
    std::size_t first_wrong = 0;
    while (first_wrong < prefix.size() && prefix[first_wrong] == expected[first_wrong]) {
        ++first_wrong;
    }
    EXPECT_EQ(first_wrong, prefix.size()) << "first wrong byte at offset " << first_wrong;
    std::printf("killed with %zu of %llu bytes written\n", prefix.size(),
                static_cast<unsigned long long>(FILE_SIZE));
}

}  // namespace
}  // namespace drovik
