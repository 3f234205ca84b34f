#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "fetch/engine.hpp"
#include "pathsim/path_model.hpp"
#include "pathsim/shaped_link.hpp"

namespace drovik::sim {

using fetch::MS;
using fetch::Nanos;
using fetch::SECOND;

// The span over which the chunks a client takes are counted.
inline constexpr Nanos RATE_BIN = 100 * MS;

// One simulated drovik-server on a loopback path with no latency and no cost: its
// own reply queue, admission and delivery draws, on a virtual clock; and, in front of it
// when shaped, the path drovik-trace plays, met by every client's GETs and replies.
struct ServerSetup {
    PathModel path;
    std::uint32_t seed = 1;
    Nanos down_from = -1;  // gone in [down_from, down_until): GETs vanish...
    Nanos down_until = -1;
    bool refuses = false;   // ...or, with this, each brings back a refusal (ICMP)
    Nanos pause_from = -1;  // frozen in [pause_from, pause_until): GETs wait unread
    Nanos pause_until = -1;
    PathShape relay = {};  // seeded from `seed`, each client's directions apart
};

// A server that is never there.
ServerSetup dead_server(std::uint32_t seed, bool refusing);

struct ClientSetup {
    std::uint64_t file_size = 0;
    Nanos start = 0;
    std::vector<std::size_t> servers{0};  // indices into the server list, main first
    std::uint64_t first_chunk = 0;        // held before the start, with...
    std::uint64_t held_stride = 0;        // ...every chunk beyond whose index this divides
    std::uint64_t window = fetch::FILE_WINDOW;
};

struct ClientResult {
    bool complete = false;
    Nanos duration = 0;  // from its start to its last chunk
    std::vector<fetch::ServerStats> per_server;
    std::uint64_t gets = 0;
    std::uint64_t replies = 0;
    std::uint64_t useful = 0;
    std::uint64_t most_ahead = 0;              // the farthest a taken chunk lay beyond the first missing one
    bool each_chunk_once = true;               // every chunk taken exactly once, none outside the file
    std::vector<std::uint32_t> taken_per_bin;  // chunks taken in each RATE_BIN of simulated time
};

// What one direction of the relay's path did to the datagrams shaped on it.
struct QueueResult {
    std::uint64_t offered = 0;   // met the path
    std::uint64_t overflow = 0;  // dropped because its queue was full
    std::optional<std::int64_t> median_wait_ms;
    std::optional<std::int64_t> p95_wait_ms;
    std::vector<std::uint32_t> held_per_bin;  // the most datagrams held in each RATE_BIN
};

struct ServerResult {
    std::uint64_t admitted = 0;
    std::uint64_t refused = 0;         // valid GETs turned away at the cap
    std::array<QueueResult, 2> relay;  // up, down
};

struct Result {
    std::vector<ClientResult> clients;
    std::vector<ServerResult> servers;
};

// Sees each client's engine after each of its steps.
using Observer = std::function<void(Nanos now, std::size_t client, const fetch::Engine& engine)>;

// Runs every client to completion or until `limit` of virtual time has passed.
Result simulate(const std::vector<ServerSetup>& servers, const std::vector<ClientSetup>& clients, Nanos limit,
                std::uint32_t order_seed = 1, const Observer& observe = {});

// Chunks per second that a server on this path can deliver to all its clients together:
// its pending replies over their mean delay, one in E[copies] of them new.
double useful_capacity(const PathModel& path);

// The most useful chunks a second a client can get through the server and the relay's path in
// front of it: the least of the server's capacity, the answered share of the GETs the up way
// passes, the first copies among the replies the down way passes, less what the path loses.
double ceiling(const ServerSetup& server);

// A GET's mean round trip through the relay's path and the server.
Nanos mean_round_trip(const ServerSetup& server);

// How fairly one server was shared along the way: the worst 2 s window of any client, as a
// share of its fair share (the server's useful capacity over the clients running then).
// Windows start 3 s after the client's own start and end while a tenth of its file is
// still missing; nothing when no window qualifies.
std::optional<double> worst_window_share(const std::vector<ClientSetup>& clients, const Result& result,
                                         double capacity);

}  // namespace drovik::sim
