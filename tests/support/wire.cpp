#include "support/wire.hpp"

#include <cstdio>

#include "system/format.hpp"

namespace drovik::test {

std::string served_bytes(std::uint64_t offset, std::uint64_t length) {
    std::string bytes(length, '\0');
    for (std::uint64_t k = 0; k < length; ++k) {
        const std::uint64_t p = offset + k;
        unsigned power = 1;  // 166 has order 250 modulo 251
        for (std::uint64_t e = 0; e < p % 250; ++e) {
            power = power * 166 % 251;
        }
        bytes[k] = static_cast<char>((power + p) % 256);
    }
    return bytes;
}

std::string data_reply(std::uint64_t start, std::uint64_t length) {
    return format("DATA {} {}\n", start, length) + served_bytes(start, length);
}

// Read without std::regex: GCC 12 warns inside it at -O1 under the sanitizers.
std::optional<std::pair<std::uint64_t, std::uint64_t>> parse_get(const std::string& datagram) {
    unsigned long long start = 0;
    unsigned long long length = 0;
    if (std::sscanf(datagram.c_str(), "GET %llu %llu", &start, &length) != 2 ||
        datagram != format("GET {} {}\n", start, length)) {
        return std::nullopt;
    }
    return std::make_pair(std::uint64_t{start}, std::uint64_t{length});
}

}  // namespace drovik::test
