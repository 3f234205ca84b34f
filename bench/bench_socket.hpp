#pragma once
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>

#include "system/network.hpp"

namespace drovik::bench {

// A UDP socket bound to (`bind`) or aimed at (`connect`) `port` on `host`.
template <typename Attach>
int udp_socket(std::uint32_t host, std::uint16_t port, Attach attach, const char* call_name) {
    const int socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_fd < 0) {
        throw_syscall_error("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    if (attach(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        throw_syscall_error(call_name);
    }
    return socket_fd;
}

inline int bound_socket(std::uint32_t host, std::uint16_t port) {
    return udp_socket(host, port, ::bind, "bind");
}

inline int connected_socket(std::uint32_t host, std::uint16_t port) {
    return udp_socket(host, port, ::connect, "connect");
}

}  // namespace drovik::bench
