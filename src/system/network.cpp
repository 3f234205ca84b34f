#include "network.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "system/clock.hpp"
#include "system/descriptor.hpp"
#include "system/format.hpp"

namespace drovik {

void throw_syscall_error(std::string_view call_name) {
    const char* reason = std::strerror(errno);
    throw std::runtime_error(format("Error while executing {}: {}.", call_name, reason));
}

void throw_write_error(std::string_view call_name, long written) {
    if (written < 0) {
        throw_syscall_error(call_name);
    }
    throw std::runtime_error(format("Error while executing {}: nothing was written.", call_name));
}

bool datagram_lost(int error) {
    // A peer names its own address, so anyone can aim a reply where the kernel will not
    // send it: port 0 or a local address gone (EINVAL, EADDRNOTAVAIL), a broadcast
    // address (EACCES), a firewall (EPERM). What a router or the destination's host says
    // in ICMP, at once or on a later call of a connected socket: no route, no host, no
    // one listening, administratively prohibited, a bad header (ENETUNREACH, EHOSTUNREACH,
    // ENETDOWN, EHOSTDOWN, ENONET, ECONNREFUSED, ENOPROTOOPT, EOPNOTSUPP, EPROTO, EACCES).
    // Full buffers pass (ENOBUFS, ENOMEM, EAGAIN). An interruption (EINTR) loses nothing: the
    // call is made again. EBADF, ENOTSOCK, EFAULT and the rest do not pass.
    switch (error) {
    case EINVAL:
    case EPERM:
    case EACCES:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ENONET:
    case EADDRNOTAVAIL:
    case ECONNREFUSED:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case EPROTO:
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:  // also EWOULDBLOCK
        return true;
    default:
        return false;
    }
}

int connected_udp_socket(const sockaddr_in& server_addr) {
    Descriptor socket_fd(socket(AF_INET, SOCK_DGRAM, 0));
    if (socket_fd.get() < 0) {
        throw_syscall_error("socket");
    }
    connect_udp_socket(socket_fd.get(), server_addr);
    return socket_fd.release();
}

void connect_udp_socket(int socket_fd, const sockaddr_in& server_addr) {
    // Without path MTU discovery the kernel fragments what a path cannot carry whole, and a
    // forged "fragmentation needed" cannot surface as an error on a later call.
    const int dont = IP_PMTUDISC_DONT;
    if (setsockopt(socket_fd, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont) != 0) {
        throw_syscall_error("setsockopt");
    }
    if (connect(socket_fd, reinterpret_cast<const sockaddr*>(&server_addr), sizeof server_addr) < 0) {
        throw_syscall_error("connect");
    }
}

namespace {
// Bursts of a thousand requests or replies must fit in the kernel's queues.
constexpr int SOCKET_BUFFER_BYTES = 4 << 20;

// The forced size needs CAP_NET_ADMIN; without it the kernel caps the plain one.
void enlarge_buffer(int fd, int forced, int plain) {
    if (setsockopt(fd, SOL_SOCKET, forced, &SOCKET_BUFFER_BYTES, sizeof SOCKET_BUFFER_BYTES) != 0 &&
        setsockopt(fd, SOL_SOCKET, plain, &SOCKET_BUFFER_BYTES, sizeof SOCKET_BUFFER_BYTES) != 0) {
        throw_syscall_error("setsockopt");
    }
}
}  // namespace

void enlarge_socket_buffers(int socket_fd) {
    enlarge_buffer(socket_fd, SO_RCVBUFFORCE, SO_RCVBUF);
    enlarge_buffer(socket_fd, SO_SNDBUFFORCE, SO_SNDBUF);
}

std::int32_t ready_elapsed_ms(std::int64_t start_ns, std::int64_t end_ns, std::int32_t timeout_ms) {
    const std::int32_t waited = to_ms(end_ns - start_ns);
    return waited < timeout_ms ? waited : timeout_ms;
}

WaitResult wait_for_datagram(int socket_fd, std::int32_t timeout_ms) {
    pollfd entry{socket_fd, POLLIN, 0};
    const std::int64_t start_ns = monotonic_ns();
    const int poll_ret_val = poll(&entry, 1, timeout_ms);
    if (poll_ret_val < 0) {
        throw_syscall_error("poll");
    }
    if (poll_ret_val == 0) {
        // A time-out counts in full, whatever the clock says.
        return {false, timeout_ms};
    }
    assert(poll_ret_val == 1);
    if (entry.revents != POLLIN) {
        throw std::runtime_error("poll returned value different than POLLIN");
    }
    return {true, ready_elapsed_ms(start_ns, monotonic_ns(), timeout_ms)};
}

}  // namespace drovik
