// Junk for drovik-trace's targets, sent to 127.0.0.1:PORT.
// "flood": "junk" from one socket as fast as it can, for SECONDS or until killed.
// "ports": one "junk" from each of COUNT sources of their own (127.1.0.1 and on, ports 20000 to
// 59999 each), RATE a second; a source already taken is passed over.
// Usage: bench-junk flood PORT SECONDS | bench-junk ports PORT COUNT RATE
// Prints the datagrams sent.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench_socket.hpp"
#include "system/descriptor.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char JUNK[] = "junk";
constexpr int PORTS_PER_ADDRESS = 40000;

long flood(std::uint16_t port, double seconds) {
    const drovik::Descriptor socket_fd(drovik::bench::connected_socket(INADDR_LOOPBACK, port));
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    long sent = 0;
    while (Clock::now() < end) {
        for (int i = 0; i < 100; ++i) {
            sent += send(socket_fd.get(), JUNK, sizeof JUNK - 1, 0) > 0 ? 1 : 0;
        }
    }
    return sent;
}

long from_ports(std::uint16_t port, long count, double rate) {
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_port = htons(port);
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto start = Clock::now();
    long sent = 0;
    for (long source = 0; sent < count; ++source) {
        const auto address = static_cast<std::uint32_t>(0x7f010001 + source / PORTS_PER_ADDRESS);
        const auto source_port = static_cast<std::uint16_t>(20000 + source % PORTS_PER_ADDRESS);
        const drovik::Descriptor socket_fd(socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in own{};
        own.sin_family = AF_INET;
        own.sin_port = htons(source_port);
        own.sin_addr.s_addr = htonl(address);
        if (bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
            continue;
        }
        std::this_thread::sleep_until(start +
                                      std::chrono::duration<double>(static_cast<double>(sent) / rate));
        sent += sendto(socket_fd.get(), JUNK, sizeof JUNK - 1, 0, reinterpret_cast<const sockaddr*>(&relay),
                       sizeof relay) > 0
                    ? 1
                    : 0;
    }
    return sent;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "flood" && argc == 4) {
            std::cout << flood(static_cast<std::uint16_t>(std::stoi(argv[2])), std::stod(argv[3]))
                      << std::endl;
        } else if (mode == "ports" && argc == 5) {
            std::cout << from_ports(static_cast<std::uint16_t>(std::stoi(argv[2])), std::stol(argv[3]),
                                    std::stod(argv[4]))
                      << std::endl;
        } else {
            throw std::invalid_argument(
                "Usage: bench-junk flood PORT SECONDS | bench-junk ports PORT COUNT RATE");
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
