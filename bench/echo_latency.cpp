// Round-trip time of one datagram at a time to an echo that this tool plays itself:
// sent to TARGET_PORT, which is the echo's ECHO_PORT (direct) or a relay in front of it.
// The echo and the pinger share one thread, so both paths pay the same for them and the
// difference is what lies between. Each ping is a 1017-byte DATA reply, answered as is.
// Usage: bench-echo-latency ECHO_PORT TARGET_PORT COUNT
// Prints: median_us p90_us p99_us lost (after 200 pings of warm-up, not counted)
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

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 1000) == 1;
}

// One round trip in nanoseconds, or -1 when the ping or its echo was lost.
std::int64_t ping(int pinger, int echo, const std::string& message, std::uint16_t target_port) {
    std::vector<char> buffer(65536);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(target_port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::int64_t start_ns = drovik::monotonic_ns();
    sendto(pinger, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&target),
           sizeof target);
    if (!readable(echo)) {
        return -1;
    }
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t size =
        recvfrom(echo, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
    sendto(echo, buffer.data(), static_cast<std::size_t>(size), 0, reinterpret_cast<const sockaddr*>(&sender),
           length);
    if (!readable(pinger)) {
        return -1;
    }
    recv(pinger, buffer.data(), buffer.size(), 0);
    return drovik::monotonic_ns() - start_ns;
}

double percentile_us(std::vector<std::int64_t>& sorted_ns, double share) {
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted_ns.size() - 1));
    return static_cast<double>(sorted_ns[index]) / 1000;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        if (argc != 4) {
            throw std::invalid_argument("Usage: bench-echo-latency ECHO_PORT TARGET_PORT COUNT");
        }
        const auto echo_port = static_cast<std::uint16_t>(std::stoi(argv[1]));
        const auto target_port = static_cast<std::uint16_t>(std::stoi(argv[2]));
        const int count = std::stoi(argv[3]);
        const int echo = drovik::bench::bound_socket(INADDR_LOOPBACK, echo_port);
        const int pinger = drovik::bench::bound_socket(INADDR_LOOPBACK, 0);
        const std::string message = "DATA 0 1000\n" + std::string(1000, 'x');
        std::vector<std::int64_t> times;
        int lost = 0;
        for (int i = 0; i < WARM_UP + count; ++i) {
            const std::int64_t rtt_ns = ping(pinger, echo, message, target_port);
            lost += rtt_ns < 0 && i >= WARM_UP ? 1 : 0;
            if (rtt_ns >= 0 && i >= WARM_UP) {
                times.push_back(rtt_ns);
            }
        }
        if (times.empty()) {
            throw std::runtime_error("every ping was lost");
        }
        std::sort(times.begin(), times.end());
        std::cout << drovik::format("{:.1f} {:.1f} {:.1f} {}", percentile_us(times, 0.5),
                                    percentile_us(times, 0.9), percentile_us(times, 0.99), lost)
                  << std::endl;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
