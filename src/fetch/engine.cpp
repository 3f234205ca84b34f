#include "engine.hpp"

#include <algorithm>

#include "wire/protocol.hpp"

namespace drovik::fetch {

namespace {
// The loop runs at most this often, unless a reply comes: the pacer holds 2 ms of tokens.
constexpr Nanos WAKE = MS;
// A server that is unreachable or has gone quiet is only probed, so that it costs little.
constexpr double PROBE_RATE = 5;
// Quiet: nothing came for this many time-outs, although it was asked this often. A
// server that answers, however squeezed, sends something in that time.
constexpr Nanos HUSH_TIMEOUTS = 2;
constexpr std::uint64_t HUSH_GETS = 50;
// Until some server has taught a time-out: longer than any delay a server is likely to take.
constexpr Nanos BLIND_TIMEOUT = 2000 * MS;
constexpr Nanos NEVER = INT64_MAX / 4;
constexpr Nanos METER_MEMORY = 10000 * MS;
// Repeats wait for spare capacity once the chunks awaited would keep the servers
// busy for longer than this many of their delays.
constexpr double SPARE_DELAYS = 2;
// Until then a chunk is asked again early only when its GET is older than this share
// of all delays: by then it is far more likely lost than late.
constexpr double PATIENCE = 0.7;
// At the start nothing is known yet and the servers are empty: repeats are free.
constexpr Nanos SETTLING = 2000 * MS;
// The start burst's test has this long from the start, and after the first reply, to tell
// before its chunks are asked again early.
constexpr Nanos START_TEST_TIME = 600 * MS;
}  // namespace

Engine::ServerState::ServerState(Nanos now)
    : control(now),
      pacer(control.initial_rate(), control.initial_burst(), now),
      start(static_cast<std::size_t>(control.initial_burst())),
      meter(now),
      started(now),
      teaching_since(now),
      rate_at_reply(pacer.rate()) {}

Engine::Engine(const EngineConfig& config, Nanos now)
    : chunk_total(chunk_count(config.file_size)),
      held_before(config.held.size() == chunk_total ? config.held : ChunkSet(chunk_total)),
      window(config.window),
      first(0),
      next_new(0),
      slots(2 * config.window),
      next_control(now),
      settled_at(now + SETTLING) {
    for (std::size_t s = 0; s < config.servers; ++s) {
        servers.emplace_back(now);
    }
    skip_held_before();
}

// Chunks held from before are never asked: the window takes them as it reaches them.
void Engine::skip_held_before() {
    while (next_new < chunk_total && next_new < first + window && held_before.contains(next_new)) {
        slot(next_new++) = Slot{.have = true};
        ++taken_ahead;
        advance_first();
    }
}

void Engine::advance_first() {
    while (first < next_new && slot(first).have) {
        ++first;
        --taken_ahead;
    }
}

// Chunks asked so far, and those written lately whose late replies still teach delays.
bool Engine::known(std::uint64_t chunk) const {
    return chunk < next_new && chunk + window >= first && !held_before.contains(chunk);
}

bool Engine::on_reply(std::size_t server, std::uint64_t chunk, Nanos now) {
    ServerState& state = servers[server];
    ++state.stats.replies;
    if (state.probed || (state.last_reply && now - *state.last_reply > live_timeout(server, now))) {
        revive(server, now);
    }
    if (!state.first_heard) {
        state.first_heard = now - state.started;
    }
    state.last_reply = now;
    state.gets_since_reply = 0;
    state.rate_at_reply = state.pacer.rate();
    state.meter.replied(now);
    if (!known(chunk)) {
        return false;
    }
    Slot& asked = slot(chunk);
    learn(server, asked, now);
    // A copy of a reply already taken tells the start burst nothing more.
    if (asked.asks == 1 && !asked.have) {
        const StartBurst::Told told = state.start.replied(chunk, now);
        if (told.full && *told.full) {
            state.pacer.set_rate(state.control.found_busy(now, state.pacer.rate()));
        }
        if (told.line) {
            state.pacer.set_rate(state.control.found_line(now, state.pacer.rate(), *told.line));
        }
    }
    if (chunk < first || asked.have) {
        return false;
    }
    asked.have = true;
    ++state.stats.useful;
    ++taken_ahead;
    advance_first();
    skip_held_before();
    return true;
}

// A reply that can be told to answer the chunk's first GET gives that GET's delay
// (Karn's rule); any other only says that some delay was at least its age. It answers the
// first when its server had it once, or twice but the second too lately to answer yet:
// less than three quarters of the shortest round trip known (before any, of the wait for
// the first reply) ago. It answers the latest when that one left alone, once the earlier
// ones had timed out, and at least the shortest round trip ago.
void Engine::learn(std::size_t server, const Slot& asked, Nanos now) {
    ServerState& state = servers[server];
    const Nanos first_send = asked.last_send - Nanos{asked.first_ms} * MS;
    const Nanos shortest = state.delays.shortest().value_or(state.first_heard.value_or(0));
    const bool first = asked.first_only || (asked.asks == 2 && 4 * (now - asked.last_send) < 3 * shortest);
    const bool last = asked.last_alone && server == asked.last_server && now - asked.last_send >= shortest;
    if (server == asked.first_server && first && first_send >= state.teaching_since) {
        state.delays.sample(now, now - first_send, true);
        state.meter.exact(first_send, now - first_send);
    } else if (last && asked.last_send >= state.teaching_since) {
        state.delays.sample(now, now - asked.last_send, false);
        state.meter.exact(asked.last_send, now - asked.last_send, false);
    } else if (asked.last_send >= state.teaching_since) {
        state.delays.sample(now, now - asked.last_send, false);
    }
}

// A server heard from again after a silence: it goes back to the pace it had, and what
// the silence did to its figures is forgotten. Replies to GETs sent before now may have
// waited out the silence in a frozen server: their ages are not its delays.
void Engine::revive(std::size_t server, Nanos now) {
    ServerState& state = servers[server];
    // The first word from any server: nothing is known and it is empty, as at a start.
    if (std::none_of(servers.begin(), servers.end(),
                     [](const ServerState& p) { return p.last_reply.has_value(); })) {
        settled_at = now + SETTLING;
    }
    state.probed = false;
    state.pacer.set_rate(state.rate_at_reply);
    if (!state.last_reply || now - *state.last_reply > live_timeout(server, now)) {
        state.teaching_since = now;
        state.meter.forget_before(now);
        state.control.restart(now, state.delays.largest());
    }
}

void Engine::on_unreachable(std::size_t server, Nanos /*now*/) {
    ServerState& state = servers[server];
    if (!state.probed) {
        state.probed = true;
        state.pacer.set_rate(PROBE_RATE);
    }
}

// Nothing has come from the server for two of its time-outs although it was asked
// often enough to answer: it is only probed until it answers again.
bool Engine::hushed(std::size_t server, Nanos now) const {
    const ServerState& state = servers[server];
    const Nanos silence = now - state.last_reply.value_or(state.started);
    Nanos wait = taught_any() ? live_timeout(server, now) : BLIND_TIMEOUT;
    if (!state.last_reply) {
        // Never heard from while others answer: no reply came for twice the shortest
        // delay they take. A server that is only slower is revived by its first reply.
        for (const ServerState& other : servers) {
            if (other.last_reply && other.delays.shortest()) {
                wait = std::min(wait, *other.delays.shortest());
            }
        }
    }
    return state.gets_since_reply >= HUSH_GETS && silence > HUSH_TIMEOUTS * wait;
}

Nanos Engine::timeout_of(std::size_t server, Nanos now) const {
    return servers[server].probed ? 0 : live_timeout(server, now);
}

// Some server has taught a delay exactly: the path's delays are no longer a guess.
bool Engine::taught_any() const {
    return std::any_of(servers.begin(), servers.end(),
                       [](const ServerState& state) { return state.delays.shortest().has_value(); });
}

// Its own time-out once learned; until then the longest of the others', or, while
// nobody knows one, a blind one well beyond every delay known exactly. Before any delay
// is, nothing tells a lost GET from one on a long path: none times out (early repeats
// and a silent server's probes still ask again).
Nanos Engine::live_timeout(std::size_t server, Nanos now) const {
    const ServerState& state = servers[server];
    if (const auto own = state.delays.timeout(now - state.started)) {
        return *own;
    }
    std::optional<Nanos> borrowed;
    Nanos largest = 0;
    for (const ServerState& other : servers) {
        if (const auto theirs = other.delays.timeout(now - other.started)) {
            borrowed = std::max(borrowed.value_or(0), *theirs);
        }
        largest = std::max(largest, other.delays.largest_exact());
    }
    if (!borrowed && !taught_any()) {
        return NEVER;
    }
    return borrowed.value_or(std::max(BLIND_TIMEOUT, 2 * largest));
}

bool Engine::stale(const Ask& ask) {
    if (!known(ask.chunk) || ask.chunk < first) {
        return true;
    }
    const Slot& asked = slot(ask.chunk);
    return asked.have || asked.last_send != ask.at;
}

// The server whose oldest live GET is the oldest of all that are due: past their
// time-out, or (early) past the spacing of repeats.
std::optional<std::size_t> Engine::oldest_due(Nanos now, bool early, std::optional<std::size_t> skip) {
    std::optional<std::size_t> oldest;
    for (std::size_t s = 0; s < servers.size(); ++s) {
        if (s == skip) {
            continue;
        }
        std::deque<Ask>& asked = servers[s].asked;
        while (!asked.empty() && stale(asked.front())) {
            asked.pop_front();
        }
        if (asked.empty()) {
            continue;
        }
        const std::optional<Nanos> limit = early ? early_limit(s, now) : timeout_of(s, now);
        if (limit && now - asked.front().at >= *limit &&
            (!oldest || asked.front().at < servers[*oldest].asked.front().at)) {
            oldest = s;
        }
    }
    return oldest;
}

std::uint64_t Engine::take_oldest(std::size_t server) {
    const std::uint64_t chunk = servers[server].asked.front().chunk;
    servers[server].asked.pop_front();
    return chunk;
}

// Lost GETs first, then chunks never asked, then chunks that have waited longest, for
// `server`. Those are asked again of another server where there is one: it may fare
// better, and a reply from the first one still tells the first GET's delay.
std::optional<Engine::Choice> Engine::choose(std::size_t server, Nanos now) {
    if (const auto timed_out = oldest_due(now, false)) {
        return Choice{take_oldest(*timed_out), false, true};
    }
    if (next_new < chunk_total && next_new < first + window && next_new < room_end) {
        const std::uint64_t chunk = next_new++;
        slot(chunk) = Slot{};
        skip_held_before();
        return Choice{chunk, true, true};
    }
    auto early = servers.size() > 1 ? oldest_due(now, true, server) : std::nullopt;
    if (!early) {
        early = oldest_due(now, true);
    }
    if (early) {
        return Choice{take_oldest(*early), false, false};
    }
    return std::nullopt;
}

void Engine::send_one(std::size_t server, const Choice& choice, Nanos now, const Send& send) {
    Slot& asked = slot(choice.chunk);
    if (choice.fresh) {
        asked.first_server = static_cast<std::uint8_t>(std::min<std::size_t>(server, 255));
    } else {
        const Nanos since_first = now - asked.last_send + Nanos{asked.first_ms} * MS;
        asked.first_ms = static_cast<std::uint32_t>(std::min<Nanos>(since_first / MS, UINT32_MAX));
        asked.first_only = asked.first_only && server != asked.first_server;
    }
    asked.last_send = now;
    asked.last_server = static_cast<std::uint8_t>(std::min<std::size_t>(server, 255));
    asked.last_alone = choice.alone;
    asked.asks = static_cast<std::uint8_t>(std::min(255, asked.asks + 1));
    ServerState& state = servers[server];
    state.asked.push_back({now, choice.chunk});
    state.meter.sent(now, choice.fresh);
    if (choice.fresh) {
        state.start.sent(choice.chunk);
    } else {
        for (ServerState& other : servers) {
            other.start.asked_again(choice.chunk);
        }
    }
    ++state.stats.gets;
    ++state.gets_since_reply;
    send(server, choice.chunk);
}

// Repeats are worth their cost only once the chunks still awaited no longer keep the
// servers busy: before that, a repeat takes the place of a reply that would be useful.
bool Engine::spare_capacity(Nanos now) const {
    if (now < settled_at || !taught_any()) {
        return true;
    }
    Nanos longest = 0;
    for (const ServerState& state : servers) {
        longest = std::max(longest, state.delays.largest());
    }
    const auto awaited = static_cast<double>(next_new - first - taken_ahead);
    return awaited <= SPARE_DELAYS * useful_per_second * static_cast<double>(longest) / 1e9;
}

// How old a GET must be before its chunk is asked again without waiting for its time-out.
std::optional<Nanos> Engine::early_limit(std::size_t server, Nanos now) const {
    // A chunk of the start burst's test asked again no longer tells which GET its reply
    // answers: while the test may still tell, none is repeated early (with several servers,
    // repeats go elsewhere and chunks of a silent one must not wait for it).
    const ServerState& state = servers[server];
    if (servers.size() == 1 && state.start.open() &&
        now - state.started < state.first_heard.value_or(0) + START_TEST_TIME) {
        return std::nullopt;
    }
    if (spare_capacity(now)) {
        return servers[server].delays.spacing();
    }
    return servers[server].meter.delay_quantile(PATIENCE);
}

void Engine::control(Nanos now) {
    std::uint64_t useful = 0;
    for (const ServerState& state : servers) {
        useful += state.stats.useful;
    }
    // Averaged over about a second.
    const double period = static_cast<double>(RateControl::PERIOD) / 1e9;
    useful_per_second += (static_cast<double>(useful - useful_counted) / period - useful_per_second) * period;
    useful_counted = useful;
    for (std::size_t s = 0; s < servers.size(); ++s) {
        ServerState& state = servers[s];
        state.meter.forget_before(now - std::max(METER_MEMORY, 10 * state.delays.largest()));
        if (!state.probed && hushed(s, now)) {
            on_unreachable(s, now);
        }
        if (state.probed) {
            continue;
        }
        const bool known = state.delays.timeout(now - state.started).has_value();
        const RateControl::Path path{state.delays.largest(), state.delays.shortest(), state.meter.queue(now)};
        state.pacer.set_rate(
            state.control.update(now, state.pacer.rate(), known, state.wanting, state.meter, path));
        state.wanting = false;
    }
}

void Engine::on_tick(Nanos now, const Send& send) {
    if (now >= next_control) {
        control(now);
        next_control = now + RateControl::PERIOD;
    }
    for (ServerState& state : servers) {
        state.pacer.refill(now);
    }
    // Servers take turns, each while it has a token, as long as anything is worth sending.
    starved = false;
    for (std::size_t idle = 0; idle < servers.size() && !done();) {
        const std::size_t server = turn;
        turn = (turn + 1) % servers.size();
        if (!servers[server].pacer.ready()) {
            ++idle;
            continue;
        }
        const std::optional<Choice> choice = choose(server, now);
        if (!choice) {
            servers[server].wanting = true;
            starved = true;
            break;
        }
        servers[server].pacer.take();
        send_one(server, *choice, now, send);
        idle = 0;
    }
    for (ServerState& state : servers) {
        state.pacer.settle();
    }
}

// The next control, and then the next token while GETs wait for one, or else the next
// GET that falls due, as the limits stand now; never sooner than WAKE.
Nanos Engine::next_wake(Nanos now) const {
    Nanos next = next_control;
    for (std::size_t s = 0; s < servers.size(); ++s) {
        const ServerState& state = servers[s];
        if (!starved) {
            next = std::min(next, state.pacer.next_token());
        } else if (!state.asked.empty()) {
            Nanos limit = timeout_of(s, now);
            if (const auto early = early_limit(s, now)) {
                limit = std::min(limit, *early);
            }
            next = std::min(next, state.asked.front().at + limit);
        }
    }
    return std::max(next, now + WAKE);
}

}  // namespace drovik::fetch
