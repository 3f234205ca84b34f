#include "server_socket.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "system/datagram.hpp"
#include "system/network.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

ServerSocket::ServerSocket(const sockaddr_in& address, std::string name)
    : socket(connected_udp_socket(address)), server_name(std::move(name)) {
    enlarge_socket_buffers(socket.get());
}

bool ServerSocket::send(std::string_view datagram) {
    const Sent sent = send_datagram(
        datagram.size(), "send", [&] { return ::send(socket.get(), datagram.data(), datagram.size(), 0); });
    if (sent != Sent::lost) {
        // A GET cut short is one the server drops: lost on the way, like any other.
        return true;
    }
    error = errno;
    return false;
}

ServerSocket::Received ServerSocket::receive(std::vector<std::uint8_t>& buffer) {
    buffer.resize(RECEIVE_BUFFER_SIZE);
    const ssize_t received = recv(socket.get(), buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT);
    if (received >= 0) {
        error = 0;
        return {Received::datagram, static_cast<std::size_t>(received)};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {Received::nothing};
    }
    if (!datagram_lost(errno)) {
        throw_syscall_error("recv");
    }
    error = errno;
    return {Received::unreachable};
}

}  // namespace drovik::fetch
