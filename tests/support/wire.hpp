#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace drovik::test {

// The served file written out from its formula apart from the server's code, so that the
// tests do not check the server against itself: byte p is (166^p mod 251 + p) mod 256.
std::string served_bytes(std::uint64_t offset, std::uint64_t length);

// The whole DATA reply that carries `length` served bytes from `start`.
std::string data_reply(std::uint64_t start, std::uint64_t length);

// The start and length of a GET written exactly as the client writes it, or nothing.
std::optional<std::pair<std::uint64_t, std::uint64_t>> parse_get(const std::string& datagram);

}  // namespace drovik::test
