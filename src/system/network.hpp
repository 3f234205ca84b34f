#pragma once
#include <cstdint>
#include <string_view>

struct sockaddr_in;

namespace drovik {

struct WaitResult {
    bool ready;
    std::int32_t elapsed_ms;
};

// Blocks until `socket_fd` is readable or `timeout_ms` has passed.
WaitResult wait_for_datagram(int socket_fd, std::int32_t timeout_ms);

// True when a send or receive that failed with `error` loses only a datagram, as the
// path might: the fault lies with its destination or passes. Anything else means the
// socket itself is broken.
bool datagram_lost(int error);

// A UDP socket connected to `server_addr`: it sends there and receives only from there,
// and hears what the path reports about it (ICMP) as errors of later calls.
int connected_udp_socket(const sockaddr_in& server_addr);

// The same for a UDP socket already open (one whose making may fail for want of descriptors).
void connect_udp_socket(int socket_fd, const sockaddr_in& server_addr);

// Send and receive buffers large enough for bursts of a thousand datagrams.
void enlarge_socket_buffers(int socket_fd);

// Raises the system-call error for the call that just failed, with its errno.
[[noreturn]] void throw_syscall_error(std::string_view call_name);

// The same for a write that wrote nothing: errno's text when it failed, and no stale one
// when it returned 0.
[[noreturn]] void throw_write_error(std::string_view call_name, long written);

// What a wait that saw data reports: the truncated time waited, capped at the time-out.
std::int32_t ready_elapsed_ms(std::int64_t start_ns, std::int64_t end_ns, std::int32_t timeout_ms);

}  // namespace drovik
