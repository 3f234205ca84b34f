#include "server.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <stdexcept>

#include "delivery.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"

namespace drovik {

Server::Server(std::uint16_t port, const PathModel& path)
    : socket_fd(0), port(port), random_source("/dev/urandom"), generator(random_source()), path(path) {}

std::int32_t Server::rq_get_min_waiting_time() const {
    return min_waiting_time(request_queue, monotonic_ns());
}

std::vector<std::int32_t> Server::get_replies_times() {
    return draw_replies_times(generator, path);
}

void Server::run() {
    socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_fd < 0) {
        throw_syscall_error("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        throw_syscall_error("bind");
    }
    for (;;) {
        const std::int32_t timeout_ms = send_due_replies(
            request_queue, monotonic_ns, [this](const request& r) { send_reply(r, socket_fd); });
        if (wait_for_datagram(socket_fd, timeout_ms).ready) {
            receive_request();
        }
    }
}

void Server::receive_request() {
    std::string buffer(RECEIVE_BUFFER_SIZE, '\0');
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    if (recvfrom(socket_fd, buffer.data(), RECEIVE_LIMIT, 0, reinterpret_cast<sockaddr*>(&source),
                 &source_length) < 0) {
        throw_syscall_error("recvfrom");
    }
    // Whatever follows the first zero byte never reaches the decoder.
    buffer.resize(buffer.find('\0'));
    const request r(source, buffer);
    if (admits(request_queue, r, path.max_pending)) {
        schedule_replies(request_queue, r, get_replies_times(), monotonic_ns);
    }
}

std::uint16_t server_port(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw std::invalid_argument("Usage: ./drovik-server port");
    }
    const auto value = static_cast<std::uint32_t>(std::stoi(args[0]));
    if (value < 1 || value > 65535) {
        throw std::invalid_argument("Invalid port number.");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace drovik
