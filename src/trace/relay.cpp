#include "trace/relay.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/descriptor.hpp"
#include "net/format.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"
#include "net/resolve.hpp"
#include "net/stop_signals.hpp"
#include "trace/csv.hpp"
#include "trace/tally.hpp"

namespace drovik::trace {

namespace {

// Each client holds a socket towards the server while it is heard from: a sender that
// changes its port for every datagram must not exhaust the descriptors or the memory.
constexpr std::size_t MAX_CLIENTS = 512;

// Large buffers, then the socket aimed at the server.
void attach_upstream(int fd, const sockaddr_in& server) {
    enlarge_socket_buffers(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        throw_syscall_error("connect");
    }
}

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

class Relay {
public:
    explicit Relay(const RelayOptions& options);
    // Forwards and records until idle or a signal.
    void run(std::ostream& trace);
    // Gives back the descriptors of the clients' sockets; their counts stay.
    void close_upstreams();
    void print_summaries(std::ostream& log) const;

private:
    struct Client {
        Descriptor upstream;
        sockaddr_in address;
        std::string name;
        ClientTally tally;
        std::int64_t heard_ns = 0;  // its last datagram, either way
    };

    bool idle() const;
    int poll_timeout_ms() const;
    void forget_quiet_clients();
    std::optional<std::string_view> receive(int fd, sockaddr_in* sender);
    Client* client_at(const sockaddr_in& address);
    void drain_listener();
    void drain_upstream(Client& client);
    void record(Client& client, Direction direction, std::string_view datagram, std::int64_t now_ns);

    StopSignals signals;  // SIGINT and SIGTERM end the relay at a point of its choosing
    Descriptor listener;
    sockaddr_in server;
    std::optional<std::int64_t> idle_ns;
    std::int64_t forget_ns;
    std::vector<std::unique_ptr<Client>> clients;           // every one, in the order they came
    std::unordered_map<std::uint64_t, Client*> by_address;  // those still heard from
    std::vector<char> buffer = std::vector<char>(RECEIVE_BUFFER_SIZE);
    std::ostream* trace = nullptr;
    std::optional<std::int64_t> start_ns;
    std::int64_t last_ns;
    std::uint64_t unrelayed = 0;  // datagrams from clients beyond the table, or with no socket to spare
};

Relay::Relay(const RelayOptions& options)
    : listener(listening_socket(resolve_ipv4(options.bind_address, options.listen_port))),
      server(resolve_ipv4(options.server_host, options.server_port)),
      forget_ns(static_cast<std::int64_t>(options.forget_s * 1e9)),
      last_ns(monotonic_ns()) {
    if (options.idle_s) {
        idle_ns = static_cast<std::int64_t>(*options.idle_s * 1e9);
    }
}

void Relay::run(std::ostream& trace_stream) {
    trace = &trace_stream;
    for (;;) {
        forget_quiet_clients();
        std::vector<pollfd> watched{{signals.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
        std::vector<Client*> upstreams;
        for (const auto& [key, client] : by_address) {
            watched.push_back({client->upstream.get(), POLLIN, 0});
            upstreams.push_back(client);
        }
        if (poll(watched.data(), watched.size(), poll_timeout_ms()) < 0 && errno != EINTR) {
            throw_syscall_error("poll");
        }
        if (watched[0].revents != 0) {
            // Taken, not left pending: unblocked at the end, it would kill the relay after its summary.
            signals.take();
            return;
        }
        if (idle()) {
            return;
        }
        if (watched[1].revents != 0) {
            drain_listener();
        }
        // Clients that came during this wake are watched from the next one on.
        for (std::size_t i = 2; i < watched.size(); ++i) {
            if (watched[i].revents != 0) {
                drain_upstream(*upstreams[i - 2]);
            }
        }
    }
}

bool Relay::idle() const {
    return idle_ns && monotonic_ns() - last_ns >= *idle_ns;
}

// Until the relay is idle or the next client is to be forgotten, whichever comes first.
int Relay::poll_timeout_ms() const {
    std::optional<std::int64_t> wake_ns;
    if (idle_ns) {
        wake_ns = last_ns + *idle_ns;
    }
    for (const auto& [key, client] : by_address) {
        if (!wake_ns || client->heard_ns + forget_ns < *wake_ns) {
            wake_ns = client->heard_ns + forget_ns;
        }
    }
    if (!wake_ns) {
        return -1;
    }
    const std::int64_t left_ns = *wake_ns - monotonic_ns();
    return left_ns <= 0 ? 0 : to_ms(left_ns + 999999);
}

// A relay that runs for hours meets thousands of clients: the gone ones give back their
// sockets and their ranges, and keep their counts for the summary. One that speaks again
// is met as a new client.
void Relay::forget_quiet_clients() {
    const std::int64_t now_ns = monotonic_ns();
    std::erase_if(by_address, [&](const auto& entry) {
        Client& client = *entry.second;
        if (now_ns - client.heard_ns < forget_ns) {
            return false;
        }
        client.upstream.reset();
        client.tally.forget_ranges();
        return true;
    });
}

// The next waiting datagram, or nothing once the socket is drained. A refusal reported on a
// connected socket means only that the server's port was closed for an earlier datagram.
std::optional<std::string_view> Relay::receive(int fd, sockaddr_in* sender) {
    for (;;) {
        socklen_t length = sizeof(sockaddr_in);
        const ssize_t received = recvfrom(fd, buffer.data(), RECEIVE_LIMIT, MSG_DONTWAIT,
                                          reinterpret_cast<sockaddr*>(sender), sender ? &length : nullptr);
        if (received >= 0) {
            return std::string_view(buffer.data(), static_cast<std::size_t>(received));
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        if (errno != ECONNREFUSED && errno != EINTR) {
            throw_syscall_error("recvfrom");
        }
    }
}

// The client at `address`, met before or new; nothing when no more can be served.
Relay::Client* Relay::client_at(const sockaddr_in& address) {
    const std::uint64_t key = std::uint64_t{address.sin_addr.s_addr} << 16 | address.sin_port;
    if (const auto known = by_address.find(key); known != by_address.end()) {
        return known->second;
    }
    if (by_address.size() >= MAX_CLIENTS) {
        return nullptr;
    }
    const int upstream = socket(AF_INET, SOCK_DGRAM, 0);
    if (upstream < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            return nullptr;
        }
        throw_syscall_error("socket");
    }
    Descriptor owned(upstream);
    attach_upstream(upstream, server);
    clients.push_back(std::make_unique<Client>(Client{std::move(owned), address, address_name(address), {}}));
    by_address.emplace(key, clients.back().get());
    return clients.back().get();
}

void Relay::drain_listener() {
    sockaddr_in sender{};
    while (const std::optional<std::string_view> datagram = receive(listener.get(), &sender)) {
        const std::int64_t now_ns = monotonic_ns();
        Client* client = client_at(sender);
        if (!client) {
            ++unrelayed;
            continue;
        }
        // A closed server port or a full buffer loses the datagram, as the path might.
        if (send(client->upstream.get(), datagram->data(), datagram->size(), 0) < 0 &&
            !datagram_lost(errno)) {
            throw_syscall_error("send");
        }
        record(*client, Direction::up, *datagram, now_ns);
    }
}

void Relay::drain_upstream(Client& client) {
    while (const std::optional<std::string_view> datagram = receive(client.upstream.get(), nullptr)) {
        const std::int64_t now_ns = monotonic_ns();
        if (sendto(listener.get(), datagram->data(), datagram->size(), 0,
                   reinterpret_cast<const sockaddr*>(&client.address), sizeof client.address) < 0 &&
            !datagram_lost(errno)) {
            throw_syscall_error("sendto");
        }
        record(client, Direction::down, *datagram, now_ns);
    }
}

void Relay::record(Client& client, Direction direction, std::string_view datagram, std::int64_t now_ns) {
    if (!start_ns) {
        start_ns = now_ns;
    }
    last_ns = now_ns;
    client.heard_ns = now_ns;
    const Classified what = classify(datagram);
    const std::optional<bool> first = client.tally.count(direction, what, now_ns);
    *trace << csv_row({now_ns - *start_ns, client.name, direction, what, datagram.size(), first});
}

void Relay::close_upstreams() {
    for (const auto& client : clients) {
        client->upstream.reset();
    }
}

void Relay::print_summaries(std::ostream& log) const {
    for (const auto& client : clients) {
        log << client->tally.summary_line(client->name) << '\n';
    }
    if (unrelayed > 0) {
        log << format("{} datagrams from further clients not relayed: no socket to spare\n", unrelayed);
    }
    log.flush();
}

}  // namespace

void run_relay(const RelayOptions& options) {
    Relay relay(options);
    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output, std::ios::binary | std::ios::trunc);
        if (!file) {
            throw std::runtime_error(
                format("Cannot open {} for writing: {}.", options.output, std::strerror(errno)));
        }
    }
    std::ostream& trace = options.output.empty() ? std::cout : file;
    trace << CSV_HEADER;
    relay.run(trace);
    // A relay that ran out of descriptors gets them back before it writes its last words.
    relay.close_upstreams();
    if (!trace.flush()) {
        const std::string where = options.output.empty() ? "standard output" : options.output;
        throw std::runtime_error(format("Error while writing the trace to {}.", where));
    }
    relay.print_summaries(std::cerr);
}

}  // namespace drovik::trace
