#include "server_socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "net/network.hpp"
#include "net/protocol.hpp"

namespace drovik::fetch {

ServerSocket::ServerSocket(const sockaddr_in& address, std::string name)
    : socket_fd(connected_udp_socket(address)), server_name(std::move(name)) {
    try {
        enlarge_socket_buffers(socket_fd);
    } catch (...) {
        close(socket_fd);
        throw;
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
