#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "chunk_set.hpp"
#include "delay_estimate.hpp"
#include "pacer.hpp"
#include "rate_control.hpp"
#include "reply_meter.hpp"
#include "start_burst.hpp"
#include "window.hpp"

namespace drovik::fetch {

struct EngineConfig {
    std::uint64_t file_size = 0;
    ChunkSet held;  // chunks held before this run (resume); empty when none
    std::size_t servers = 1;
    std::uint64_t window = STREAM_WINDOW;
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
    // The socket reported an error about the server (ICMP: nothing listens there, no
    // route, prohibited...): it is only probed until it answers again.
    void on_unreachable(std::size_t server, Nanos now);
    // Sends every GET that is due at `now`.
    void on_tick(Nanos now, const Send& send);
    // Chunks from `end` on cannot be taken yet (a stream holds no more): they are not
    // asked for until the room grows.
    void set_room(std::uint64_t end) { room_end = end; }
    // When on_tick has something to do next, if no reply comes first.
    Nanos next_wake(Nanos now) const;

    bool done() const { return first == chunk_total; }
    // Chunks before this one are all held.
    std::uint64_t first_missing() const { return first; }
    std::uint64_t chunks() const { return chunk_total; }
    const ServerStats& stats(std::size_t server) const { return servers[server].stats; }
    // What the engine has learned of a server: its pace, its replies per GET when it
    // refuses nothing, and the largest delay seen.
    double rate(std::size_t server) const { return servers[server].pacer.rate(); }
    std::optional<double> baseline(std::size_t server) const { return servers[server].control.baseline(); }
    Nanos largest_delay(std::size_t server) const { return servers[server].delays.largest(); }
    // How long datagrams wait in line on the way to the server and back lately, if known.
    std::optional<ReplyMeter::Queue> queue(std::size_t server, Nanos now) const {
        return servers[server].meter.queue(now);
    }

private:
    // What is known of one chunk near the window: its latest GET, and its first one so
    // far as a reply can still be told to answer it: one from the server it went to, when
    // that server was not asked again.
    struct Slot {
        Nanos last_send = 0;
        std::uint32_t first_ms = 0;  // the first GET left this long before the latest
        std::uint8_t asks = 0;       // saturates
        std::uint8_t first_server = 0;
        std::uint8_t last_server = 0;
        bool first_only : 1 = true;  // its first server was asked for it once
        bool last_alone : 1 = true;  // the latest GET left once every earlier one had timed out
        bool have : 1 = false;
    };
    struct Ask {
        Nanos at;
        std::uint64_t chunk;
    };
    // One server: its pace, what it taught, and its GETs oldest first.
    struct ServerState {
        explicit ServerState(Nanos now);
        RateControl control;
        Pacer pacer;
        StartBurst start;
        DelayEstimate delays;
        ReplyMeter meter;
        std::deque<Ask> asked;
        ServerStats stats;
        Nanos started;
        Nanos teaching_since;  // only GETs sent since teach its delays
        std::optional<Nanos> last_reply;
        std::optional<Nanos> first_heard;  // how long after its start its first reply came
        std::uint64_t gets_since_reply = 0;
        double rate_at_reply;  // the pace when its latest reply came, to go back to
        bool probed = false;   // unreachable or quiet: probed until it answers
        bool wanting = false;  // had a token and nothing to send since the last control
    };
    struct Choice {
        std::uint64_t chunk;
        bool fresh;  // never asked before
        bool alone;  // every earlier GET for it timed out
    };

    Slot& slot(std::uint64_t chunk) { return slots[chunk % slots.size()]; }
    const Slot& slot(std::uint64_t chunk) const { return slots[chunk % slots.size()]; }
    bool known(std::uint64_t chunk) const;
    void skip_held_before();
    void advance_first();
    bool stale(const Ask& ask);
    void revive(std::size_t server, Nanos now);
    bool hushed(std::size_t server, Nanos now) const;
    Nanos timeout_of(std::size_t server, Nanos now) const;
    bool taught_any() const;
    Nanos live_timeout(std::size_t server, Nanos now) const;
    std::optional<Choice> choose(std::size_t server, Nanos now);
    std::uint64_t take_oldest(std::size_t server);
    bool spare_capacity(Nanos now) const;
    std::optional<Nanos> early_limit(std::size_t server, Nanos now) const;
    std::optional<std::size_t> oldest_due(Nanos now, bool early, std::optional<std::size_t> skip = {});
    void learn(std::size_t server, const Slot& asked, Nanos now);
    void send_one(std::size_t server, const Choice& choice, Nanos now, const Send& send);
    void control(Nanos now);

    std::uint64_t chunk_total;
    ChunkSet held_before;
    std::uint64_t window;
    std::uint64_t first;
    std::uint64_t next_new;
    std::uint64_t room_end = UINT64_MAX;
    std::vector<Slot> slots;  // a ring over [first - window, first + window)
    std::vector<ServerState> servers;
    std::size_t turn = 0;
    bool starved = false;  // the last tick stopped with tokens left: nothing was worth sending
    Nanos next_control;
    std::uint64_t taken_ahead = 0;  // chunks taken beyond the first missing one
    double useful_per_second = 0;
    std::uint64_t useful_counted = 0;
    Nanos settled_at;  // repeats are free until then
};

}  // namespace drovik::fetch
