// Round-trip time of one datagram at a time to an echo in another process, sent either
// to the echo's port (direct) or to a relay in front of it: the difference is the relay's
// two passes, wake-ups included. Each ping is a 1017-byte DATA reply, echoed as is.
// Usage: bench-echo-latency echo PORT          (runs until killed)
//        bench-echo-latency ping PORT COUNT
// ping prints: median_us p90_us p99_us lost (after 200 pings of warm-up, not counted)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_socket.hpp"
#include "net/format.hpp"
#include "net/network.hpp"

namespace {

constexpr int WARM_UP = 200;

[[noreturn]] void echo_for_ever(int fd) {
    std::vector<char> buffer(65536);
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size =
            recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0) {
            drovik::throw_syscall_error("recvfrom");
        }
        sendto(fd, buffer.data(), static_cast<std::size_t>(size), 0,
               reinterpret_cast<const sockaddr*>(&sender), length);
    }
}

// One round trip in nanoseconds, or -1 when no echo came within a second.
std::int64_t ping(int fd, const std::string& message, std::vector<char>& buffer) {
    const std::int64_t start_ns = drovik::monotonic_ns();
    send(fd, message.data(), message.size(), 0);
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) != 1 || recv(fd, buffer.data(), buffer.size(), 0) < 0) {
        return -1;
    }
    return drovik::monotonic_ns() - start_ns;
}

double percentile_us(const std::vector<std::int64_t>& sorted_ns, double share) {
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted_ns.size() - 1));
    return static_cast<double>(sorted_ns[index]) / 1000;
}

void ping_and_report(int fd, int count) {
    const std::string message = "DATA 0 1000\n" + std::string(1000, 'x');
    std::vector<char> buffer(65536);
    std::vector<std::int64_t> times;
    int lost = 0;
    for (int i = 0; i < WARM_UP + count; ++i) {
        const std::int64_t rtt_ns = ping(fd, message, buffer);
        if (i >= WARM_UP) {
            lost += rtt_ns < 0 ? 1 : 0;
            if (rtt_ns >= 0) {
                times.push_back(rtt_ns);
            }
        }
    }
    if (times.empty()) {
        throw std::runtime_error("every ping was lost");
    }
    std::sort(times.begin(), times.end());
    std::cout << drovik::format("{:.1f} {:.1f} {:.1f} {}", percentile_us(times, 0.5),
                                percentile_us(times, 0.9), percentile_us(times, 0.99), lost)
              << std::endl;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        const std::string role = argc > 1 ? argv[1] : "";
        if (!((role == "echo" && argc == 3) || (role == "ping" && argc == 4))) {
            throw std::invalid_argument("Usage: bench-echo-latency echo PORT | ping PORT COUNT");
        }
        const auto port = static_cast<std::uint16_t>(std::stoi(argv[2]));
        if (role == "echo") {
            echo_for_ever(drovik::bench::bound_socket(INADDR_LOOPBACK, port));
        }
        ping_and_report(drovik::bench::connected_socket(INADDR_LOOPBACK, port), std::stoi(argv[3]));
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
