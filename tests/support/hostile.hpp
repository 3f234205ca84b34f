#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "support/loopback.hpp"
#include "support/process.hpp"

namespace drovik::test {

// Replies the client must refuse when it asked for the chunk at `start`.
class HostileReplies {
public:
    explicit HostileReplies(std::uint64_t file_size)
        : file_size(file_size), chunks((file_size + 999) / 1000) {}

    std::size_t kinds() const { return 10; }

    std::string make(std::size_t kind, std::uint64_t start);

private:
    std::string garbage();

    std::uint64_t file_size;
    std::uint64_t chunks;
    std::mt19937 random{7};
};

// Plays the hostile server for `client` until it ends (at most 30 s): each chunk's
// first two requests get only a broken reply, later ones a broken reply and the
// correct one twice. The first chunk is held back two rounds longer, so that a client
// with a window holds later chunks out of order while their duplicates arrive.
// Fails the test on a request that is not a GET for a chunk of the file.
void serve_hostile(const UdpSocket& server, Process& client, std::uint64_t file_size,
                   std::uint64_t& broken_sent);

}  // namespace drovik::test
