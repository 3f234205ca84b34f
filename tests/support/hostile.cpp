#include "support/hostile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>

#include "support/wire.hpp"
#include "system/format.hpp"

namespace drovik::test {

std::string HostileReplies::make(std::size_t kind, std::uint64_t start) {
    const std::uint64_t length = std::min<std::uint64_t>(1000, file_size - start);
    const std::uint64_t past_end = chunks * 1000;
    switch (kind) {
    case 0:
        return garbage();
    case 1:  // truncated: the datagram ends inside the payload
        return test::data_reply(start, length)
            .substr(0, format("DATA {} {}\n", start, length).size() + length / 2);
    case 2:  // start not on a chunk boundary, length right for it
        return test::data_reply(start + 500, std::min<std::uint64_t>(1000, file_size - (start + 500)));
    case 3:  // one byte too many
        return test::data_reply(start, length + 1);
    case 4:  // one byte too few
        return test::data_reply(start, length - 1);
    case 5:  // just past the last chunk; the unsigned length rule lets it through
        return test::data_reply(past_end, std::min<std::uint64_t>(1000, file_size - past_end));
    case 6:  // far past the end, near the top of the 64-bit range
        return format("DATA {} 1000\n", 18446744073709551000ULL) + std::string(1000, 'Z');
    case 7:
        return format("data {} {}\n", start, length) + test::served_bytes(start, length);
    case 8:
        return format("DATA {} x{}\n", start, length) + test::served_bytes(start, length);
    default:
        return "";
    }
}

std::string HostileReplies::garbage() {
    std::uniform_int_distribution<std::size_t> size(0, 1500);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size(random), '\0');
    for (char& c : bytes) {
        c = static_cast<char>(byte(random));
    }
    return bytes;
}

void serve_hostile(const UdpSocket& server, Process& client, std::uint64_t file_size,
                   std::uint64_t& broken_sent) {
    using namespace std::chrono_literals;
    HostileReplies hostile(file_size);
    std::map<std::uint64_t, std::size_t> asked;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (client.running() && std::chrono::steady_clock::now() < deadline) {
        const std::optional<test::UdpSocket::Datagram> datagram = server.receive(20ms);
        if (!datagram) {
            continue;
        }
        const auto get = test::parse_get(datagram->bytes);
        ASSERT_TRUE(get) << "not a request: " << datagram->bytes;
        const auto [start, length] = *get;
        ASSERT_EQ(start % 1000, 0u);
        ASSERT_LT(start, file_size);
        ASSERT_EQ(length, std::min<std::uint64_t>(1000, file_size - start));
        const std::size_t round = asked[start / 1000]++;
        server.send_to(datagram->sender, hostile.make((round + start / 1000) % hostile.kinds(), start));
        ++broken_sent;
        if (round >= (start == 0 ? 4U : 2U)) {
            server.send_to(datagram->sender, test::data_reply(start, length));
            server.send_to(datagram->sender, test::data_reply(start, length));
        }
    }
}

}  // namespace drovik::test
