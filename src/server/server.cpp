#include "server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cassert>
#include <stdexcept>

#include "delivery.hpp"
#include "packet_info.hpp"
#include "pathsim/path_model.hpp"
#include "system/clock.hpp"
#include "system/network.hpp"
#include "wire/protocol.hpp"

namespace drovik {

Server::Server(std::uint16_t port, const PathModel& path)
    : socket_fd(0), port(port), random_source("/dev/urandom"), generator(random_source()), path(path) {}

std::int32_t Server::rq_get_min_waiting_time() const {
    assert(!request_queue.empty());
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
    // Each request then tells which local address it was sent to, so that its replies
    // can leave from there: a client's connected socket takes nothing from elsewhere.
    const int on = 1;
    if (setsockopt(socket_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0) {
        throw_syscall_error("setsockopt");
    }
    for (;;) {
        const std::int32_t timeout_ms =
            deliver_due(request_queue, monotonic_ns, [this](const request& r) { send_reply(r, socket_fd); });
        if (wait_for_datagram(socket_fd, timeout_ms).ready) {
            receive_request();
        }
    }
}

void Server::receive_request() {
    std::string buffer(RECEIVE_BUFFER_SIZE, '\0');
    sockaddr_in source{};
    iovec into{buffer.data(), RECEIVE_LIMIT};
    PacketInfoControl control{};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &into;
    message.msg_iovlen = 1;
    expect_packet_info(message, control);
    if (recvmsg(socket_fd, &message, 0) < 0) {
        throw_syscall_error("recvfrom");
    }
    // Whatever follows the first zero byte never reaches the decoder.
    buffer.resize(buffer.find('\0'));
    const request r(source, buffer, destination_of(message));
    // No reply can be sent to port 0: such a request must not take a queue slot.
    if (r.source.sin_port != 0 && admits(request_queue, r, path.max_pending)) {
        schedule(request_queue, r, get_replies_times(), monotonic_ns);
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
