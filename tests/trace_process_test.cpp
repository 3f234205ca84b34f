// drovik-trace as a process between two real clients at once and a real server.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

// The trace's rows, each split at its commas (no field of these rows is quoted).
std::vector<std::vector<std::string>> read_rows(const std::string& csv, std::string& header) {
    std::istringstream lines(csv);
    std::getline(lines, header);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string>& fields = rows.emplace_back();
        std::istringstream cells(line + ",");
        for (std::string cell; std::getline(cells, cell, ',');) {
            fields.push_back(cell);
        }
    }
    return rows;
}

enum Column { TIME, CLIENT, DIRECTION, KIND, OFFSET, LENGTH, BYTES, FIRST };

TEST(TraceProcess, RelaysTwoClientsAtOnceAndRecordsEveryDatagram) {
    const test::RunningServer server = test::start_server();
    const test::OutputFile trace_file("drovik-trace-csv");
    const test::OutputFile fast_file("drovik-trace-fast");
    const test::OutputFile slow_file("drovik-trace-slow");
    const std::string port = std::to_string(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"--idle", "1", "-o", trace_file.path, port, "127.0.0.1",
                                           std::to_string(server.port)});
    ASSERT_TRUE(test::wait_udp_bound(static_cast<std::uint16_t>(std::stoi(port)), 5s)) << trace.err();

    test::Process fast(DROVIK_CLIENT_FAST_BIN, {"127.0.0.1", port, fast_file.path, "100000"});
    test::Process slow(DROVIK_CLIENT_SLOW_BIN, {"127.0.0.1", port, slow_file.path, "3000"});
    const test::UdpSocket stranger;
    const std::vector<std::string> junk = {"hello", "GET 0 1000", "DATA 0 5\nab"};
    for (const std::string& datagram : junk) {
        stranger.send_to(static_cast<std::uint16_t>(std::stoi(port)), datagram);
    }
    EXPECT_EQ(fast.wait_exit(60s), 0) << fast.err();
    EXPECT_EQ(slow.wait_exit(60s), 0) << slow.err();
    // The server's last late replies pass, then a second without a datagram ends the relay.
    ASSERT_EQ(trace.wait_exit(30s), 0) << trace.err();
    EXPECT_TRUE(fast_file.bytes() == test::served_bytes(0, 100000)) << "fast download differs";
    EXPECT_TRUE(slow_file.bytes() == test::served_bytes(0, 3000)) << "slow download differs";

    std::string header;
    const auto rows = read_rows(trace_file.bytes(), header);
    EXPECT_EQ(header, "time,client,direction,kind,offset,length,bytes,first");
    std::map<std::string, std::map<std::pair<std::string, std::string>, int>> firsts;  // client, range
    const std::string stranger_name = "127.0.0.1:" + std::to_string(stranger.port());
    std::vector<std::string> stranger_sizes;
    std::set<std::string> clients;
    std::string previous_time = "0.000000";
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 8U);
        EXPECT_LE(std::stod(previous_time), std::stod(row[TIME]));
        previous_time = row[TIME];
        clients.insert(row[CLIENT]);
        if (row[DIRECTION] == "down" && row[KIND] == "DATA") {
            firsts[row[CLIENT]][{row[OFFSET], row[LENGTH]}] += row[FIRST] == "1" ? 1 : 0;
            EXPECT_TRUE(row[FIRST] == "1" || row[FIRST] == "0");
        } else {
            EXPECT_EQ(row[FIRST], "");
        }
        if (row[CLIENT] == stranger_name) {
            EXPECT_EQ(row[DIRECTION] + " " + row[KIND] + row[OFFSET] + row[LENGTH], "up other");
            stranger_sizes.push_back(row[BYTES]);
        }
    }
    // The fast client's 100 chunks and the slow client's 3, each marked first exactly once.
    std::multiset<std::size_t> chunks;
    for (const auto& [client, ranges] : firsts) {
        chunks.insert(ranges.size());
        for (const auto& [range, count] : ranges) {
            EXPECT_EQ(count, 1) << client << " " << range.first;
        }
    }
    EXPECT_EQ(chunks, (std::multiset<std::size_t>{3, 100}));
    EXPECT_EQ(stranger_sizes, (std::vector<std::string>{"5", "10", "11"}));
    EXPECT_EQ(clients.size(), 3U);

    // One summary line per client.
    std::istringstream summary(trace.err());
    std::set<std::string> summarised;
    for (std::string line; std::getline(summary, line);) {
        summarised.insert(line.substr(0, line.find(": up ")));
        if (line.starts_with(stranger_name)) {
            EXPECT_TRUE(line.starts_with(stranger_name +
                                         ": up 3 down 0, GETs 0, replies 0 (useful 0, duplicates 0), "
                                         "- GETs per chunk, - % useful, "))
                << line;
        }
    }
    EXPECT_EQ(summarised, clients) << trace.err();
    EXPECT_EQ(trace.out(), "");
}

// A sender that takes a new port for every datagram takes one socket each from the relay,
// until it has no descriptor left.
TEST(TraceProcess, SurvivesRunningOutOfDescriptors) {
    const test::RunningServer server = test::start_server();
    const auto port = static_cast<std::uint16_t>(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"--idle", "1", "-o", "/dev/null", std::to_string(port),
                                           "127.0.0.1", std::to_string(server.port)});
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const rlimit few{64, 64};
    ASSERT_EQ(prlimit(trace.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    // Open at once, so that every one has a port of its own.
    std::vector<std::unique_ptr<test::UdpSocket>> senders(100);
    for (auto& sender : senders) {
        sender = std::make_unique<test::UdpSocket>();
        sender->send_to(port, "GET 0 1000\n");
    }
    ASSERT_EQ(trace.wait_exit(30s), 0) << trace.err();
    EXPECT_NE(trace.err().find("datagrams from further clients not relayed"), std::string::npos)
        << trace.err();
}

// A relay without --idle runs until SIGINT or SIGTERM; either ends it normally, summary included.
TEST(TraceProcess, StopSignalsEndItWithStatusZero) {
    const test::UdpSocket server;
    for (const int stop : {SIGINT, SIGTERM}) {
        const auto port = static_cast<std::uint16_t>(test::free_udp_port());
        test::Process trace(DROVIK_TRACE_BIN, {"-o", "/dev/null", std::to_string(port), "127.0.0.1",
                                               std::to_string(server.port())});
        ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
        const test::UdpSocket client;
        client.send_to(port, "GET 0 1000\n");
        // Relayed, so counted: the relay records a datagram as soon as it has passed it on.
        ASSERT_TRUE(server.receive(5s));
        trace.signal(stop);
        EXPECT_EQ(trace.wait_exit(10s), 0) << "signal " << stop;
        EXPECT_TRUE(trace.err().starts_with("127.0.0.1:" + std::to_string(client.port()) + ": up 1 down 0"))
            << trace.err();
    }
}

// A relay that runs for hours: clients quiet for --forget seconds give back their sockets, so
// that clients coming one after another never exhaust them; one that speaks again is relayed.
TEST(TraceProcess, ForgetsQuietClientsAndMeetsThemAgain) {
    const test::UdpSocket server;
    const auto port = static_cast<std::uint16_t>(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"--forget", "1", "-o", "/dev/null", std::to_string(port),
                                           "127.0.0.1", std::to_string(server.port())});
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const auto descriptors = [&] {
        return std::distance(
            std::filesystem::directory_iterator("/proc/" + std::to_string(trace.pid()) + "/fd"),
            std::filesystem::directory_iterator());
    };
    const auto before = descriptors();
    std::vector<std::unique_ptr<test::UdpSocket>> clients(20);
    for (auto& client : clients) {
        client = std::make_unique<test::UdpSocket>();
        client->send_to(port, "GET 0 1000\n");
        ASSERT_TRUE(server.receive(5s));
    }
    EXPECT_EQ(descriptors(), before + 20);
    for (int i = 0; i < 500 && descriptors() > before; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(descriptors(), before);

    clients[0]->send_to(port, "GET 0 1000\n");
    const std::optional<test::UdpSocket::Datagram> again = server.receive(5s);
    ASSERT_TRUE(again);
    server.send_to(again->sender, "DATA 0 1\nx");
    ASSERT_TRUE(clients[0]->receive(5s));
    trace.signal(SIGTERM);
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    EXPECT_EQ(std::count(trace.err().begin(), trace.err().end(), '\n'), 21) << trace.err();
}

}  // namespace
}  // namespace drovik
