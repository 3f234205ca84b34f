// The real drovik-fetch on loopback: against drovik-server, stopped mid-way and resumed,
// with its server gone for a while and back on the same port, and against a server that
// sends broken replies.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/hostile.hpp"
#include "support/loopback.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t FILE_SIZE = 600000;
constexpr std::uint64_t MIDDLE = 60000;

// An output file and its .part, both removed at the end.
struct Download {
    explicit Download(const std::string& name) : output(name), part(name, ".part") {}
    test::OutputFile output;
    test::OutputFile part;

    std::vector<std::string> args(std::uint16_t port, std::uint64_t bytes,
                                  std::vector<std::string> options = {}) const {
        options.insert(options.end(),
                       {"127.0.0.1", std::to_string(port), output.path, std::to_string(bytes)});
        return options;
    }
    bool complete(std::uint64_t bytes) const {
        return !std::filesystem::exists(part.path) && output.bytes() == test::served_bytes(0, bytes);
    }
};

TEST(FetchProcess, DownloadsTheExactFile) {
    const test::RunningServer server = test::start_server();
    const Download download("fetch-exact");
    const test::RunResult result =
        test::run_program(DROVIK_FETCH_BIN, download.args(server.port, 300500, {"-s"}), 60s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("drovik-fetch: 300500 bytes in ", 0), 0u) << result.err;
    EXPECT_TRUE(download.complete(300500));
}

// Plays a server that answers, at once, only the GETs for chunks before `bytes`, until
// the .part holds them all (at most 30 s). The download is then mid-way for certain,
// and the .part's content is known, whatever order the replies took.
bool serve_first_bytes(const test::UdpSocket& server, test::Process& fetch, const test::OutputFile& part,
                       std::uint64_t bytes) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (fetch.running() && std::chrono::steady_clock::now() < deadline) {
        if (part.size() >= bytes) {
            return true;
        }
        const auto datagram = server.receive(20ms);
        const auto get = datagram ? test::parse_get(datagram->bytes) : std::nullopt;
        if (get && get->first < bytes) {
            server.send_to(datagram->sender, test::data_reply(get->first, get->second));
        }
    }
    return false;
}

// Answers every GET at once until the client ends (at most 30 s); false if it did not.
bool serve_until_done(const test::UdpSocket& server, test::Process& client) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (client.running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        const auto datagram = server.receive(20ms);
        if (const auto get = datagram ? test::parse_get(datagram->bytes) : std::nullopt) {
            server.send_to(datagram->sender, test::data_reply(get->first, get->second));
        }
    }
    return true;
}

struct Stop {
    int signal;
    int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Stop& stop, std::ostream* out) {
    *out << "signal " << stop.signal << ", status " << stop.status;
}

class FetchStopped : public ::testing::TestWithParam<Stop> {};

TEST_P(FetchStopped, LeavesWholeChunksThatResumeCompletes) {
    const Download download("fetch-stopped");
    {
        const test::UdpSocket first_server;
        test::Process fetch(DROVIK_FETCH_BIN, download.args(first_server.port(), FILE_SIZE));
        ASSERT_TRUE(serve_first_bytes(first_server, fetch, download.part, MIDDLE));
        fetch.signal(GetParam().signal);
        ASSERT_EQ(fetch.wait_exit(10s), GetParam().status) << fetch.err();
        if (GetParam().signal == SIGINT) {
            EXPECT_NE(fetch.err().find("--resume continues"), std::string::npos) << fetch.err();
        }
    }
    EXPECT_TRUE(download.part.bytes() == test::served_bytes(0, MIDDLE));

    const test::RunningServer server = test::start_server();
    const test::RunResult resumed = test::run_program(
        DROVIK_FETCH_BIN, download.args(server.port, FILE_SIZE, {"--resume", "--stats"}), 60s);
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(resumed.err.rfind("drovik-fetch: " + std::to_string(FILE_SIZE - MIDDLE) + " bytes in ", 0), 0u)
        << "only the rest is fetched again: " << resumed.err;
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

INSTANTIATE_TEST_SUITE_P(Signals, FetchStopped,
                         ::testing::Values(Stop{SIGKILL, 128 + SIGKILL}, Stop{SIGINT, 130}),
                         [](const auto& info) {
                             return info.param.signal == SIGKILL ? "Killed" : "Interrupted";
                         });

TEST(FetchProcess, WaitsOutAServerRestartedOnTheSamePort) {
    auto first_server = std::make_unique<test::UdpSocket>();
    const std::uint16_t port = first_server->port();
    const Download download("fetch-restart");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(port, FILE_SIZE, {"--stall-timeout", "20"}));
    ASSERT_TRUE(serve_first_bytes(*first_server, fetch, download.part, MIDDLE));

    first_server.reset();
    // The outage itself: long enough for many GETs to be refused.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(fetch.running()) << fetch.err();
    const std::unique_ptr<test::Process> server = test::start_server_on(port);
    ASSERT_TRUE(server);

    ASSERT_EQ(fetch.wait_exit(60s), 0) << fetch.err();
    EXPECT_EQ(fetch.err(), "");
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

struct SocketFault {
    const char* fault;  // as DROVIK_TEST_FAULT takes it
    const char* name;
};

class FetchSocketFault : public ::testing::TestWithParam<SocketFault> {};

// What the kernel reports about a server (an ICMP error, a shortage), on a receive or a
// send, on the main server's socket or a mirror's, costs a datagram and ends nothing.
TEST_P(FetchSocketFault, AnErrorAboutAServerEndsNothing) {
    const test::RunningServer server = test::start_server();
    const test::RunningServer mirror = test::start_server();
    const Download download("fetch-fault");
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> env = {
        std::string("LD_PRELOAD=") + DROVIK_SOCKET_FAULTS_LIB,
        std::string("DROVIK_TEST_FAULT=") + GetParam().fault,
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0", DROVIK_FETCH_BIN};
    std::vector<std::string> args = env;
    const std::string mirror_name = "127.0.0.1:" + std::to_string(mirror.port);
    for (const std::string& arg : download.args(server.port, 300000, {"-m", mirror_name})) {
        args.push_back(arg);
    }
    const test::RunResult result = test::run_program("/usr/bin/env", args, 60s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(download.complete(300000));
}

INSTANTIATE_TEST_SUITE_P(Table, FetchSocketFault,
                         ::testing::Values(SocketFault{"recv 40 113",
                                                       "ProhibitedOnAReceive"},               // EHOSTUNREACH
                                           SocketFault{"recv 41 71", "BadHeaderOnAReceive"},  // EPROTO
                                           SocketFault{"send 300 105", "NoBuffersOnASend"}),  // ENOBUFS
                         [](const auto& info) { return std::string(info.param.name); });

// Time it could not run (Ctrl-Z, then fg) is no server's fault.
TEST(FetchProcess, ASuspensionLongerThanTheStallLimitIsNoStall) {
    constexpr std::uint64_t SIZE = 50000;
    const test::UdpSocket server;
    const Download download("fetch-suspended");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(server.port(), SIZE, {"--stall-timeout", "1"}));
    ASSERT_TRUE(server.receive(10s)) << "no GET came";
    fetch.signal(SIGSTOP);
    std::this_thread::sleep_for(2s);  // the suspension itself
    fetch.signal(SIGCONT);
    std::this_thread::sleep_for(300ms);  // a server slow to answer: the suspension must not count
    ASSERT_TRUE(serve_until_done(server, fetch));
    ASSERT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
    EXPECT_TRUE(download.complete(SIZE));
}

TEST(FetchProcess, GivesUpOnAStallNamingTheRefusingServer) {
    const std::uint16_t port = test::free_udp_port();
    const Download download("fetch-stall");
    const test::RunResult result =
        test::run_program(DROVIK_FETCH_BIN, download.args(port, 5000, {"--stall-timeout", "1"}), 30s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "drovik-fetch: no new data for 1 s from 127.0.0.1:" + std::to_string(port) +
                              " (refused: nothing listens there)\n");
    EXPECT_TRUE(std::filesystem::exists(download.part.path)) << "the .part is kept";
}

TEST(FetchProcess, TakesOnlyGoodChunksFromAHostileServer) {
    constexpr std::uint64_t SIZE = 24321;
    test::UdpSocket server;
    const Download download("fetch-hostile");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(server.port(), SIZE));
    std::uint64_t broken_sent = 0;
    ASSERT_NO_FATAL_FAILURE(test::serve_hostile(server, fetch, SIZE, broken_sent));
    ASSERT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
    EXPECT_EQ(fetch.err(), "");
    EXPECT_GT(broken_sent, 0u);
    EXPECT_TRUE(download.complete(SIZE));
}

}  // namespace
}  // namespace drovik
