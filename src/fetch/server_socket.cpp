#include "server_socket.hpp"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "net/format.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"

namespace drovik::fetch {

namespace {
// Room for a few seconds of replies at full rate, whatever the loop is doing; the
// kernel caps it at its own limit.
constexpr int RECEIVE_BUFFER_BYTES = 4 << 20;
}  // namespace

sockaddr_in resolve_ipv4(const Endpoint& endpoint) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(endpoint.host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        throw std::runtime_error(format("cannot resolve {}: {}", endpoint.host, gai_strerror(status)));
    }
    sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    address.sin_port = htons(endpoint.port);
    return address;
}

ServerSocket::ServerSocket(const sockaddr_in& address, std::string name)
    : socket_fd(connected_udp_socket(address)), server_name(std::move(name)) {
    if (setsockopt(socket_fd, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER_BYTES, sizeof RECEIVE_BUFFER_BYTES) !=
        0) {
        close(socket_fd);
        throw_syscall_error("setsockopt");
    }
}

ServerSocket::~ServerSocket() {
    if (socket_fd >= 0) {
        close(socket_fd);
    }
}

ServerSocket::ServerSocket(ServerSocket&& other) noexcept
    : socket_fd(std::exchange(other.socket_fd, -1)),
      server_name(std::move(other.server_name)),
      refusing(other.refusing) {}

bool ServerSocket::send(std::string_view datagram) {
    const ssize_t sent = ::send(socket_fd, datagram.data(), datagram.size(), 0);
    if (sent == static_cast<ssize_t>(datagram.size())) {
        return true;
    }
    if (sent < 0 && errno == ECONNREFUSED) {
        refusing = true;
        return false;
    }
    // Lost like a datagram on the path: the engine asks again in its time.
    if (sent < 0 && datagram_lost(errno)) {
        return true;
    }
    throw_syscall_error("send");
}

ServerSocket::Received ServerSocket::receive(std::vector<std::uint8_t>& buffer) {
    buffer.resize(RECEIVE_BUFFER_SIZE);
    const ssize_t received = recv(socket_fd, buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT);
    if (received >= 0) {
        refusing = false;
        return {Received::datagram, static_cast<std::size_t>(received)};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return {Received::nothing};
    }
    if (errno == ECONNREFUSED) {
        refusing = true;
        return {Received::refused};
    }
    throw_syscall_error("recv");
}

}  // namespace drovik::fetch
