#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "request.hpp"

namespace drovik {

// The whole DATA datagram for a valid request: header, then payload.
std::string encode_data_reply(std::uint32_t offset, std::uint32_t byte_count);

// The system call that sends one datagram; tests put a failing one in its place.
using SendCall = ssize_t (*)(int, const msghdr*, int);

// Sends the reply to `r` to where `r` came from, from the address `r` was sent to,
// in one datagram. A send that fails because of the destination or for a passing
// reason loses the reply without a word; any other failure raises.
void send_reply(const request& r, int socket_fd, SendCall send_call = ::sendmsg);

}  // namespace drovik
