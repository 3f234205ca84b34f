#include "support/simulation.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "pathsim/path_model.hpp"
#include "server/delivery.hpp"
#include "server/request_queue.hpp"
#include "wire/chunk_request.hpp"
#include "wire/protocol.hpp"

namespace drovik::sim {

namespace {

// The real server reads a few hundred small datagrams into its socket buffer while frozen.
constexpr std::size_t FROZEN_BACKLOG = 256;

// drovik-trace's path in front of one server, both ways, on the virtual clock: a datagram
// goes on at once where its direction is not shaped, else through the shaped link.
class SimRelay {
public:
    SimRelay(const PathShape& shape, std::uint32_t seed)
        : shape(shape),
          seed(seed),
          links{ShapedLink(shape.path, shape.rate), ShapedLink(shape.path, shape.rate)} {}

    // A datagram from (up) or for (down) `client` reaches the relay at `now`; pass(client,
    // datagram) takes each copy that leaves, now or later.
    template <class Pass>
    void carry(Direction direction, std::size_t client, std::string_view datagram, Nanos now, Pass pass) {
        const std::size_t way = direction == Direction::up ? 0 : 1;
        if (!shape.active() || !(way == 0 ? shape.up : shape.down)) {
            pass(client, datagram);
            return;
        }
        while (streams.size() <= client) {
            const std::uint64_t index = streams.size();
            std::seed_seq up{std::uint64_t{seed}, index, std::uint64_t{0}};
            std::seed_seq down{std::uint64_t{seed}, index, std::uint64_t{1}};
            streams.push_back({std::mt19937(up), std::mt19937(down)});
        }
        ++counters[way].offered;
        if (links[way].take(client, datagram, streams[client][way], now).fate == Fate::overflow) {
            ++counters[way].overflow;
        }
        release(direction, now, pass);
    }

    template <class Pass>
    void release(Direction direction, Nanos now, Pass pass) {
        ShapedLink& link = links[direction == Direction::up ? 0 : 1];
        link.release(now,
                     [&](std::size_t client, std::string_view datagram, Fate) { pass(client, datagram); });
    }

    std::optional<Nanos> next_event() const {
        std::optional<Nanos> next = links[0].next_ns();
        if (const auto down = links[1].next_ns()) {
            next = std::min(next.value_or(*down), *down);
        }
        return next;
    }

    // Notes the datagrams held at `now` in the span it falls in.
    void watch(Nanos now) {
        const auto bin = static_cast<std::size_t>(now / RATE_BIN);
        for (std::size_t way = 0; way < 2; ++way) {
            std::vector<std::uint32_t>& held = counters[way].held_per_bin;
            if (held.size() <= bin) {
                held.resize(bin + 1);
            }
            held[bin] = std::max(held[bin], static_cast<std::uint32_t>(links[way].held()));
        }
    }

    std::array<QueueResult, 2> outcome() const {
        std::array<QueueResult, 2> result = counters;
        for (std::size_t way = 0; way < 2; ++way) {
            result[way].median_wait_ms = links[way].wait_quantile_ms(0.5);
            result[way].p95_wait_ms = links[way].wait_quantile_ms(0.95);
        }
        return result;
    }

private:
    PathShape shape;
    std::uint32_t seed;
    std::array<ShapedLink, 2> links;                   // up, down
    std::vector<std::array<std::mt19937, 2>> streams;  // each client's, up and down
    std::array<QueueResult, 2> counters;
};

struct Arrival {
    std::size_t slot;  // the server's place in the client's list
    std::uint64_t chunk;
    bool refusal;
};

class SimServer {
public:
    explicit SimServer(const ServerSetup& setup)
        : relay(setup.relay, setup.seed), setup(setup), generator(setup.seed) {}

    // A GET from `client` reaches the server's socket at `now`.
    void receive(std::size_t client, std::string_view datagram, Nanos now) {
        if (down(now)) {
            return;
        }
        if (frozen(now)) {
            if (unread.size() < FROZEN_BACKLOG) {
                unread.emplace_back(client, std::string(datagram));
            }
            return;
        }
        read(client, datagram, now);
    }

    // Sends what is due at `now` through deliver(client, offset); a thawed server
    // then reads what waited in its socket.
    template <class Deliver>
    void run(Nanos now, Deliver deliver) {
        if (frozen(now)) {
            return;
        }
        deliver_due(
            queue, [now] { return now; },
            [&](const request& r) {
                deliver(static_cast<std::size_t>(ntohs(r.source.sin_port) - 1), r.offset);
            });
        while (!unread.empty()) {
            read(unread.front().first, unread.front().second, now);
            unread.pop_front();
        }
    }

    // The next instant at which run() has something to do.
    Nanos next_event(Nanos now) const {
        if (frozen(now)) {
            return setup.pause_until;
        }
        // A reply leaves once it is less than a whole millisecond away.
        return queue.empty() ? INT64_MAX : std::max(now, queue.begin()->first - MS + 1);
    }

    bool refuses(Nanos now) const { return setup.refuses && down(now); }
    ServerResult counters;
    SimRelay relay;

private:
    bool down(Nanos now) const { return now >= setup.down_from && now < setup.down_until; }
    bool frozen(Nanos now) const { return now >= setup.pause_from && now < setup.pause_until; }

    void read(std::size_t client, std::string_view datagram, Nanos now) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_port = htons(static_cast<std::uint16_t>(client + 1));
        const request r(source, std::string(datagram));
        if (admits(queue, r, setup.path.max_pending)) {
            ++counters.admitted;
            schedule(queue, r, draw_replies_times(generator, setup.path), [now] { return now; });
        } else if (r.valid) {
            ++counters.refused;
        }
    }

    ServerSetup setup;
    std::mt19937 generator;
    RequestQueue queue;
    std::deque<std::pair<std::size_t, std::string>> unread;
};

class SimClient {
public:
    explicit SimClient(const ClientSetup& setup) : setup(setup), taken(chunk_count(setup.file_size)) {}

    bool started(Nanos now) const { return now >= setup.start; }
    bool finished() const { return engine && engine->done(); }
    Nanos next_event() const { return engine ? wake : setup.start; }
    bool ready(Nanos now) const { return started(now) && !finished() && (!inbox.empty() || wake <= now); }
    void arrive(const Arrival& arrival) { inbox.push_back(arrival); }

    std::optional<std::size_t> slot_of(std::size_t server) const {
        const auto at = std::find(setup.servers.begin(), setup.servers.end(), server);
        return at == setup.servers.end() ? std::nullopt : std::optional(at - setup.servers.begin());
    }

    template <class Send>
    void step(Nanos now, Send send) {
        if (!engine) {
            fetch::ChunkSet held(taken.size());
            for (std::uint64_t chunk = 0; chunk < held.size(); ++chunk) {
                if (was_held(chunk)) {
                    held.insert(chunk);
                }
            }
            engine.emplace(fetch::EngineConfig{setup.file_size, held, setup.servers.size(), setup.window},
                           now);
        }
        for (; !inbox.empty(); inbox.pop_front()) {
            take(inbox.front(), now);
        }
        engine->on_tick(now, [&](std::size_t slot, std::uint64_t chunk) {
            send(setup.servers[slot], encode_chunk_request(setup.file_size, chunk));
        });
        wake = engine->next_wake(now);
        if (engine->done()) {
            result.complete = true;
            result.duration = now - setup.start;
        }
    }

    const fetch::Engine& state() const { return *engine; }

    ClientResult outcome() {
        if (engine) {
            for (std::size_t s = 0; s < setup.servers.size(); ++s) {
                const fetch::ServerStats& stats = engine->stats(s);
                result.per_server.push_back(stats);
                result.gets += stats.gets;
                result.replies += stats.replies;
                result.useful += stats.useful;
            }
        }
        return result;
    }

private:
    bool was_held(std::uint64_t chunk) const {
        return chunk < setup.first_chunk || (setup.held_stride > 0 && chunk % setup.held_stride == 0);
    }

    void take(const Arrival& arrival, Nanos now) {
        if (arrival.refusal) {
            engine->on_unreachable(arrival.slot, now);
            return;
        }
        const std::uint64_t first = engine->first_missing();
        if (!engine->on_reply(arrival.slot, arrival.chunk, now)) {
            return;
        }
        if (arrival.chunk >= taken.size() || was_held(arrival.chunk) || taken[arrival.chunk]) {
            result.each_chunk_once = false;
            return;
        }
        taken[arrival.chunk] = true;
        const auto bin = static_cast<std::size_t>(now / RATE_BIN);
        if (result.taken_per_bin.size() <= bin) {
            result.taken_per_bin.resize(bin + 1);
        }
        ++result.taken_per_bin[bin];
        result.most_ahead = std::max(result.most_ahead, arrival.chunk - first);
    }

    ClientSetup setup;
    std::optional<fetch::Engine> engine;
    std::deque<Arrival> inbox;
    Nanos wake = 0;
    std::vector<bool> taken;
    ClientResult result;
};

}  // namespace

ServerSetup dead_server(std::uint32_t seed, bool refusing) {
    ServerSetup server{PathModel{}, seed};
    server.down_from = 0;
    server.down_until = INT64_MAX;
    server.refuses = refusing;
    return server;
}

Result simulate(const std::vector<ServerSetup>& server_setups, const std::vector<ClientSetup>& client_setups,
                Nanos limit, std::uint32_t order_seed, const Observer& observe) {
    std::vector<SimServer> servers(server_setups.begin(), server_setups.end());
    std::vector<SimClient> clients(client_setups.begin(), client_setups.end());
    std::vector<std::size_t> order(clients.size());
    std::iota(order.begin(), order.end(), 0);
    // No client is always the first to reach a freed slot of the server.
    std::mt19937 shuffle(order_seed);
    Nanos now = 0;
    while (now <= limit) {
        for (std::size_t k = 0; k < servers.size(); ++k) {
            SimServer& server = servers[k];
            // The reply's datagram on the relay's path: the chunk's index is all a client reads of it.
            const auto reach_client = [&](std::size_t c, std::string_view reply) {
                if (const auto slot = clients[c].slot_of(k)) {
                    clients[c].arrive({*slot, std::stoull(std::string(reply)), false});
                }
            };
            server.relay.release(Direction::up, now,
                                 [&](std::size_t c, std::string_view get) { server.receive(c, get, now); });
            server.run(now, [&](std::size_t c, std::uint32_t offset) {
                server.relay.carry(Direction::down, c, std::to_string(offset / MAX_CHUNK_SIZE), now,
                                   reach_client);
            });
            server.relay.release(Direction::down, now, reach_client);
            server.relay.watch(now);
        }
        std::shuffle(order.begin(), order.end(), shuffle);
        for (const std::size_t c : order) {
            if (clients[c].ready(now)) {
                clients[c].step(now, [&](std::size_t k, const std::string& get) {
                    servers[k].relay.carry(
                        Direction::up, c, get, now,
                        [&](std::size_t, std::string_view passed) { servers[k].receive(c, passed, now); });
                    if (servers[k].refuses(now)) {
                        clients[c].arrive({*clients[c].slot_of(k), 0, true});
                    }
                });
                if (observe) {
                    observe(now, c, clients[c].state());
                }
            }
        }
        Nanos next = INT64_MAX;
        for (const SimServer& server : servers) {
            next = std::min({next, server.next_event(now), server.relay.next_event().value_or(INT64_MAX)});
        }
        for (const SimClient& client : clients) {
            if (!client.finished()) {
                next = std::min(next, client.next_event());
            }
        }
        if (next == INT64_MAX) {
            break;
        }
        now = std::max(next, now + 1);
    }
    Result result;
    for (SimClient& client : clients) {
        result.clients.push_back(client.outcome());
    }
    for (const SimServer& server : servers) {
        result.servers.push_back(server.counters);
        result.servers.back().relay = server.relay.outcome();
    }
    return result;
}

double useful_capacity(const PathModel& path) {
    const double mean_delay_s = (path.min_delay_ms + path.max_delay_ms) / 2e3;
    const double copies = 1.0 / (1.0 - static_cast<double>(path.duplicate_below) / path.decisions);
    return static_cast<double>(path.max_pending) / mean_delay_s / copies;
}

namespace {

// What one shaped direction keeps of what it is given, and its mean delay.
double kept(const PathShape& shape, bool shaped) {
    const PathModel& path = shape.path;
    return shaped ? static_cast<double>(path.lost_from) / path.decisions : 1.0;
}

Nanos mean_delay(const PathModel& path) {
    return (Nanos{path.min_delay_ms} + path.max_delay_ms) * MS / 2;
}

}  // namespace

double ceiling(const ServerSetup& server) {
    const PathShape& shape = server.relay;
    const bool up = shape.active() && shape.up;
    const bool down = shape.active() && shape.down;
    const double answered = static_cast<double>(server.path.lost_from) / server.path.decisions;
    const double copies =
        1.0 / (1.0 - static_cast<double>(server.path.duplicate_below) / server.path.decisions);
    double most = useful_capacity(server.path) * kept(shape, down);
    if (shape.rate && up) {
        most = std::min(most, *shape.rate * answered * kept(shape, down));
    }
    if (shape.rate && down) {
        most = std::min(most, *shape.rate / copies);
    }
    return most;
}

Nanos mean_round_trip(const ServerSetup& server) {
    const PathShape& shape = server.relay;
    const Nanos relay = shape.active() ? mean_delay(shape.path) : 0;
    return mean_delay(server.path) +
           relay * ((shape.active() && shape.up ? 1 : 0) + (shape.active() && shape.down ? 1 : 0));
}

namespace {

constexpr std::size_t WINDOW_BINS = 2 * SECOND / RATE_BIN;
constexpr Nanos SETTLE = 3 * SECOND;
constexpr double STILL_MISSING = 0.1;

// Bin by bin, the share of the server each running client is due.
std::vector<double> fair_shares(const std::vector<ClientSetup>& clients, const Result& result,
                                std::size_t bins) {
    std::vector<double> running(bins);
    for (std::size_t c = 0; c < clients.size(); ++c) {
        const Nanos end =
            result.clients[c].complete ? clients[c].start + result.clients[c].duration : INT64_MAX;
        for (std::size_t b = 0; b < bins; ++b) {
            const Nanos at = static_cast<Nanos>(b) * RATE_BIN;
            running[b] += at >= clients[c].start && at < end ? 1 : 0;
        }
    }
    std::vector<double> shares(bins);
    for (std::size_t b = 0; b < bins; ++b) {
        shares[b] = running[b] > 0 ? 1.0 / running[b] : 1.0;
    }
    return shares;
}

}  // namespace

std::optional<double> worst_window_share(const std::vector<ClientSetup>& clients, const Result& result,
                                         double capacity) {
    std::size_t bins = 0;
    for (const ClientResult& client : result.clients) {
        bins = std::max(bins, client.taken_per_bin.size());
    }
    const std::vector<double> shares = fair_shares(clients, result, bins);
    const double per_bin = capacity * static_cast<double>(RATE_BIN) / SECOND;
    std::optional<double> worst;
    for (std::size_t c = 0; c < clients.size(); ++c) {
        const std::vector<std::uint32_t>& taken = result.clients[c].taken_per_bin;
        const double total = std::accumulate(taken.begin(), taken.end(), 0.0);
        double before = 0;  // taken before the window
        for (std::size_t b = 0; b + WINDOW_BINS <= taken.size(); before += taken[b++]) {
            const double in = std::accumulate(taken.begin() + b, taken.begin() + b + WINDOW_BINS, 0.0);
            if (static_cast<Nanos>(b) * RATE_BIN < clients[c].start + SETTLE) {
                continue;
            }
            if (before + in > (1 - STILL_MISSING) * total) {
                break;
            }
            const double due =
                per_bin * std::accumulate(shares.begin() + b, shares.begin() + b + WINDOW_BINS, 0.0);
            worst = std::min(worst.value_or(in / due), in / due);
        }
    }
    return worst;
}

}  // namespace drovik::sim
