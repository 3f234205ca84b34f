#pragma once
#include <cstdint>
#include <ostream>
#include <vector>

#include "wire/chunk_reply.hpp"
#include "wire/protocol.hpp"

namespace drovik {

// Waiting time before a requested chunk is asked for again.
inline constexpr std::int32_t RETRANSMIT_MS = 100;

struct Chunk {
    std::vector<std::uint8_t> data;  // empty: not yet taken, or already written
    std::int32_t timer_ms = 0;       // 0: due to be requested
};

// The download's bookkeeping, free of sockets: which chunks are held, which
// are due, and how far the file has been written.
class Transfer {
public:
    Transfer(std::uint64_t file_size, std::uint64_t window_size);

    bool done() const { return first == chunks.size(); }
    // The smallest timer among the window's missing chunks.
    std::int32_t wait_time() const;
    void age(std::int32_t elapsed_ms);
    // True when the reply filled a missing chunk; duplicates and late replies are dropped.
    bool take(ChunkReply&& reply);
    // Writes the contiguous prefix, releases it and slides the window.
    void write_ready(std::ostream& out);
    double percent_done() const;

    // Calls `send(j)` for every due chunk of the window, in ascending order.
    template <class Send>
    void request_due(Send send) {
        for (std::uint64_t j = first; j <= window_last; ++j) {
            Chunk& chunk = chunks[j];
            if (chunk.data.empty() && chunk.timer_ms == 0) {
                send(j);
                chunk.timer_ms = RETRANSMIT_MS;
            }
        }
    }

    std::uint64_t written_chunks() const { return first; }
    std::uint64_t last_in_window() const { return window_last; }
    std::uint64_t taken() const { return received; }

private:
    std::uint64_t window_size;
    std::vector<Chunk> chunks;
    std::uint64_t first = 0;
    std::uint64_t window_last;
    std::uint64_t received = 0;
};

}  // namespace drovik
