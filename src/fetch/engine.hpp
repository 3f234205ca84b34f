#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace drovik::fetch {

// Monotonic time in nanoseconds, always passed in: the engine never reads a clock.
using Nanos = std::int64_t;

struct EngineConfig {
    std::uint64_t file_size = 0;
    std::uint64_t first_chunk = 0;  // chunks before this are already held (resume)
    std::size_t servers = 1;
    std::uint64_t window = 10000;  // at most this many chunks from the first missing one are asked
};

struct ServerStats {
    std::uint64_t gets = 0;     // GETs sent
    std::uint64_t replies = 0;  // usable replies received
    std::uint64_t useful = 0;   // replies that brought a missing chunk
};

// When to ask which server for which chunk. Pure: time comes in as an argument and
// GETs go out through a callback, so it runs the same on sockets and on a simulated
// server with a virtual clock.
class Engine {
public:
    using Send = std::function<void(std::size_t server, std::uint64_t chunk)>;

    Engine(const EngineConfig& config, Nanos now);

    // A well-formed reply for `chunk` came from `server`. True when the chunk was
    // missing: the caller keeps its bytes; otherwise it is a duplicate or late.
    bool on_reply(std::size_t server, std::uint64_t chunk, Nanos now);
    // The server's host said that nothing listens there (an ICMP refusal).
    void on_refused(std::size_t server, Nanos now);
    // Sends every GET that is due at `now`.
    void on_tick(Nanos now, const Send& send);
    // When on_tick wants to run next, if no reply comes first.
    Nanos next_wake(Nanos now) const;

    bool done() const { return first == chunk_total; }
    // Chunks before this one are all held.
    std::uint64_t first_missing() const { return first; }
    std::uint64_t chunks() const { return chunk_total; }
    const ServerStats& stats(std::size_t server) const { return server_stats[server]; }

private:
    struct Slot {
        bool have = false;
        Nanos last_send = 0;
    };
    Slot& slot(std::uint64_t chunk) { return slots[chunk % slots.size()]; }

    std::uint64_t chunk_total;
    std::uint64_t first;
    std::uint64_t next_new;
    std::vector<Slot> slots;                            // a ring over [first, first + window)
    std::deque<std::pair<Nanos, std::uint64_t>> asked;  // (send time, chunk), oldest first
    std::vector<ServerStats> server_stats;
    std::size_t next_server = 0;
    Nanos last_tick;
    double tokens = 0;
};

}  // namespace drovik::fetch
