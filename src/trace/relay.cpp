#include "trace/relay.hpp"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "system/clock.hpp"
#include "system/datagram.hpp"
#include "system/descriptor.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "system/resolve.hpp"
#include "trace/client_pool.hpp"
#include "trace/csv.hpp"
#include "trace/listener.hpp"
#include "trace/output_buffer.hpp"
#include "trace/summary.hpp"
#include "trace/trace_output.hpp"
#include "wire/protocol.hpp"

namespace drovik::trace {

namespace {

// Each live client holds a socket towards the server: a sender that changes its port for every
// datagram must not exhaust the descriptors.
constexpr std::size_t MAX_CLIENTS = 512;
// Client lines in the summary, past which gone clients are folded into one more: with the
// relay's own four at most, the summary stays within 1000 lines and a few hundred kB.
constexpr std::size_t MAX_CLIENT_LINES = 995;
// Datagrams taken from one socket in one turn of the loop: enough for the bursts of a thousand
// that drovik-client-fast sends in a few turns, few enough that no socket holds up the others,
// the rows or a stop signal.
constexpr int TURN_DATAGRAMS = 64;
// Rows wait here for a slow output: some 70000 of them, a few seconds of the busiest relaying.
constexpr std::size_t OUTPUT_BUFFER_BYTES = 4 << 20;
// At the end, what the output has not taken after a second without progress is given up.
constexpr int OUTPUT_PATIENCE_MS = 1000;

std::uint64_t address_key(const sockaddr_in& address) {
    return std::uint64_t{address.sin_addr.s_addr} << 16 | address.sin_port;
}

bool out_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::size_t index_of(Direction direction) {
    return direction == Direction::up ? 0 : 1;
}

std::uint64_t system_seed() {
    std::random_device device;
    return std::uint64_t{device()} << 32 | device();
}

class Relay {
public:
    Relay(const RelayOptions& options, const sockaddr_in& listening, const sockaddr_in& server,
          const TraceOutput& output, const StopSignals& signals, const SocketCalls& calls);
    // Forwards and records until idle or a stop signal.
    void run();
    // Writes what the output takes of the rest, gives back the sockets and prints the summary.
    void finish(std::ostream& log);

private:
    // A live client's socket towards the server, and its shaping draws, up and down.
    struct Connection {
        Descriptor upstream;
        sockaddr_in address;
        std::unique_ptr<std::array<std::mt19937, 2>> streams;
        std::size_t held = 0;  // copies the path holds for it
    };

    bool idle(std::int64_t now_ns) const;
    void watch(std::int64_t now_ns);
    int poll_timeout_ms(std::int64_t now_ns) const;
    std::optional<ClientPool::Quiet> quietest_free() const;
    void forget(std::size_t slot);
    bool make_room();
    void forget_quiet_clients(std::int64_t now_ns);
    std::optional<Descriptor> upstream_socket();
    std::unique_ptr<std::array<std::mt19937, 2>> draws();
    std::optional<std::size_t> client_at(const sockaddr_in& address, std::int64_t now_ns);
    std::optional<std::string_view> received(ssize_t size, const char* call, std::uint64_t& errors);
    void receive_from_clients();
    void receive_from_server(std::size_t slot);
    void pass(std::size_t slot, Direction direction, std::string_view datagram, std::int64_t now_ns);
    void release(Direction direction, std::int64_t now_ns);
    bool deliver(std::size_t slot, Direction direction, std::string_view datagram);
    void record(std::size_t slot, Direction direction, std::string_view datagram, Fate fate,
                std::int64_t now_ns);
    void write_out_the_rest();

    SocketCalls calls;
    const TraceOutput& output;
    const StopSignals& signals;  // a stop signal ends the relay at a point of its choosing
    Descriptor listener;
    sockaddr_in server;
    std::optional<std::int64_t> idle_ns;
    std::int64_t forget_ns;
    PathShape shape;
    std::uint64_t seed;
    std::uint64_t arrivals = 0;       // clients met so far
    std::array<ShapedLink, 2> links;  // up, down
    ClientPool pool{MAX_CLIENTS, MAX_CLIENT_LINES};
    std::vector<std::optional<Connection>> connections{MAX_CLIENTS};  // by the pool's slot
    std::vector<pollfd> watched;
    std::vector<std::size_t> watched_slots;  // from watched[3] on
    std::vector<char> buffer = std::vector<char>(RECEIVE_BUFFER_SIZE);
    OutputBuffer rows;
    std::optional<std::int64_t> start_ns;
    std::int64_t last_ns;
    RelayCounts counts;
};

Relay::Relay(const RelayOptions& options, const sockaddr_in& listening, const sockaddr_in& server,
             const TraceOutput& output, const StopSignals& signals, const SocketCalls& calls)
    : calls(calls),
      output(output),
      signals(signals),
      listener(listening_socket(listening)),
      server(server),
      forget_ns(static_cast<std::int64_t>(options.forget_s * 1e9)),
      shape(options.shape),
      seed(options.seed ? *options.seed : system_seed()),
      links{ShapedLink(shape.path, shape.rate), ShapedLink(shape.path, shape.rate)},
      rows(
          OUTPUT_BUFFER_BYTES,
          [&output](const char* data, std::size_t size) { return output.write(data, size); },
          [&output](std::size_t bytes) { output.cut_back(bytes); }),
      last_ns(monotonic_ns()) {
    if (options.idle_s) {
        idle_ns = static_cast<std::int64_t>(*options.idle_s * 1e9);
    }
}

// Each turn takes the stop signals, then serves the output and takes a bounded number of
// datagrams from each socket, so that a flood delays other clients' datagrams but never the
// end of the relay or the rows.
void Relay::run() {
    rows.add(CSV_HEADER, monotonic_ns());
    for (;;) {
        const std::int64_t now_ns = monotonic_ns();
        release(Direction::up, now_ns);
        release(Direction::down, now_ns);
        forget_quiet_clients(now_ns);
        if (idle(now_ns)) {
            return;
        }
        watch(now_ns);
        if (poll(watched.data(), watched.size(), poll_timeout_ms(now_ns)) < 0 && errno != EINTR) {
            throw_syscall_error("poll");
        }
        if (watched[0].revents != 0) {
            // Taken, not left pending: a second signal, not this one, cuts short the rows' last writing.
            signals.take();
            return;
        }
        if (watched[2].revents != 0) {
            rows.write_some();
        }
        if (watched[1].revents != 0) {
            receive_from_clients();
        }
        // Clients that came during this turn are watched from the next one on.
        for (std::size_t i = 3; i < watched.size(); ++i) {
            if (watched[i].revents != 0) {
                receive_from_server(watched_slots[i - 3]);
            }
        }
    }
}

bool Relay::idle(std::int64_t now_ns) const {
    return idle_ns && links[0].held() + links[1].held() == 0 && now_ns - last_ns >= *idle_ns;
}

// The stop signals, the clients' socket, the output when a write is due, each live client's socket.
void Relay::watch(std::int64_t now_ns) {
    const std::optional<std::int64_t> write_due = rows.write_due_ns();
    watched.assign({{signals.fd(), POLLIN, 0},
                    {listener.get(), POLLIN, 0},
                    {write_due && *write_due <= now_ns ? output.fd() : -1, POLLOUT, 0}});
    watched_slots.clear();
    pool.for_each_live([&](std::size_t slot) {
        watched.push_back({connections[slot]->upstream.get(), POLLIN, 0});
        watched_slots.push_back(slot);
    });
}

// Until the next thing to do: the end when idle, forgetting a client, a held datagram that
// may leave, a batch of rows to write.
int Relay::poll_timeout_ms(std::int64_t now_ns) const {
    std::optional<std::int64_t> wake_ns;
    const auto sooner = [&](std::optional<std::int64_t> when_ns) {
        if (when_ns && (!wake_ns || *when_ns < *wake_ns)) {
            wake_ns = when_ns;
        }
    };
    if (idle_ns && links[0].held() + links[1].held() == 0) {
        sooner(last_ns + *idle_ns);
    }
    if (const std::optional<ClientPool::Quiet> quiet = quietest_free()) {
        sooner(quiet->active_ns + forget_ns);
    }
    sooner(links[0].next_ns());
    sooner(links[1].next_ns());
    if (const std::optional<std::int64_t> write_due = rows.write_due_ns(); write_due && *write_due > now_ns) {
        sooner(write_due);
    }
    if (!wake_ns) {
        return -1;
    }
    const std::int64_t left_ns = *wake_ns - now_ns;
    return left_ns <= 0 ? 0 : to_ms(left_ns + 999999);
}

// The least recently active client the path holds nothing for: a client with datagrams on
// the way stays until they have left.
std::optional<ClientPool::Quiet> Relay::quietest_free() const {
    return pool.quietest([this](std::size_t slot) { return connections[slot]->held == 0; });
}

// A gone client gives back its socket, its ranges and its draws, and keeps its counts for the
// summary. One that speaks again is met as a new client.
void Relay::forget(std::size_t slot) {
    connections[slot].reset();
    pool.forget(slot);
}

// When the pool or the descriptors are full, a client goes: one the server never answered if
// there is one.
bool Relay::make_room() {
    const std::optional<std::size_t> slot =
        pool.to_evict([this](std::size_t live) { return connections[live]->held == 0; });
    if (!slot) {
        return false;
    }
    forget(*slot);
    ++counts.evicted;
    return true;
}

// A relay that runs for hours meets thousands of clients.
void Relay::forget_quiet_clients(std::int64_t now_ns) {
    for (std::optional<ClientPool::Quiet> quiet = quietest_free();
         quiet && now_ns - quiet->active_ns >= forget_ns; quiet = quietest_free()) {
        forget(quiet->slot);
    }
}

// A socket towards the server, or nothing when there is no descriptor to spare even after
// a client gave back its own.
std::optional<Descriptor> Relay::upstream_socket() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && out_of_descriptors(errno) && make_room()) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        if (out_of_descriptors(errno)) {
            return std::nullopt;
        }
        throw_syscall_error("socket");
    }
    Descriptor owned(fd);
    enlarge_socket_buffers(fd);
    connect_udp_socket(fd, server);
    return owned;
}

// One stream per client and direction, so that the same datagrams arriving in the same order
// meet the same draws whatever other clients do.
std::unique_ptr<std::array<std::mt19937, 2>> Relay::draws() {
    const std::uint64_t arrival = arrivals++;
    if (!shape.active()) {
        return nullptr;
    }
    std::seed_seq up{seed, seed >> 32, arrival, std::uint64_t{0}};
    std::seed_seq down{seed, seed >> 32, arrival, std::uint64_t{1}};
    return std::make_unique<std::array<std::mt19937, 2>>(std::array{std::mt19937(up), std::mt19937(down)});
}

// The slot of the client at `address`, met before or new; nothing when no more can be served.
std::optional<std::size_t> Relay::client_at(const sockaddr_in& address, std::int64_t now_ns) {
    const std::uint64_t key = address_key(address);
    if (const std::optional<std::size_t> known = pool.find(key)) {
        return known;
    }
    if (pool.full() && !make_room()) {
        return std::nullopt;
    }
    std::optional<Descriptor> upstream = upstream_socket();
    if (!upstream) {
        return std::nullopt;
    }
    const std::size_t slot = pool.add(key, address_name(address), now_ns);
    connections[slot].emplace(Connection{std::move(*upstream), address, nullptr, 0});
    connections[slot]->streams = draws();
    return slot;
}

// The datagram a receive of `size` bytes got, or nothing once the socket is drained. An error
// that concerns one destination (a refusal, an ICMP "unreachable" for an earlier datagram) is
// counted in `errors` and ends the turn's receiving.
std::optional<std::string_view> Relay::received(ssize_t size, const char* call, std::uint64_t& errors) {
    if (size >= 0) {
        return std::string_view(buffer.data(), static_cast<std::size_t>(size));
    }
    // Interrupted, it comes back next turn.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return std::nullopt;
    }
    if (!datagram_lost(errno)) {
        throw_syscall_error(call);
    }
    ++errors;
    return std::nullopt;
}

void Relay::receive_from_clients() {
    for (int taken = 0; taken < TURN_DATAGRAMS; ++taken) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = calls.recvfrom(listener.get(), buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&sender), &length);
        const std::optional<std::string_view> datagram = received(size, "recvfrom", counts.listener_errors);
        if (!datagram) {
            return;
        }
        const std::int64_t now_ns = monotonic_ns();
        if (const std::optional<std::size_t> slot = client_at(sender, now_ns)) {
            pass(*slot, Direction::up, *datagram, now_ns);
        } else {
            ++counts.unrelayed;
        }
    }
}

void Relay::receive_from_server(std::size_t slot) {
    // Forgotten during this turn to make room.
    if (!connections[slot]) {
        return;
    }
    std::uint64_t errors = 0;
    for (int taken = 0; taken < TURN_DATAGRAMS; ++taken) {
        const ssize_t size =
            calls.recv(connections[slot]->upstream.get(), buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT);
        const std::optional<std::string_view> datagram = received(size, "recv", errors);
        if (!datagram) {
            break;
        }
        pass(slot, Direction::down, *datagram, monotonic_ns());
    }
    if (errors > 0) {
        pool.count_network_error(slot);
    }
}

// Straight on where the path is not shaped; otherwise through its draws and queue.
void Relay::pass(std::size_t slot, Direction direction, std::string_view datagram, std::int64_t now_ns) {
    if (!shape.active() || !(direction == Direction::up ? shape.up : shape.down)) {
        record(slot, direction, datagram, deliver(slot, direction, datagram) ? Fate::relayed : Fate::lost,
               now_ns);
        return;
    }
    Connection& client = *connections[slot];
    const ShapedLink::Taken taken =
        links[index_of(direction)].take(slot, datagram, (*client.streams)[index_of(direction)], now_ns);
    if (taken.copies == 0) {
        record(slot, direction, datagram, taken.fate, now_ns);
        return;
    }
    client.held += taken.copies;
    // What need not wait leaves at once.
    release(direction, now_ns);
}

void Relay::release(Direction direction, std::int64_t now_ns) {
    links[index_of(direction)].release(now_ns, [&](std::size_t slot, std::string_view datagram, Fate fate) {
        --connections[slot]->held;
        record(slot, direction, datagram, deliver(slot, direction, datagram) ? fate : Fate::lost, now_ns);
    });
}

// Sends one datagram on; false when it did not leave whole (an error that concerns its
// destination, or a send cut short).
bool Relay::deliver(std::size_t slot, Direction direction, std::string_view datagram) {
    const Connection& client = *connections[slot];
    const bool up = direction == Direction::up;
    const Sent sent = send_datagram(datagram.size(), up ? "send" : "sendto", [&] {
        return up ? calls.send(client.upstream.get(), datagram.data(), datagram.size(), 0)
                  : calls.sendto(listener.get(), datagram.data(), datagram.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&client.address), sizeof client.address);
    });
    if (sent == Sent::lost) {
        pool.count_network_error(slot);
    }
    // Cut short, it reaches no one whole: lost too.
    return sent == Sent::whole;
}

void Relay::record(std::size_t slot, Direction direction, std::string_view datagram, Fate fate,
                   std::int64_t now_ns) {
    if (!start_ns) {
        start_ns = now_ns;
    }
    last_ns = now_ns;
    const Classified what = classify(datagram);
    const std::optional<bool> first = pool.count(slot, direction, what, fate, now_ns);
    rows.add(csv_row({now_ns - *start_ns, pool.name(slot), direction, what, datagram.size(), first, fate}),
             now_ns);
}

void Relay::finish(std::ostream& log) {
    write_out_the_rest();
    signals.drop_from_now_on();
    // A relay that ran out of descriptors gets them back before it writes its last words.
    connections.clear();
    std::vector<RateWait> waits;
    for (const Direction direction : {Direction::up, Direction::down}) {
        const ShapedLink& link = links[index_of(direction)];
        if (shape.rate && (direction == Direction::up ? shape.up : shape.down)) {
            waits.push_back({direction == Direction::up ? "up" : "down", link.wait_quantile_ms(0.5),
                             link.wait_quantile_ms(0.95)});
        }
    }
    print_summary(log, pool, shape.active(), counts, rows, waits);
    if (const std::optional<int> error = rows.failure()) {
        throw std::runtime_error(
            format("Error while writing the trace to {}: {}.", output.name(), std::strerror(*error)));
    }
}

// The rest goes out while the output takes it; another stop signal, or a second without
// progress (a reader that stopped reading), gives it up.
void Relay::write_out_the_rest() {
    while (!rows.empty()) {
        std::array<pollfd, 2> ready{{{output.fd(), POLLOUT, 0}, {signals.fd(), POLLIN, 0}}};
        const int count = poll(ready.data(), ready.size(), OUTPUT_PATIENCE_MS);
        if (count < 0 && errno != EINTR) {
            throw_syscall_error("poll");
        }
        if (count == 0 || ready[1].revents != 0) {
            break;
        }
        rows.write_some();
    }
    rows.abandon();
}

}  // namespace

void run_relay(const RelayOptions& options, const StopSignals& signals, std::ostream& log,
               const SocketCalls& calls) {
    const sockaddr_in listening = resolve_ipv4(options.bind_address, options.listen_port);
    const sockaddr_in server = resolve_ipv4(options.server_host, options.server_port);
    if (reaches(listening, server)) {
        throw UsageError(
            format("The server {} is the relay itself, listening on {}: it cannot relay to itself.",
                   address_name(server), address_name(listening)));
    }
    // Before the port is bound, so that a client finds the trace's writer there once it is.
    const TraceOutput output(options.output, signals);
    if (output.stopped()) {
        signals.drop_from_now_on();
        return;
    }
    Relay relay(options, listening, server, output, signals, calls);
    relay.run();
    relay.finish(log);
}

}  // namespace drovik::trace
