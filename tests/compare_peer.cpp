// The tiny programs drovik-compare's tests race: a server that answers every GET once at
// once, a client that asks for one chunk at a time until it has them all, and a client that
// hangs beside a child of its own after writing both their pids to a file (a FIFO).
// Usage: compare-peer serve PORT | get HOST PORT OUTPUT BYTES | hang FILE
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#include "support/loopback.hpp"
#include "support/wire.hpp"

namespace {

int udp_socket(const std::string& host, std::uint16_t port, bool bound) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = drovik::test::loopback_address(port);
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    const auto* where = reinterpret_cast<const sockaddr*>(&address);
    if (fd < 0 || (bound ? bind(fd, where, sizeof address) : connect(fd, where, sizeof address)) != 0) {
        _exit(1);
    }
    return fd;
}

int serve(std::uint16_t port) {
    const int fd = udp_socket("127.0.0.1", port, true);
    std::string buffer(65536, '\0');
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const ssize_t got =
            recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &length);
        if (const auto get = drovik::test::parse_get(
                buffer.substr(0, static_cast<std::size_t>(std::max<ssize_t>(got, 0))))) {
            const std::string reply = drovik::test::data_reply(get->first, get->second);
            sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&peer), length);
        }
    }
}

int get(const std::string& host, std::uint16_t port, const std::string& output, std::uint64_t bytes) {
    const int fd = udp_socket(host, port, false);
    std::ofstream file(output, std::ios::binary);
    std::string buffer(65536, '\0');
    for (std::uint64_t start = 0; start < bytes; start += 1000) {
        const std::uint64_t length = std::min<std::uint64_t>(1000, bytes - start);
        const std::string request = "GET " + std::to_string(start) + " " + std::to_string(length) + "\n";
        for (bool done = false; !done;) {
            send(fd, request.data(), request.size(), 0);
            // Long enough that a loaded machine never makes it ask twice.
            pollfd entry{fd, POLLIN, 0};
            const ssize_t got = poll(&entry, 1, 5000) == 1 ? recv(fd, buffer.data(), buffer.size(), 0) : -1;
            done = got > 0 &&
                   buffer.substr(0, static_cast<std::size_t>(got)) == drovik::test::data_reply(start, length);
        }
        file << drovik::test::served_bytes(start, length);
    }
    return file.close(), file ? 0 : 1;
}

int hang(const std::string& file) {
    const pid_t child = fork();
    if (child == 0) {
        for (;;) {
            pause();
        }
    }
    std::ofstream(file) << getpid() << " " << child << "\n";
    for (;;) {
        pause();
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3) {
        return serve(static_cast<std::uint16_t>(std::stoi(argv[2])));
    }
    if (mode == "get" && argc == 6) {
        return get(argv[2], static_cast<std::uint16_t>(std::stoi(argv[3])), argv[4], std::stoull(argv[5]));
    }
    if (mode == "hang" && argc == 3) {
        return hang(argv[2]);
    }
    return 2;
}
