// A bound loopback socket that never reads: requests sent to it are neither
// answered nor refused, so a client keeps its whole window outstanding.
// Usage: bench-silent-peer PORT (runs until killed)
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>

#include "net/network.hpp"

int main(int argc, char* argv[]) {
    try {
        if (argc != 2) {
            throw std::invalid_argument("Usage: bench-silent-peer PORT");
        }
        const int socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (socket_fd < 0) {
            drovik::throw_syscall_error("socket");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(argv[1])));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
            drovik::throw_syscall_error("bind");
        }
        for (;;) {
            pause();
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
