#include "delivery.hpp"

#include <sys/socket.h>

#include <bit>

#include "net/format.hpp"
#include "net/network.hpp"
#include "virtual_file.hpp"

namespace drovik {

namespace {
constexpr std::int32_t LOST_FROM = 5;        // decision 5..9: no (further) reply
constexpr std::int32_t DUPLICATE_BELOW = 2;  // decision 0..1: one more copy
constexpr std::int32_t MIN_DELAY_MS = 500;
constexpr std::int32_t MAX_DELAY_MS = 1500;
}  // namespace

std::int32_t uniform_draw(std::mt19937& generator, std::int32_t lo, std::int32_t hi) {
    const auto range = static_cast<std::uint32_t>(hi - lo) + 1U;
    const unsigned width = std::bit_width(range - 1U);
    const std::uint32_t mask = width >= 32U ? ~0U : (1U << width) - 1U;
    std::uint32_t value = 0;
    do {
        value = static_cast<std::uint32_t>(generator()) & mask;
    } while (value >= range);
    return lo + static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> draw_replies_times(std::mt19937& generator) {
    std::vector<std::int32_t> delays;
    if (uniform_draw(generator, 0, 9) >= LOST_FROM) {
        return delays;
    }
    do {
        delays.push_back(uniform_draw(generator, MIN_DELAY_MS, MAX_DELAY_MS));
    } while (uniform_draw(generator, 0, 9) < DUPLICATE_BELOW);
    return delays;
}

std::string encode_data_reply(std::uint32_t offset, std::uint32_t byte_count) {
    std::string datagram = format("DATA {} {}\n", offset, byte_count);
    const std::vector<std::uint8_t> payload = virtual_file_bytes(offset, byte_count);
    datagram.append(payload.begin(), payload.end());
    return datagram;
}

void send_reply(const request& r, int socket_fd) {
    const std::string datagram = encode_data_reply(r.offset, r.byte_count);
    const ssize_t sent = sendto(socket_fd, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<const sockaddr*>(&r.source), sizeof r.source);
    if (sent != static_cast<ssize_t>(datagram.size())) {
        throw_syscall_error("sendto");
    }
}

}  // namespace drovik
