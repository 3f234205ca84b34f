// drovik-trace as a process between real clients and a real server: two clients at once, a
// shaped path, descriptors that run out, junk from many ports, a flood, stop signals, a stuck or
// gone reader of the trace, a trace that cannot grow, standard output shared with others, an
// ICMP error injected under a relay run in the test's own process, usage errors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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
#include "system/format.hpp"
#include "system/stop_signals.hpp"
#include "trace/relay.hpp"

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

enum Column { TIME, CLIENT, DIRECTION, KIND, OFFSET, LENGTH, BYTES, FIRST, FATE };

// drovik-trace with `options` before its ports, in front of a socket of the test's as its server.
struct RelayToSocket {
    explicit RelayToSocket(std::vector<std::string> options)
        : trace(DROVIK_TRACE_BIN, [&] {
              options.insert(options.end(),
                             {std::to_string(port), "127.0.0.1", std::to_string(server.port())});
              return options;
          }()) {}

    test::UdpSocket server;
    std::uint16_t port = test::free_udp_port();
    test::Process trace;
};

TEST(TraceProcess, RelaysTwoClientsAtOnceAndRecordsEveryDatagram) {
    const test::RunningServer server = test::start_server();
    const test::OutputFile trace_file("drovik-trace-csv");
    const test::OutputFile fast_file("drovik-trace-fast");
    const test::OutputFile slow_file("drovik-trace-slow");
    const std::string port = std::to_string(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"--idle", "2", "-o", trace_file.path, port, "127.0.0.1",
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
    // The server's last late replies pass, then two seconds without a datagram end the relay.
    ASSERT_EQ(trace.wait_exit(30s), 0) << trace.err();
    EXPECT_TRUE(fast_file.bytes() == test::served_bytes(0, 100000)) << "fast download differs";
    EXPECT_TRUE(slow_file.bytes() == test::served_bytes(0, 3000)) << "slow download differs";

    std::string header;
    const auto rows = read_rows(trace_file.bytes(), header);
    EXPECT_EQ(header, "time,client,direction,kind,offset,length,bytes,first,fate");
    std::map<std::string, std::map<std::pair<std::string, std::string>, int>> firsts;  // client, range
    const std::string stranger_name = "127.0.0.1:" + std::to_string(stranger.port());
    std::vector<std::string> stranger_sizes;
    std::set<std::string> clients;
    std::string previous_time = "0.000000";
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 9U);
        EXPECT_EQ(row[FATE], "relayed");
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

// A sender that takes a new port for every datagram takes one socket each from the relay;
// when the descriptors run out, the least recently active client gives its own back.
TEST(TraceProcess, MakesRoomWhenItRunsOutOfDescriptors) {
    RelayToSocket relay({"--idle", "2", "-o", "/dev/null"});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const rlimit few{64, 64};
    ASSERT_EQ(prlimit(trace.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
    // Open at once, so that every one has a port of its own.
    std::vector<std::unique_ptr<test::UdpSocket>> senders(100);
    for (auto& sender : senders) {
        sender = std::make_unique<test::UdpSocket>();
        sender->send_to(port, "GET 0 1000\n");
    }
    for (std::size_t i = 0; i < senders.size(); ++i) {
        ASSERT_TRUE(server.receive(5s)) << "only " << i << " of 100 relayed";
    }
    ASSERT_EQ(trace.wait_exit(30s), 0) << trace.err();
    EXPECT_EQ(std::count(trace.err().begin(), trace.err().end(), '\n'), 101) << trace.err();
    EXPECT_NE(trace.err().find(" clients forgotten early to make room for new ones\n"), std::string::npos)
        << trace.err();
}

// Junk from 1500 source ports while a client is answered: the client keeps its socket towards
// the server, so its replies still reach it, and its one summary line; the summary stays within
// 1000 lines.
TEST(TraceProcess, AJunkBurstNeitherEvictsALiveClientNorSwellsTheSummary) {
    RelayToSocket relay({"-o", "/dev/null"});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const test::UdpSocket live;
    live.send_to(port, "GET 0 1000\n");
    const std::optional<test::UdpSocket::Datagram> get = server.receive(5s);
    ASSERT_TRUE(get);
    server.send_to(get->sender, "DATA 0 1\nx");
    ASSERT_TRUE(live.receive(5s));
    for (int i = 0; i < 1500; ++i) {
        test::UdpSocket().send_to(port, "junk");
        ASSERT_TRUE(server.receive(5s)) << "junk " << i;
    }
    live.send_to(port, "GET 1000 1000\n");
    const std::optional<test::UdpSocket::Datagram> again = server.receive(5s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->sender.sin_port, get->sender.sin_port) << "the live client's socket was closed";
    trace.signal(SIGTERM);
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    const std::string& summary = trace.err();
    EXPECT_LE(std::count(summary.begin(), summary.end(), '\n'), 1000);
    const std::string live_line = "127.0.0.1:" + std::to_string(live.port()) + ": up 2 down 1,";
    const std::size_t at = summary.find(live_line);
    EXPECT_TRUE(at != std::string::npos && at == summary.rfind(live_line)) << summary.substr(0, 300);
}

// A flood of junk at full speed, then SIGTERM: the relay ends all the same, every row written.
// (The flood stops once the relay has ended, or after 20 s.)
TEST(TraceProcess, AFloodHoldsUpNeitherTheEndNorTheRows) {
    RelayToSocket relay({"-o", "/dev/null"});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    std::jthread flood([port](const std::stop_token& stop) {
        const test::UdpSocket sender;
        const sockaddr_in relay = test::loopback_address(port);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
            sendto(sender.fd(), "junk", 4, 0, reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
        }
    });
    ASSERT_TRUE(server.receive(5s));
    trace.signal(SIGTERM);
    const std::optional<int> status = trace.wait_exit(10s);
    flood.request_stop();
    ASSERT_EQ(status, 0) << trace.err();
    EXPECT_EQ(trace.err().find("trace rows not written"), std::string::npos) << trace.err();
}

// A relay without --idle runs until SIGINT or SIGTERM; either ends it normally, summary included.
TEST(TraceProcess, StopSignalsEndItWithStatusZero) {
    for (const int stop : {SIGINT, SIGTERM}) {
        RelayToSocket relay({"-o", "/dev/null"});
        auto& [server, port, trace] = relay;
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
    RelayToSocket relay({"--forget", "2", "-o", "/dev/null"});
    auto& [server, port, trace] = relay;
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

// Replies lost on the way of a real download: a shaped path still gets it through, and its
// rows tell the same story as its summary line.
TEST(TraceProcess, AShapedPathRelaysADownloadAndRecordsEachFate) {
    const test::RunningServer server = test::start_server();
    const test::OutputFile trace_file("drovik-trace-shaped");
    const test::OutputFile file("drovik-trace-shaped-download");
    const auto port = static_cast<std::uint16_t>(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"--idle", "2", "--loss", "0.2", "--dup", "0.2", "--delay", "20-80",
                                           "--seed", "5", "-o", trace_file.path, std::to_string(port),
                                           "127.0.0.1", std::to_string(server.port)});
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    test::Process client(DROVIK_CLIENT_FAST_BIN, {"127.0.0.1", std::to_string(port), file.path, "50000"});
    ASSERT_EQ(client.wait_exit(60s), 0) << client.err();
    ASSERT_EQ(trace.wait_exit(30s), 0) << trace.err();
    EXPECT_TRUE(file.bytes() == test::served_bytes(0, 50000)) << "download differs";
    std::string header;
    std::map<std::string, int> fates;
    for (const auto& row : read_rows(trace_file.bytes(), header)) {
        ++fates[row[DIRECTION] + " " + row[FATE]];
    }
    const std::string summary = trace.err();
    EXPECT_NE(
        summary.find(format("; up: lost {}, copied {}, overflow 0; down: lost {}, copied {}, overflow 0\n",
                            fates["up lost"], fates["up copy"], fates["down lost"], fates["down copy"])),
        std::string::npos)
        << summary;
    EXPECT_GT(fates["up lost"] * fates["up copy"] * fates["down lost"] * fates["down copy"], 0) << summary;
    EXPECT_EQ(fates.size(), 6U) << "relayed, copy and lost each way, and nothing else";
}

// --rate 100 both ways, 200 datagrams at once, each echoed back: up, the k-th waits for about
// k - 2 tokens of 10 ms; down, spaced by the rate already, hardly at all.
TEST(TraceProcess, TellsHowLongDatagramsWaitedForTheRateEachWay) {
    RelayToSocket relay({"--idle", "2", "--rate", "100", "--queue", "500", "-o", "/dev/null"});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const test::UdpSocket client;
    for (int i = 0; i < 200; ++i) {
        client.send_to(port, "GET");
    }
    for (int i = 0; i < 200; ++i) {
        const auto datagram = server.receive(5s);
        ASSERT_TRUE(datagram) << i;
        server.send_to(datagram->sender, datagram->bytes);
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(client.receive(5s)) << i;
    }
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    std::array<int, 4> ms{};
    const std::size_t at = trace.err().find("wait for the rate: up median ");
    ASSERT_NE(at, std::string::npos) << trace.err();
    ASSERT_EQ(
        std::sscanf(trace.err().c_str() + at,
                    "wait for the rate: up median %d ms, 95th percentile %d ms; down median %d ms, 95th "
                    "percentile %d ms",
                    &ms[0], &ms[1], &ms[2], &ms[3]),
        4)
        << trace.err();
    EXPECT_NEAR(ms[0], 990, 40) << trace.err();
    EXPECT_NEAR(ms[1], 1890, 60) << trace.err();
    EXPECT_LE(ms[3], 100) << trace.err();
}

// A named pipe for the trace, with a reader that never reads.
struct StuckPipe {
    test::OutputFile fifo{"drovik-trace-fifo"};
    int reader = -1;
    StuckPipe() {
        if (mkfifo(fifo.path.c_str(), 0600) == 0) {
            reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~StuckPipe() { close(reader); }
    StuckPipe(const StuckPipe&) = delete;
    StuckPipe& operator=(const StuckPipe&) = delete;
};

// A trace nobody reads neither holds up the relaying nor its end; two stop signals make one end.
TEST(TraceProcess, AStuckReaderHoldsUpNeitherTheRelayingNorTwoStopSignals) {
    const StuckPipe pipe;
    ASSERT_GE(pipe.reader, 0);
    const test::RunningServer server = test::start_server();
    const test::OutputFile file("drovik-trace-stuck-download");
    const auto port = static_cast<std::uint16_t>(test::free_udp_port());
    test::Process trace(DROVIK_TRACE_BIN, {"-o", pipe.fifo.path, std::to_string(port), "127.0.0.1",
                                           std::to_string(server.port)});
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    // About 4500 rows, four times what the pipe holds.
    test::Process client(DROVIK_CLIENT_FAST_BIN, {"127.0.0.1", std::to_string(port), file.path, "300000"});
    ASSERT_EQ(client.wait_exit(60s), 0) << client.err();
    EXPECT_TRUE(file.bytes() == test::served_bytes(0, 300000)) << "download differs";
    trace.signal(SIGINT);
    // The second comes once the relay has taken the first, while it tries to write out the rest.
    ASSERT_TRUE(test::wait_signal_taken(trace.pid(), SIGINT, 5s));
    ASSERT_TRUE(trace.running());
    trace.signal(SIGINT);
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    EXPECT_TRUE(trace.err().starts_with("127.0.0.1:")) << trace.err();
    EXPECT_NE(trace.err().find(" trace rows not written: the output did not take them in time\n"),
              std::string::npos)
        << trace.err();
}

// A reader that goes away is an error of a write, not the end of the relay. The relay opens its
// output before it binds its port, so the pipe has its writer once the port is bound.
TEST(TraceProcess, AReaderThatGoesAwayEndsOnlyTheTrace) {
    StuckPipe pipe;
    RelayToSocket relay({"-o", pipe.fifo.path});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    close(std::exchange(pipe.reader, -1));
    const test::UdpSocket client;
    client.send_to(port, "GET 0 1000\n");
    ASSERT_TRUE(server.receive(5s));
    trace.signal(SIGTERM);
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    // The header and the GET's row, or the GET's alone when the header went out before the close.
    EXPECT_NE(
        trace.err().find(" trace rows not written: the trace's reader went away, and the relay went on\n"),
        std::string::npos)
        << trace.err();
}

// A trace file that cannot grow past 1000 bytes (RLIMIT_FSIZE, as a full disk would): the relay
// goes on, says why the trace failed, and the file ends with a whole row.
TEST(TraceProcess, ATraceThatCannotGrowEndsWithAWholeRow) {
    const test::OutputFile trace_file("drovik-trace-limited");
    RelayToSocket relay({"-o", trace_file.path});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const rlimit small{1000, 1000};
    ASSERT_EQ(prlimit(trace.pid(), RLIMIT_FSIZE, &small, nullptr), 0);
    const test::UdpSocket client;
    for (int i = 0; i < 40; ++i) {
        client.send_to(port, format("GET {} 1000\n", i * 1000));
        ASSERT_TRUE(server.receive(5s));
    }
    trace.signal(SIGTERM);
    ASSERT_EQ(trace.wait_exit(10s), 1) << trace.err();
    EXPECT_TRUE(trace.err().ends_with(
        format("Error while writing the trace to {}: File too large.\n", trace_file.path)))
        << trace.err();
    const std::string csv = trace_file.bytes();
    ASSERT_TRUE(csv.ends_with('\n')) << csv.substr(csv.size() - 30);
    EXPECT_GT(csv.size(), 900U);
    std::string header;
    for (const auto& row : read_rows(csv, header)) {
        EXPECT_EQ(row.size(), 9U);
    }
}

// The trace on standard output, a pipe shared with others: the rows come through, and the
// pipe's description stays as it was, blocking, so that no end of the relay, not even a
// SIGKILL, can leave it changed for the others.
TEST(TraceProcess, WritesStandardOutputWithoutChangingItForOthers) {
    RelayToSocket relay({});
    auto& [server, port, trace] = relay;
    ASSERT_TRUE(test::wait_udp_bound(port, 5s)) << trace.err();
    const test::UdpSocket client;
    client.send_to(port, "GET 0 1000\n");
    ASSERT_TRUE(server.receive(5s));
    std::ifstream info("/proc/" + std::to_string(trace.pid()) + "/fdinfo/1");
    const std::string fields{std::istreambuf_iterator<char>(info), {}};
    EXPECT_EQ(std::stoi(fields.substr(fields.find("flags:") + 6), nullptr, 8) & O_NONBLOCK, 0) << fields;
    trace.signal(SIGTERM);
    ASSERT_EQ(trace.wait_exit(10s), 0) << trace.err();
    EXPECT_TRUE(
        trace.out().starts_with("time,client,direction,kind,offset,length,bytes,first,fate\n0.000000,"));
    EXPECT_TRUE(trace.out().ends_with(",up,GET,0,1000,11,,relayed\n")) << trace.out();
}

// The first send and the first receive on a socket towards the server fail as after an ICMP
// "administratively prohibited" (EHOSTUNREACH); the real calls do the rest.
std::atomic<bool> send_failed{false};
std::atomic<bool> receive_failed{false};

ssize_t unreachable_once(int fd, const void* data, std::size_t size, int flags) {
    if (!send_failed.exchange(true)) {
        errno = EHOSTUNREACH;
        return -1;
    }
    return send(fd, data, size, flags);
}

ssize_t unreachable_once(int fd, void* data, std::size_t size, int flags) {
    if (!receive_failed.exchange(true)) {
        errno = EHOSTUNREACH;
        return -1;
    }
    return recv(fd, data, size, flags);
}

TEST(TraceProcess, AnUnreachableServerLosesADatagramAndTheRelayGoesOn) {
    const test::RunningServer server = test::start_server();
    const test::OutputFile trace_file("drovik-trace-unreachable");
    const auto port = static_cast<std::uint16_t>(test::free_udp_port());
    trace::RelayOptions options;
    options.listen_port = port;
    options.server_host = "127.0.0.1";
    options.server_port = server.port;
    options.output = trace_file.path;
    options.idle_s = 2;
    trace::SocketCalls calls;
    calls.send = unreachable_once;
    calls.recv = unreachable_once;
    std::ostringstream log;
    std::string ended_by;
    std::jthread relay([&] {
        try {
            const StopSignals signals;
            trace::run_relay(options, signals, log, calls);
        } catch (const std::exception& error) {
            ended_by = error.what();
        }
    });
    ASSERT_TRUE(test::wait_udp_bound(port, 5s));
    for (const std::string name : {"first", "next"}) {
        const test::OutputFile file("drovik-trace-unreachable-" + name);
        test::Process client(DROVIK_CLIENT_FAST_BIN, {"127.0.0.1", std::to_string(port), file.path, "50000"});
        ASSERT_EQ(client.wait_exit(60s), 0) << name << ": " << client.err();
        EXPECT_TRUE(file.bytes() == test::served_bytes(0, 50000)) << name << " download differs";
    }
    relay.join();
    EXPECT_EQ(ended_by, "");
    EXPECT_TRUE(send_failed && receive_failed);
    std::istringstream lines(log.str());
    std::string first;
    std::getline(lines, first);
    EXPECT_TRUE(first.ends_with("; network errors 2")) << log.str();
    EXPECT_NE(trace_file.bytes().find(",up,GET,0,1000,11,,lost\n"), std::string::npos);
}

TEST(TraceProcess, UsageErrorsSayWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--forget", "1"},
         "--forget: must be a number of seconds from 2 to 1000000: a server may take 1.5 s"},
        {{"--idle", "0.5"}, "--idle: must be a number of seconds from 2 to 1000000"},
        {{"--loss", "1"}, "--loss: not a probability from 0 to 0.999999 (at most six decimals)"},
        {{"--dup", "0.1234567"}, "--dup: not a probability from 0 to 0.999999 (at most six decimals)"},
        {{"--delay", "200-100"}, "--delay: MIN is above MAX"},
        {{"--rate", "0"}, "--rate: not a whole number from 1 to 1000000"},
        {{"--shape", "sideways"}, "--shape: not up, down or both"},
        {{"--seed", "18446744073709551616", "--loss", "0.1"},
         "--seed: not a whole number from 0 to 18446744073709551615"},
        {{"--seed", "1", "--rate", "10"}, "--seed: nothing is drawn without --loss, --dup or --delay"},
        {{"--queue", "10", "--loss", "0.1"}, "--queue: nothing waits without --delay or --rate"},
        {{"--shape", "up", "--loss", "0"},
         "--shape: no path to play without --loss, --dup, --delay or --rate"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"5000", "127.0.0.1", "4000"});
        const test::RunResult result = test::run_program(DROVIK_TRACE_BIN, args);
        EXPECT_EQ(result.status, 2) << options[0];
        EXPECT_TRUE(result.err.starts_with(message)) << result.err;
    }
}

// Pointed at its own listening address, a relay would relay to itself: refused at once. Another
// loopback address with the same port is another socket.
TEST(TraceProcess, RefusesToRelayToItself) {
    const std::string port = std::to_string(test::free_udp_port());
    for (const auto& [bind, server] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", "127.0.0.1"}, {"127.0.0.1", "0.0.0.0"}, {"0.0.0.0", "127.0.0.2"}}) {
        const test::RunResult result = test::run_program(DROVIK_TRACE_BIN, {"-b", bind, port, server, port});
        EXPECT_EQ(result.status, 2) << bind << " " << server;
        EXPECT_TRUE(result.err.ends_with(": it cannot relay to itself.\n")) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    test::Process other(DROVIK_TRACE_BIN, {"-o", "/dev/null", port, "127.0.0.2", port});
    ASSERT_TRUE(test::wait_udp_bound(static_cast<std::uint16_t>(std::stoi(port)), 5s)) << other.err();
    other.signal(SIGTERM);
    EXPECT_EQ(other.wait_exit(10s), 0) << other.err();
}

// With standard output closed, no socket of the relay may take its place and get the trace.
TEST(TraceProcess, RefusesAClosedStandardOutput) {
    const std::string port = std::to_string(test::free_udp_port());
    const test::RunResult result = test::run_program(
        "/bin/sh", {"-c", "exec \"$0\" \"$@\" >&-", DROVIK_TRACE_BIN, port, "127.0.0.1", "4000"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Cannot write the trace to standard output: it is not open for writing.\n");
}

}  // namespace
}  // namespace drovik
