// The yardstick for server ingest: one socket bound like the server's, then
// poll and recvfrom into one reused buffer, and nothing else.
// Usage: bench-bare-receive PORT (runs until killed)
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <exception>
#include <iostream>
#include <string>

#include "bench_socket.hpp"
#include "system/network.hpp"

namespace {

[[noreturn]] void receive_for_ever(int socket_fd) {
    static std::array<char, 65536> buffer;
    for (;;) {
        pollfd entry{socket_fd, POLLIN, 0};
        if (poll(&entry, 1, 1000) < 0) {
            drovik::throw_syscall_error("poll");
        }
        if (entry.revents & POLLIN) {
            sockaddr_in source{};
            socklen_t length = sizeof source;
            if (recvfrom(socket_fd, buffer.data(), buffer.size() - 1, 0, reinterpret_cast<sockaddr*>(&source),
                         &length) < 0) {
                drovik::throw_syscall_error("recvfrom");
            }
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        if (argc != 2) {
            throw std::invalid_argument("Usage: bench-bare-receive PORT");
        }
        receive_for_ever(
            drovik::bench::bound_socket(INADDR_ANY, static_cast<std::uint16_t>(std::stoi(argv[1]))));
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
