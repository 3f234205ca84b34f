#include "download.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "engine.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "report.hpp"
#include "run_clock.hpp"
#include "server_list.hpp"
#include "server_socket.hpp"
#include "system/clock.hpp"
#include "system/network.hpp"
#include "system/stop_signals.hpp"
#include "wire/chunk_reply.hpp"
#include "wire/chunk_request.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

namespace {

// The loop looks at the clock at least this often, for the display and the stall limit.
constexpr Nanos LONGEST_WAIT = SECOND / 10;
// Datagrams taken from one socket in a row before the engine gets its turn again.
constexpr int DRAIN_LIMIT = 1024;

std::vector<ServerSocket> connect_servers(const std::vector<Endpoint>& endpoints) {
    std::vector<ServerSocket> sockets;
    for (const NamedServer& server : distinct_servers(endpoints)) {
        sockets.emplace_back(server.address, server.name);
    }
    return sockets;
}

EngineConfig engine_config(const Options& options, const Output& output, std::size_t servers) {
    EngineConfig config;
    config.file_size = options.bytes;
    config.held = output.held_before();
    config.servers = servers;
    config.window = output.window();
    return config;
}

// The loop: GETs out when the engine says, replies in as they come, chunks into the file.
class Download {
public:
    Download(const Options& options, std::vector<ServerSocket> sockets, Output& output,
             const StopSignals& stop);

    // Runs until the file is complete (0) or a stop signal came (its number).
    int run();
    Summary summary() const;

private:
    int pending_stop() const;
    void close_display();
    bool complete() const;
    void tick(Nanos now);
    int wait(Nanos now);
    void drain(std::size_t server, Nanos now);
    void take(std::size_t server, std::size_t size, Nanos now);
    void check_stall(Nanos now) const;
    std::optional<std::uint64_t> unanswered_from() const;

    const Options& options;
    std::vector<ServerSocket> servers;
    const StopSignals& stop;
    EngineConfig config;
    Nanos start;
    std::optional<Nanos> end;
    RunClock clock;
    Engine engine;
    Output& output;
    std::uint64_t start_bytes;
    ProgressBar bar;
    std::vector<pollfd> fds;
    std::vector<std::uint8_t> datagram;
    std::vector<std::size_t> unreachable_in_tick;
    std::uint64_t answered_below = 0;  // no reply ever came for a chunk from here on
    Nanos last_new;
    std::vector<std::uint64_t> replies_at_last_new;
    std::vector<std::uint64_t> malformed_since_new;  // datagrams that are no reply to this download
};

Download::Download(const Options& options, std::vector<ServerSocket> sockets, Output& output,
                   const StopSignals& stop)
    : options(options),
      servers(std::move(sockets)),
      stop(stop),
      config(engine_config(options, output, servers.size())),
      start(monotonic_ns()),
      clock(start, LONGEST_WAIT),
      engine(config, start),
      output(output),
      start_bytes(output.written_bytes()),
      bar(std::cerr, !options.quiet && isatty(STDERR_FILENO) == 1, options.bytes, start_bytes, start),
      last_new(start),
      replies_at_last_new(servers.size(), 0),
      malformed_since_new(servers.size(), 0) {
    fds.push_back({stop.fd(), POLLIN, 0});
    for (const ServerSocket& server : servers) {
        fds.push_back({server.fd(), POLLIN, 0});
    }
    fds.push_back({-1, POLLOUT, 0});  // a stream that has bytes waiting for it
}

// Engine, stall limit and display run on the clock that stands still while the program
// is stopped; the summary's time is the wall's.
int Download::run() {
    // A stop that came while the program was starting ends it before its first GET.
    int signal = pending_stop();
    try {
        while (!complete() && signal == 0) {
            const Nanos now = clock.read(monotonic_ns());
            output.flush_if_due(now);
            engine.set_room(output.room_end());
            tick(now);
            if (output.waiting_fd() >= 0) {
                last_new = now;  // the reader holds the download back, not the servers
            }
            check_stall(now);
            bar.update(output.taken_bytes(), now);
            signal = wait(now);
        }
    } catch (...) {
        close_display();
        throw;
    }
    // The end is under way: a stop that comes now, or came with the last chunk, stops nothing.
    stop.drop_from_now_on();
    close_display();
    return complete() ? 0 : signal;
}

int Download::pending_stop() const {
    pollfd entry{stop.fd(), POLLIN, 0};
    return poll(&entry, 1, 0) > 0 ? stop.take() : 0;
}

void Download::close_display() {
    end = monotonic_ns();
    bar.finish(output.taken_bytes(), clock.read(*end));
}

// Every chunk is taken, and a stream has taken every byte.
bool Download::complete() const {
    return engine.done() && output.waiting_fd() < 0;
}

void Download::tick(Nanos now) {
    // An error met while sending waits until the engine has finished its turn.
    engine.on_tick(now, [this](std::size_t server, std::uint64_t chunk) {
        if (!servers[server].send(encode_chunk_request(options.bytes, chunk))) {
            unreachable_in_tick.push_back(server);
        }
    });
    for (const std::size_t server : unreachable_in_tick) {
        engine.on_unreachable(server, now);
    }
    unreachable_in_tick.clear();
}

int Download::wait(Nanos now) {
    fds.back().fd = output.waiting_fd();
    const Nanos wake = std::clamp(engine.next_wake(now) - now, Nanos{0}, LONGEST_WAIT);
    const timespec timeout{wake / SECOND, wake % SECOND};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
        if (errno == EINTR) {
            return 0;
        }
        throw_syscall_error("ppoll");
    }
    const Nanos woke = clock.read(monotonic_ns());
    for (std::size_t server = 0; server < servers.size(); ++server) {
        if (fds[server + 1].revents != 0) {
            drain(server, woke);
        }
    }
    return fds[0].revents != 0 ? stop.take() : 0;
}

void Download::drain(std::size_t server, Nanos now) {
    for (int count = 0; count < DRAIN_LIMIT; ++count) {
        const ServerSocket::Received received = servers[server].receive(datagram);
        if (received.kind == ServerSocket::Received::nothing) {
            return;
        }
        if (received.kind == ServerSocket::Received::unreachable) {
            engine.on_unreachable(server, now);
        } else {
            take(server, received.size, now);
        }
    }
}

void Download::take(std::size_t server, std::size_t size, Nanos now) {
    const std::optional<ChunkReply> reply = decode_chunk_reply(datagram.data(), size, options.bytes);
    if (!reply) {
        ++malformed_since_new[server];
        return;
    }
    answered_below = std::max(answered_below, reply->chunk_index + 1);
    if (!engine.on_reply(server, reply->chunk_index, now)) {
        return;
    }
    output.put(reply->chunk_index, reply->data);
    last_new = now;
    for (std::size_t k = 0; k < servers.size(); ++k) {
        replies_at_last_new[k] = engine.stats(k).replies;
    }
    std::fill(malformed_since_new.begin(), malformed_since_new.end(), 0);
}

void Download::check_stall(Nanos now) const {
    const Nanos limit = Nanos{options.stall_timeout_s} * SECOND;
    if (limit == 0 || now - last_new < limit) {
        return;
    }
    std::vector<StallWitness> witnesses;
    for (std::size_t k = 0; k < servers.size(); ++k) {
        witnesses.push_back({servers[k].name(), servers[k].unreachable(),
                             engine.stats(k).replies - replies_at_last_new[k], malformed_since_new[k]});
    }
    throw std::runtime_error(stall_message(options.stall_timeout_s, witnesses, unanswered_from()));
}

// The offset from which no chunk was ever answered, when every chunk before it is held:
// then it is why nothing new comes.
std::optional<std::uint64_t> Download::unanswered_from() const {
    if (answered_below > 0 && engine.first_missing() == answered_below) {
        return answered_below * MAX_CHUNK_SIZE;
    }
    return std::nullopt;
}

Summary Download::summary() const {
    Summary summary;
    summary.bytes = output.written_bytes() - start_bytes;
    summary.seconds = static_cast<double>(end.value_or(monotonic_ns()) - start) / SECOND;
    for (std::size_t k = 0; k < servers.size(); ++k) {
        summary.servers.push_back({servers[k].name(), engine.stats(k)});
    }
    return summary;
}

void print_summary(const Options& options, const Download& download) {
    if (options.stats) {
        std::cerr << "drovik-fetch: " << summary_line(download.summary()) << std::endl;
    }
}

}  // namespace

int fetch_file(const Options& options, const StopSignals& stop) {
    std::vector<ServerSocket> servers = connect_servers(options.servers);
    const std::unique_ptr<Output> output = open_output(options, stop);
    Download download(options, std::move(servers), *output, stop);
    int signal = 0;
    std::string stopped;
    try {
        signal = download.run();
        if (signal == 0) {
            output->finish();
        } else {
            stopped = output->stop();
        }
    } catch (...) {
        print_summary(options, download);  // what a failed run did, before the line that says why
        throw;
    }
    print_summary(options, download);
    if (signal != 0) {
        std::cerr << "drovik-fetch: " << stopped << std::endl;
        return 128 + signal;
    }
    return 0;
}

}  // namespace drovik::fetch
