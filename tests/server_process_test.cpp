#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/loopback.hpp"
#include "support/process.hpp"
#include "system/format.hpp"
#include "wire/virtual_file.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

struct ArgumentError {
    std::vector<std::string> args;
    std::string err;
};

// Names the row after its arguments, spelled with letters and digits only.
void PrintTo(const ArgumentError& row, std::ostream* out) {
    *out << "args";
    for (const std::string& arg : row.args) {
        *out << '_';
        for (const char c : arg) {
            if (std::isalnum(static_cast<unsigned char>(c))) {
                *out << c;
            } else {
                *out << (c == '-' ? "minus" : c == '+' ? "plus" : "space");
            }
        }
    }
}

class ServerArguments : public testing::TestWithParam<ArgumentError> {};

TEST_P(ServerArguments, OneLineOnStandardErrorAndStatusOne) {
    const test::RunResult result = test::run_program(DROVIK_SERVER_BIN, GetParam().args, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_EQ(result.out, "");
}

const std::string USAGE = "Usage: ./drovik-server port\n";
const std::string INVALID = "Invalid port number.\n";
// The conversion's own messages, as the standard library words them.
const std::string CONVERSION = "stoi\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ServerArguments,
    testing::Values(ArgumentError{{}, USAGE}, ArgumentError{{"1", "2"}, USAGE},
                    ArgumentError{{"", ""}, USAGE}, ArgumentError{{"0"}, INVALID},
                    ArgumentError{{"65536"}, INVALID}, ArgumentError{{"-1"}, INVALID},
                    ArgumentError{{"-65535"}, INVALID}, ArgumentError{{"-2147483648"}, INVALID},
                    ArgumentError{{"2147483647"}, INVALID}, ArgumentError{{"99999999999"}, CONVERSION},
                    ArgumentError{{"2147483648"}, CONVERSION}, ArgumentError{{"x80"}, CONVERSION},
                    ArgumentError{{""}, CONVERSION}, ArgumentError{{" "}, CONVERSION},
                    ArgumentError{{"+-1"}, CONVERSION}));

// Starts the server with an argument made from a free port; true once it has bound that port.
bool binds_with(const std::string& prefix, const std::string& suffix) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::uint16_t port = test::free_udp_port();
        test::Process server(DROVIK_SERVER_BIN, {prefix + std::to_string(port) + suffix});
        if (test::wait_udp_bound(port, 5s) && server.running()) {
            return server.out().empty() && server.err().empty();
        }
    }
    return false;
}

TEST(ServerArgumentsAccepted, ConversionTakesTheLeadingNumber) {
    EXPECT_TRUE(binds_with("", ""));
    EXPECT_TRUE(binds_with("", "x"));
    EXPECT_TRUE(binds_with(" \t+", ""));
    EXPECT_TRUE(binds_with("000", " 1"));
}

TEST(ServerArgumentsAccepted, BothEndsOfThePortRange) {
    for (const std::string port : {"1", "65535"}) {
        test::Process server(DROVIK_SERVER_BIN, {port});
        const std::uint16_t number = static_cast<std::uint16_t>(std::stoi(port));
        // Either it serves, or the port was taken: never a rejected argument.
        if (!test::wait_udp_bound(number, 5s) || !server.running()) {
            ASSERT_TRUE(server.wait_exit(5s).has_value());
            EXPECT_EQ(server.err().rfind("Error while executing bind: ", 0), 0U) << server.err();
        }
        EXPECT_EQ(server.out(), "");
    }
}

TEST(ServerProcess, PortAlreadyBoundEndsAtBind) {
    const test::UdpSocket holder;
    const test::RunResult result = test::run_program(DROVIK_SERVER_BIN, {std::to_string(holder.port())}, 10s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error while executing bind: Address already in use.\n");
    EXPECT_EQ(result.out, "");
}

std::string expected_reply(const std::string& header, std::uint32_t offset, std::uint32_t length) {
    const std::vector<std::uint8_t> payload = virtual_file_bytes(offset, length);
    return header + std::string(payload.begin(), payload.end());
}

// A socket that asks one thing again and again and checks every answer it gets.
struct Asker {
    Asker(std::string request, std::string reply) : request(std::move(request)), reply(std::move(reply)) {}

    std::string request;
    std::string reply;
    test::UdpSocket socket;
    int sent = 0;
    int answered = 0;
};

class ServerTraffic : public testing::Test {
protected:
    void SetUp() override { server = test::start_server(); }

    // Looks at every datagram that reaches any of the sockets until `quiet_until` has passed and
    // every asker has had an answer (at most 15 s). Askers without an answer ask again every 100 ms.
    void exchange(std::vector<Asker*> askers, const test::UdpSocket& ignored, Clock::time_point quiet_until) {
        const auto give_up = Clock::now() + 15s;
        auto next_ask = Clock::now();
        for (;;) {
            const auto now = Clock::now();
            const bool all_answered =
                std::all_of(askers.begin(), askers.end(), [](const Asker* a) { return a->answered > 0; });
            if ((all_answered && now >= quiet_until) || now >= give_up) {
                return;
            }
            if (now >= next_ask) {
                for (Asker* asker : askers) {
                    if (asker->answered == 0) {
                        asker->socket.send_to(server.port, asker->request);
                        ++asker->sent;
                    }
                }
                next_ask = now + 100ms;
            }
            std::vector<pollfd> fds;
            for (const Asker* asker : askers) {
                fds.push_back({asker->socket.fd(), POLLIN, 0});
            }
            fds.push_back({ignored.fd(), POLLIN, 0});
            const auto slice =
                std::chrono::ceil<std::chrono::milliseconds>(std::min(next_ask, give_up) - now);
            poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(slice.count(), 0)));
            for (std::size_t i = 0; i < askers.size(); ++i) {
                while (const auto datagram = askers[i]->socket.receive(0ms)) {
                    check_sender(datagram->sender);
                    EXPECT_EQ(datagram->bytes, askers[i]->reply) << "answer to " << askers[i]->request;
                    ++askers[i]->answered;
                }
            }
            while (const auto datagram = ignored.receive(0ms)) {
                ADD_FAILURE() << "an invalid request was answered: " << datagram->bytes.substr(0, 40);
            }
        }
    }

    void check_sender(const sockaddr_in& sender) const {
        EXPECT_EQ(ntohl(sender.sin_addr.s_addr), INADDR_LOOPBACK);
        EXPECT_EQ(ntohs(sender.sin_port), server.port);
    }

    void expect_silent_and_running() {
        EXPECT_TRUE(server.process->running());
        EXPECT_EQ(server.process->out(), "");
        EXPECT_EQ(server.process->err(), "");
    }

    test::RunningServer server;
};

TEST_F(ServerTraffic, EachAskerGetsExactRepliesAtItsOwnAddress) {
    Asker largest{"GET 100000000 1000\n", expected_reply("DATA 100000000 1000\n", 0, 1000)};
    Asker zeros{"GET 0001000 0500\n", expected_reply("DATA 1000 500\n", 1000, 500)};
    Asker cut{"GET 250 8\n\0GET 0 1000\n"s, "DATA 250 8\n\xfb\xa1\xc1\x45\x99\x7f\xa4\x75"};
    // Half of all requests are lost by design: a burst makes an answer certain for practical purposes.
    for (int i = 0; i < 20; ++i) {
        for (Asker* asker : {&largest, &zeros, &cut}) {
            asker->socket.send_to(server.port, asker->request);
            ++asker->sent;
        }
    }
    const test::UdpSocket silent;
    exchange({&largest, &zeros, &cut}, silent, Clock::now() + 1700ms);
    for (const Asker* asker : {&largest, &zeros, &cut}) {
        EXPECT_GT(asker->answered, 0) << asker->request << " after " << asker->sent << " requests";
    }
    expect_silent_and_running();
}

TEST_F(ServerTraffic, InvalidRequestsAreIgnoredWhileValidOnesAreAnswered) {
    const std::vector<std::string> invalid = {"GET 0 0\n",
                                              "GET 100000001 1\n",
                                              "GET 0 1001\n",
                                              "GET 999999999 1000\n",
                                              "GET 1000000000 1\n",
                                              "GET 0 10000\n",
                                              "GET 0 1000",
                                              "GET 0 1000\r\n",
                                              "GET 0 1000\nX",
                                              "GET 0 1000\n\n",
                                              "get 0 1000\n",
                                              "GET  0 1000\n",
                                              "GET\t0 1000\n",
                                              "GET +0 1000\n",
                                              "",
                                              "\0GET 0 1000\n"s,
                                              "GET 0 10"s + '\0' + "00\n",
                                              "DATA 0 1\n\x01",
                                              std::string(65507, 'G')};
    const test::UdpSocket rogue;
    Asker before{"GET 0 1000\n", expected_reply("DATA 0 1000\n", 0, 1000)};
    Asker after{"GET 99999999 1\n", expected_reply("DATA 99999999 1\n", 99999999, 1)};
    for (const std::string& datagram : invalid) {
        rogue.send_to(server.port, datagram);
        before.socket.send_to(server.port, before.request);
        ++before.sent;
    }
    std::mt19937 generator(2026);
    for (int i = 0; i < 200; ++i) {
        std::string noise(generator() % 300, '\0');
        for (char& byte : noise) {
            byte = static_cast<char>(generator());
        }
        rogue.send_to(server.port, noise);
    }
    exchange({&before, &after}, rogue, Clock::now() + 1700ms);
    EXPECT_GT(before.answered, 0) << "after " << before.sent << " requests";
    EXPECT_GT(after.answered, 0) << "after " << after.sent << " requests";
    expect_silent_and_running();
}

TEST_F(ServerTraffic, ARequesterThatWentAwayDoesNotDisturbTheServer) {
    {
        const test::UdpSocket gone;
        for (int i = 0; i < 20; ++i) {
            gone.send_to(server.port, "GET 0 1000\n");
        }
    }
    // Its replies now meet a closed port while another requester is being served.
    Asker staying{"GET 1000 1000\n", expected_reply("DATA 1000 1000\n", 1000, 1000)};
    const test::UdpSocket silent;
    exchange({&staying}, silent, Clock::now() + 1700ms);
    EXPECT_GT(staying.answered, 0) << "after " << staying.sent << " requests";
    expect_silent_and_running();
}

// Sends `text` to `port` on 127.0.0.1 with UDP source port 0, `count` times: only a raw
// socket can write such a header. No checksum, which IPv4 allows.
void send_from_port_zero(std::uint16_t port, const std::string& text, int count) {
    const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    ASSERT_GE(raw, 0) << std::strerror(errno);
    const std::array<std::uint16_t, 4> header = {0, htons(port),
                                                 htons(static_cast<std::uint16_t>(8 + text.size())), 0};
    std::string datagram(sizeof header, '\0');
    std::memcpy(datagram.data(), header.data(), sizeof header);
    datagram += text;
    const sockaddr_in to = test::loopback_address(0);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(sendto(raw, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }
    close(raw);
}

TEST_F(ServerTraffic, RequestsFromPortZeroNeitherEndNorStopTheServer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a UDP source port of 0 needs a raw socket, and that needs root";
    }
    // Half of all requests are lost by design: twenty make a reply attempt certain.
    send_from_port_zero(server.port, "GET 0 1\n", 20);
    Asker after{"GET 2000 10\n", expected_reply("DATA 2000 10\n", 2000, 10)};
    const test::UdpSocket silent;
    // Every reply those requests could have had is due within 1.5 s.
    exchange({&after}, silent, Clock::now() + 1700ms);
    EXPECT_GT(after.answered, 0) << "after " << after.sent << " requests";
    expect_silent_and_running();
}

TEST(PathServer, ServesThroughThePathItWasGiven) {
    // No loss and no delay: every request is answered at once.
    const test::RunningServer server = test::start_server(
        BENCH_PATH_SERVER_BIN, {"--loss", "0", "--dup", "0", "--delay", "0-0", "--cap", "5"});
    const test::UdpSocket client;
    for (const std::uint32_t start : {0U, 1000U, 100000000U}) {
        client.send_to(server.port, format("GET {} 1000\n", start));
        const auto reply = client.receive(5s);
        ASSERT_TRUE(reply.has_value()) << "no reply for " << start;
        EXPECT_EQ(reply->bytes, expected_reply(format("DATA {} 1000\n", start), start, 1000));
    }
    const test::RunResult usage = test::run_program(BENCH_PATH_SERVER_BIN, {"--loss", "15", "4000"}, 10s);
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err.rfind("--loss: not a multiple of 10\n", 0), 0U) << usage.err;
}

}  // namespace
}  // namespace drovik
