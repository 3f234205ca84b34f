#include "support/loopback.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "system/udp_port.hpp"

namespace drovik::test {

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Close-on-exec: a program the test starts must not keep the test's port bound.
UdpSocket::UdpSocket() : socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in address = loopback_address(0);
    if (socket_fd < 0 || bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind a loopback UDP socket");
    }
}

UdpSocket::~UdpSocket() {
    close(socket_fd);
}

sockaddr_in UdpSocket::address() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket_fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

std::uint16_t UdpSocket::port() const {
    return ntohs(address().sin_port);
}

void UdpSocket::send_to(std::uint16_t port, const std::string& datagram) const {
    send_to(loopback_address(port), datagram);
}

void UdpSocket::send_to(const sockaddr_in& peer, const std::string& datagram) const {
    if (sendto(socket_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
               sizeof peer) != static_cast<ssize_t>(datagram.size())) {
        throw std::runtime_error("test sendto failed");
    }
}

std::optional<UdpSocket::Datagram> UdpSocket::receive(std::chrono::milliseconds limit) const {
    pollfd entry{socket_fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(limit.count())) != 1) {
        return std::nullopt;
    }
    std::string buffer(65536, '\0');
    Datagram datagram{};
    socklen_t length = sizeof datagram.sender;
    const ssize_t n = recvfrom(socket_fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&datagram.sender), &length);
    if (n < 0) {
        return std::nullopt;
    }
    buffer.resize(static_cast<std::size_t>(n));
    datagram.bytes = std::move(buffer);
    return datagram;
}

bool wait_udp_bound(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (udp_port_bound(port)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::unique_ptr<Process> start_server_on(std::uint16_t port, const std::string& program,
                                         const std::vector<std::string>& options) {
    std::vector<std::string> args = options;
    args.push_back(std::to_string(port));
    auto process = std::make_unique<Process>(program, args);
    if (wait_udp_bound(port, std::chrono::seconds(5)) && process->running()) {
        return process;
    }
    return nullptr;
}

RunningServer start_server(const std::string& program, const std::vector<std::string>& options) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::uint16_t port = free_udp_port();
        if (auto process = start_server_on(port, program, options)) {
            return {std::move(process), port};
        }
    }
    throw std::runtime_error(program + " could not be started");
}

}  // namespace drovik::test
