// Round-trip time of one datagram at a time to an echo in another process, sent either
// to the echo's port (direct) or to a relay in front of it: the difference is the relay's
// two passes, wake-ups included. Each ping is a 1017-byte DATA reply, echoed as is.
// An exchange sends numbered GETs at a steady pace instead, for a relay that shapes the path.
// Usage: bench-echo-latency echo PORT          (runs until killed)
//        bench-echo-latency ping PORT COUNT
//        bench-echo-latency exchange PORT COUNT SPACING_US
// ping prints: median_us p90_us p99_us lost (after 200 pings of warm-up, not counted)
// exchange sends "GET i 1\n" for i = 0..COUNT-1 every SPACING_US and takes echoes until a
// second after the last one; it prints: sent echoes distinct mean_ms min_ms max_ms (round trips
// of every echo, copies included)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_socket.hpp"
#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

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

// Round trips in milliseconds of every echo of the numbered GETs sent at `sent_ns`.
void take_echoes(int fd, const std::vector<std::int64_t>& sent_ns, std::vector<double>& rtt_ms,
                 std::vector<bool>& echoed, std::vector<char>& buffer) {
    for (;;) {
        const ssize_t size = recv(fd, buffer.data(), buffer.size() - 1, MSG_DONTWAIT);
        if (size < 0) {
            return;
        }
        buffer[static_cast<std::size_t>(size)] = '\0';
        unsigned long number = 0;
        if (std::sscanf(buffer.data(), "GET %lu 1\n", &number) == 1 && number < sent_ns.size()) {
            rtt_ms.push_back(static_cast<double>(drovik::monotonic_ns() - sent_ns[number]) / 1e6);
            echoed[number] = true;
        }
    }
}

void exchange(int fd, int count, std::int64_t spacing_ns) {
    std::vector<std::int64_t> sent_ns(static_cast<std::size_t>(count));
    std::vector<bool> echoed(sent_ns.size());
    std::vector<double> rtt_ms;
    std::vector<char> buffer(65536);
    const std::int64_t start_ns = drovik::monotonic_ns();
    const std::int64_t end_ns = start_ns + count * spacing_ns + 1000000000;
    std::size_t next = 0;
    for (std::int64_t now_ns = start_ns; now_ns < end_ns; now_ns = drovik::monotonic_ns()) {
        if (next < sent_ns.size() && now_ns >= start_ns + static_cast<std::int64_t>(next) * spacing_ns) {
            const std::string message = drovik::format("GET {} 1\n", next);
            sent_ns[next++] = now_ns;
            send(fd, message.data(), message.size(), 0);
            continue;
        }
        const std::int64_t wake_ns =
            next < sent_ns.size() ? start_ns + static_cast<std::int64_t>(next) * spacing_ns : end_ns;
        pollfd entry{fd, POLLIN, 0};
        poll(&entry, 1, static_cast<int>((wake_ns - now_ns) / 1000000));
        take_echoes(fd, sent_ns, rtt_ms, echoed, buffer);
    }
    if (rtt_ms.empty()) {
        throw std::runtime_error("no echo came");
    }
    double sum = 0;
    for (const double rtt : rtt_ms) {
        sum += rtt;
    }
    std::cout << drovik::format("{} {} {} {:.2f} {:.2f} {:.2f}", count, rtt_ms.size(),
                                std::count(echoed.begin(), echoed.end(), true),
                                sum / static_cast<double>(rtt_ms.size()),
                                *std::min_element(rtt_ms.begin(), rtt_ms.end()),
                                *std::max_element(rtt_ms.begin(), rtt_ms.end()))
              << std::endl;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        const std::string role = argc > 1 ? argv[1] : "";
        if (!((role == "echo" && argc == 3) || (role == "ping" && argc == 4) ||
              (role == "exchange" && argc == 5))) {
            throw std::invalid_argument(
                "Usage: bench-echo-latency echo PORT | ping PORT COUNT | exchange PORT COUNT SPACING_US");
        }
        const auto port = static_cast<std::uint16_t>(std::stoi(argv[2]));
        if (role == "echo") {
            echo_for_ever(drovik::bench::bound_socket(INADDR_LOOPBACK, port));
        }
        if (role == "exchange") {
            exchange(drovik::bench::connected_socket(INADDR_LOOPBACK, port), std::stoi(argv[3]),
                     std::int64_t{std::stoi(argv[4])} * 1000);
            return 0;
        }
        ping_and_report(drovik::bench::connected_socket(INADDR_LOOPBACK, port), std::stoi(argv[3]));
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
