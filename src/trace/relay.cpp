#include "trace/relay.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "net/descriptor.hpp"
#include "net/format.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"
#include "net/resolve.hpp"
#include "net/stop_signals.hpp"
#include "trace/client_table.hpp"
#include "trace/csv.hpp"
#include "trace/output_buffer.hpp"
#include "trace/tally.hpp"
#include "trace/trace_output.hpp"

namespace drovik::trace {

namespace {

// Each client holds a socket towards the server while it is heard from: a sender that
// changes its port for every datagram must not exhaust the descriptors or the memory.
constexpr std::size_t MAX_CLIENTS = 512;
// Rows wait here for a slow output: some 70000 of them, a few seconds of the busiest relaying.
constexpr std::size_t OUTPUT_BUFFER_BYTES = 4 << 20;
// At the end, what the output has not taken after a second without progress is given up.
constexpr int OUTPUT_PATIENCE_MS = 1000;

// The socket clients talk to, with large buffers.
int listening_socket(const sockaddr_in& address) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        throw_syscall_error("socket");
    }
    enlarge_socket_buffers(fd);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw_syscall_error("bind");
    }
    return fd;
}

std::string address_name(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return format("{}:{}", text, ntohs(address.sin_port));
}

std::uint64_t address_key(const sockaddr_in& address) {
    return std::uint64_t{address.sin_addr.s_addr} << 16 | address.sin_port;
}

bool out_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::size_t index_of(Direction direction) {
    return direction == Direction::up ? 0 : 1;
}

class Relay {
public:
    Relay(const RelayOptions& options, const SocketCalls& calls);
    // Forwards and records until idle or a stop signal.
    void run();
    // Writes what the output takes of the rest, gives back the sockets and prints the summary.
    void finish(std::ostream& log);

private:
    struct Client {
        std::size_t index;  // in `clients`
        Descriptor upstream;
        sockaddr_in address;
        std::string name;
        ClientTally tally;
        // The shaping draws, up and down, while the client is there.
        std::unique_ptr<std::array<std::mt19937, 2>> streams;
        std::size_t held = 0;  // copies the path holds for it
    };

    bool idle(std::int64_t now_ns) const;
    int poll_timeout_ms(std::int64_t now_ns) const;
    std::optional<ClientTable::Entry> least_recent_free() const;
    void forget(Client& client);
    bool make_room();
    void forget_quiet_clients(std::int64_t now_ns);
    std::optional<Descriptor> upstream_socket();
    Client* client_at(const sockaddr_in& address, std::int64_t now_ns);
    std::optional<std::string_view> received(ssize_t size, const char* call, std::uint64_t& errors);
    void drain_listener();
    void drain_upstream(Client& client);
    void pass(Client& client, Direction direction, std::string_view datagram, std::int64_t now_ns);
    void release(Direction direction, std::int64_t now_ns);
    bool deliver(Client& client, Direction direction, std::string_view datagram);
    void record(Client& client, Direction direction, std::string_view datagram, Fate fate,
                std::int64_t now_ns);
    void write_out_the_rest();
    void print_summaries(std::ostream& log) const;

    SocketCalls calls;
    // First, so that a named pipe without a reader holds up nothing else, and a stop signal
    // still ends the relay while it waits for one.
    TraceOutput output;
    StopSignals signals;  // a stop signal ends the relay at a point of its choosing
    Descriptor listener;
    sockaddr_in server;
    std::optional<std::int64_t> idle_ns;
    std::int64_t forget_ns;
    PathShape shape;
    std::uint64_t seed;
    std::array<ShapedLink, 2> links;               // up, down
    std::vector<std::unique_ptr<Client>> clients;  // every one, in the order they came
    ClientTable table{MAX_CLIENTS};                // those still heard from
    std::vector<char> buffer = std::vector<char>(RECEIVE_BUFFER_SIZE);
    OutputBuffer rows;
    std::optional<std::int64_t> start_ns;
    std::int64_t last_ns;
    std::uint64_t unrelayed = 0;  // datagrams from clients beyond the table, or with no socket to spare
    std::uint64_t evicted = 0;    // clients forgotten early to make room
    std::uint64_t listener_errors = 0;
};

std::uint64_t system_seed() {
    std::random_device device;
    return std::uint64_t{device()} << 32 | device();
}

Relay::Relay(const RelayOptions& options, const SocketCalls& calls)
    : calls(calls),
      output(options.output),
      listener(listening_socket(resolve_ipv4(options.bind_address, options.listen_port))),
      server(resolve_ipv4(options.server_host, options.server_port)),
      forget_ns(static_cast<std::int64_t>(options.forget_s * 1e9)),
      shape(options.shape),
      seed(options.seed ? *options.seed : system_seed()),
      links{ShapedLink(shape.path, shape.rate), ShapedLink(shape.path, shape.rate)},
      rows(OUTPUT_BUFFER_BYTES,
           [fd = output.fd()](const char* data, std::size_t size) { return write(fd, data, size); }),
      last_ns(monotonic_ns()) {
    if (options.idle_s) {
        idle_ns = static_cast<std::int64_t>(*options.idle_s * 1e9);
    }
}

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
        const std::optional<std::int64_t> write_due = rows.write_due_ns();
        const int output_fd = write_due && *write_due <= now_ns ? output.fd() : -1;
        std::vector<pollfd> watched{
            {signals.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}, {output_fd, POLLOUT, 0}};
        std::vector<Client*> upstreams;
        for (const ClientTable::Entry& entry : table) {
            watched.push_back({clients[entry.client]->upstream.get(), POLLIN, 0});
            upstreams.push_back(clients[entry.client].get());
        }
        if (poll(watched.data(), watched.size(), poll_timeout_ms(now_ns)) < 0 && errno != EINTR) {
            throw_syscall_error("poll");
        }
        if (watched[0].revents != 0) {
            // Taken, not left pending: a second signal, not this one, cuts short the rows' last writing.
            signals.take();
            return;
        }
        if (watched[1].revents != 0) {
            drain_listener();
        }
        if (watched[2].revents != 0) {
            rows.write_some();
        }
        // Clients that came during this wake are watched from the next one on.
        for (std::size_t i = 3; i < watched.size(); ++i) {
            if (watched[i].revents != 0) {
                drain_upstream(*upstreams[i - 3]);
            }
        }
    }
}

bool Relay::idle(std::int64_t now_ns) const {
    return idle_ns && links[0].held() + links[1].held() == 0 && now_ns - last_ns >= *idle_ns;
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
    if (const std::optional<ClientTable::Entry> oldest = least_recent_free()) {
        sooner(oldest->active_ns + forget_ns);
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
std::optional<ClientTable::Entry> Relay::least_recent_free() const {
    return table.least_recent([this](std::size_t client) { return clients[client]->held == 0; });
}

// A gone client gives back its socket, its ranges and its draws, and keeps its counts for the
// summary. One that speaks again is met as a new client.
void Relay::forget(Client& client) {
    client.upstream.reset();
    client.tally.forget_ranges();
    client.streams.reset();
    table.remove(address_key(client.address));
}

// When the table or the descriptors are full, the least recently active client goes.
bool Relay::make_room() {
    const std::optional<ClientTable::Entry> oldest = least_recent_free();
    if (!oldest) {
        return false;
    }
    forget(*clients[oldest->client]);
    ++evicted;
    return true;
}

// A relay that runs for hours meets thousands of clients.
void Relay::forget_quiet_clients(std::int64_t now_ns) {
    for (std::optional<ClientTable::Entry> oldest = least_recent_free();
         oldest && now_ns - oldest->active_ns >= forget_ns; oldest = least_recent_free()) {
        forget(*clients[oldest->client]);
    }
}

// A socket towards the server, or nothing when there is no descriptor to spare even after
// the least recently active client gave back its own.
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

// The client at `address`, met before or new; nothing when no more can be served.
Relay::Client* Relay::client_at(const sockaddr_in& address, std::int64_t now_ns) {
    const std::uint64_t key = address_key(address);
    if (const std::optional<std::size_t> known = table.find(key)) {
        return clients[*known].get();
    }
    if (table.full() && !make_room()) {
        return nullptr;
    }
    std::optional<Descriptor> upstream = upstream_socket();
    if (!upstream) {
        return nullptr;
    }
    const std::size_t index = clients.size();
    auto client = std::make_unique<Client>(
        Client{index, std::move(*upstream), address, address_name(address), {}, {}, 0});
    if (shape.active()) {
        // One stream per client and direction, so that the same datagrams arriving in the same
        // order meet the same fate whatever other clients do.
        std::seed_seq up{seed, seed >> 32, std::uint64_t{index}, std::uint64_t{0}};
        std::seed_seq down{seed, seed >> 32, std::uint64_t{index}, std::uint64_t{1}};
        client->streams =
            std::make_unique<std::array<std::mt19937, 2>>(std::array{std::mt19937(up), std::mt19937(down)});
    }
    clients.push_back(std::move(client));
    table.add(key, index, now_ns);
    return clients.back().get();
}

// The datagram a receive of `size` bytes got, or nothing once the socket is drained. An error
// that concerns one destination (a refusal, an ICMP "unreachable" for an earlier datagram) is
// counted in `errors` and ends the draining until the next wake.
std::optional<std::string_view> Relay::received(ssize_t size, const char* call, std::uint64_t& errors) {
    if (size >= 0) {
        return std::string_view(buffer.data(), static_cast<std::size_t>(size));
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return std::nullopt;
    }
    if (!datagram_lost(errno)) {
        throw_syscall_error(call);
    }
    ++errors;
    return std::nullopt;
}

void Relay::drain_listener() {
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size = calls.recvfrom(listener.get(), buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&sender), &length);
        const std::optional<std::string_view> datagram = received(size, "recvfrom", listener_errors);
        if (!datagram) {
            return;
        }
        const std::int64_t now_ns = monotonic_ns();
        if (Client* client = client_at(sender, now_ns)) {
            pass(*client, Direction::up, *datagram, now_ns);
        } else {
            ++unrelayed;
        }
    }
}

void Relay::drain_upstream(Client& client) {
    // Forgotten during this wake to make room.
    if (client.upstream.get() < 0) {
        return;
    }
    std::uint64_t errors = 0;
    for (;;) {
        const ssize_t size = calls.recv(client.upstream.get(), buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT);
        const std::optional<std::string_view> datagram = received(size, "recv", errors);
        if (!datagram) {
            break;
        }
        pass(client, Direction::down, *datagram, monotonic_ns());
    }
    if (errors > 0) {
        client.tally.count_network_error();
    }
}

// Straight on where the path is not shaped; otherwise through its draws and queue.
void Relay::pass(Client& client, Direction direction, std::string_view datagram, std::int64_t now_ns) {
    if (!shape.active() || !(direction == Direction::up ? shape.up : shape.down)) {
        record(client, direction, datagram, deliver(client, direction, datagram) ? Fate::relayed : Fate::lost,
               now_ns);
        return;
    }
    const ShapedLink::Taken taken = links[index_of(direction)].take(
        client.index, datagram, (*client.streams)[index_of(direction)], now_ns);
    if (taken.copies == 0) {
        record(client, direction, datagram, taken.fate, now_ns);
        return;
    }
    client.held += taken.copies;
    // What need not wait leaves at once.
    release(direction, now_ns);
}

void Relay::release(Direction direction, std::int64_t now_ns) {
    links[index_of(direction)].release(now_ns, [&](std::size_t index, std::string_view datagram, Fate fate) {
        Client& client = *clients[index];
        --client.held;
        record(client, direction, datagram, deliver(client, direction, datagram) ? fate : Fate::lost, now_ns);
    });
}

// Sends one datagram on; false when it is lost to an error that concerns its destination.
bool Relay::deliver(Client& client, Direction direction, std::string_view datagram) {
    const bool up = direction == Direction::up;
    const ssize_t sent =
        up ? calls.send(client.upstream.get(), datagram.data(), datagram.size(), 0)
           : calls.sendto(listener.get(), datagram.data(), datagram.size(), 0,
                          reinterpret_cast<const sockaddr*>(&client.address), sizeof client.address);
    if (sent >= 0) {
        return true;
    }
    if (!datagram_lost(errno)) {
        throw_syscall_error(up ? "send" : "sendto");
    }
    client.tally.count_network_error();
    return false;
}

void Relay::record(Client& client, Direction direction, std::string_view datagram, Fate fate,
                   std::int64_t now_ns) {
    if (!start_ns) {
        start_ns = now_ns;
    }
    last_ns = now_ns;
    table.touch(address_key(client.address), now_ns);
    const Classified what = classify(datagram);
    const std::optional<bool> first = client.tally.count(direction, what, fate, now_ns);
    rows.add(csv_row({now_ns - *start_ns, client.name, direction, what, datagram.size(), first, fate}),
             now_ns);
}

void Relay::finish(std::ostream& log) {
    write_out_the_rest();
    signals.drop_from_now_on();
    // A relay that ran out of descriptors gets them back before it writes its last words.
    for (const auto& client : clients) {
        client->upstream.reset();
    }
    print_summaries(log);
    if (const std::optional<int> error = rows.failure()) {
        throw std::runtime_error(
            format("Error while writing the trace to {}: {}.", output.name(), std::strerror(*error)));
    }
}

// The rest goes out while the output takes it; another stop signal, or a second without
// progress (a reader that stopped reading), gives it up.
void Relay::write_out_the_rest() {
    while (!rows.empty()) {
        std::array<pollfd, 2> watched{{{output.fd(), POLLOUT, 0}, {signals.fd(), POLLIN, 0}}};
        const int ready = poll(watched.data(), watched.size(), OUTPUT_PATIENCE_MS);
        if (ready < 0 && errno != EINTR) {
            throw_syscall_error("poll");
        }
        if (ready == 0 || watched[1].revents != 0) {
            break;
        }
        rows.write_some();
    }
    rows.abandon();
}

void Relay::print_summaries(std::ostream& log) const {
    for (const auto& client : clients) {
        log << client->tally.summary_line(client->name, shape.active()) << '\n';
    }
    if (unrelayed > 0) {
        log << format("{} datagrams from further clients not relayed: no socket to spare\n", unrelayed);
    }
    if (evicted > 0) {
        log << format("{} clients forgotten early to make room for new ones\n", evicted);
    }
    if (listener_errors > 0) {
        log << format("{} network errors on the socket the clients talk to\n", listener_errors);
    }
    if (rows.reader_gone()) {
        log << format("{} trace rows not written: the trace's reader went away, and the relay went on\n",
                      rows.unwritten());
    } else if (!rows.failure() && rows.unwritten() > 0) {
        log << format("{} trace rows not written: the output did not take them in time\n", rows.unwritten());
    }
    log.flush();
}

}  // namespace

void run_relay(const RelayOptions& options, std::ostream& log, const SocketCalls& calls) {
    Relay relay(options, calls);
    relay.run();
    relay.finish(log);
}

}  // namespace drovik::trace
