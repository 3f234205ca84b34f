#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "path_model.hpp"
#include "request.hpp"

namespace drovik {

// Unbiased integer in lo..hi: the low bits of each engine output, drawn
// again while out of range. Written out because the standard distribution
// gives different sequences on different standard libraries.
std::int32_t uniform_draw(std::mt19937& generator, std::int32_t lo, std::int32_t hi);

// The simulated network's verdict on one admitted request: the delay in
// milliseconds of each reply it gets (none: lost; several: duplicates).
std::vector<std::int32_t> draw_replies_times(std::mt19937& generator, const PathModel& path = {});

// The whole DATA datagram for a valid request: header, then payload.
std::string encode_data_reply(std::uint32_t offset, std::uint32_t byte_count);

// The system call that sends one datagram; tests put a failing one in its place.
using SendCall = ssize_t (*)(int, const msghdr*, int);

// Sends the reply to `r` to where `r` came from, from the address `r` was sent to,
// in one datagram. A send that fails because of the destination or for a passing
// reason loses the reply without a word; any other failure raises.
void send_reply(const request& r, int socket_fd, SendCall send_call = ::sendmsg);

}  // namespace drovik
