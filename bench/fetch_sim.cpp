// Runs drovik-fetch's transfer engine against simulated servers on a virtual clock, some
// behind the path drovik-trace plays, and prints what it achieved, scenario by scenario,
// against the policy's targets: the tool for trying a policy change in seconds before
// measuring it on the real programs.
// Usage: bench-fetch-sim [RUNS] [SCENARIO...]   (default 10 runs, every scenario)
//        bench-fetch-sim --series SCENARIO [CLIENT]  (its first run, 100 ms by 100 ms, for a picture)
// Per scenario, medians over the runs: the slowest and fastest client's time, GETs per
// chunk, Jain's index of the clients' rates, the useful data over what the servers could
// deliver until the last client was done, and how fairly along the way: the worst 2 s
// window of any client as a share of its fair share (see sim::worst_window_share). Behind a
// shaped path, also its bound (the chunks over the path's ceiling, plus two mean round
// trips), what its queue dropped of what met it and how long the rest waited there.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/simulation.hpp"

namespace {

using namespace drovik;
using sim::ClientSetup;
using sim::ServerSetup;

const PathModel REFERENCE{};
const PathModel VARIANT{8, 1, 100, 300, 500};  // loss 20 %, duplicates 10 %
const PathModel WIDE{3, 2, 200, 3000, 2000};   // loss 70 %
const PathModel SHORT{5, 2, 20, 60, 1000};     // bench-path-server --delay 20-60

// What a scenario is expected to achieve (medians); a figure of 0 is no target.
struct Targets {
    double most_seconds = 0;  // the slowest client
    double most_gets = 0;     // GETs per chunk
    bool within_bound = false;
    double most_dropped = 0;  // the share the path's queue dropped, either way
    double most_wait_ms = 0;  // the median wait in the path's queue, either way
    double least_jain = 0;
    double least_window = 0;
};

struct Scenario {
    std::vector<ServerSetup> servers;
    std::vector<ClientSetup> clients;
};

struct Entry {
    std::function<Scenario(std::uint32_t)> make;
    Targets targets;
};

ClientSetup client(std::uint64_t bytes, double start_s = 0, std::vector<std::size_t> servers = {0}) {
    return {bytes, static_cast<sim::Nanos>(start_s * 1e9), std::move(servers)};
}

// One client of `bytes` on `count` reference servers.
Scenario spread(std::size_t count, std::uint32_t seed, std::uint64_t bytes = 20000000) {
    Scenario scenario;
    ClientSetup one = client(bytes, 0, {});
    for (std::size_t k = 0; k < count; ++k) {
        scenario.servers.push_back({REFERENCE, seed + static_cast<std::uint32_t>(1000 * k)});
        one.servers.push_back(k);
    }
    scenario.clients.push_back(one);
    return scenario;
}

enum class Outage { silent, refusing, frozen };

// One client of `bytes` on one reference server that is out from `from` to `until` seconds:
// silent (GETs vanish), refusing (each brings back a refusal) or frozen (GETs wait unread).
Scenario outage(std::uint32_t seed, Outage kind, int from, int until, std::uint64_t bytes) {
    ServerSetup server{REFERENCE, seed};
    const bool frozen = kind == Outage::frozen;
    (frozen ? server.pause_from : server.down_from) = from * sim::SECOND;
    (frozen ? server.pause_until : server.down_until) = until * sim::SECOND;
    server.refuses = kind == Outage::refusing;
    return Scenario{{server}, {client(bytes)}};
}

// drovik-trace's options as a path: --delay MIN-MAX, --rate, --queue, --shape, --loss.
struct Relay {
    std::int32_t min_ms = 0;
    std::int32_t max_ms = 0;
    std::optional<std::uint32_t> rate = {};
    std::size_t queue = 1000;
    bool up = true;
    bool down = true;
    double loss = 0;
};

// Clients of `bytes` started `gap_s` apart on one reference server behind `relay`.
Scenario relayed(std::uint32_t seed, const Relay& relay, std::uint64_t bytes, int clients = 1,
                 double gap_s = 0) {
    ServerSetup server{REFERENCE, seed};
    server.relay.path = UNSHAPED;
    server.relay.path.min_delay_ms = relay.min_ms;
    server.relay.path.max_delay_ms = relay.max_ms;
    server.relay.path.max_pending = relay.queue;
    server.relay.path.lost_from = static_cast<std::int32_t>((1 - relay.loss) * UNSHAPED.decisions);
    server.relay.rate = relay.rate;
    server.relay.up = relay.up;
    server.relay.down = relay.down;
    Scenario scenario{{server}, {}};
    for (int c = 0; c < clients; ++c) {
        scenario.clients.push_back(client(bytes, c * gap_s));
    }
    return scenario;
}

// One client of `bytes` from a server of `path`.
std::function<Scenario(std::uint32_t)> alone(const PathModel& path, std::uint64_t bytes) {
    return [path, bytes](std::uint32_t s) { return Scenario{{{path, s}}, {client(bytes)}}; };
}

std::function<Scenario(std::uint32_t)> behind(const Relay& relay, std::uint64_t bytes, int clients = 1,
                                              double gap_s = 0) {
    return [=](std::uint32_t s) { return relayed(s, relay, bytes, clients, gap_s); };
}

std::map<std::string, Entry> scenarios() {
    const Relay long_path{.min_ms = 1000, .max_ms = 2000, .queue = 5000};
    const Relay narrow{.rate = 600};
    const Relay narrow_down{.rate = 400, .up = false};
    const Relay short_queue{.rate = 500, .queue = 50, .up = false};
    const Relay lossy{.loss = 0.2};
    const Relay shared{.rate = 900, .up = false};
    const Targets at_bound{.within_bound = true};
    const Targets narrow_targets{.within_bound = true, .most_dropped = 0.05, .most_wait_ms = 200};
    return {
        {"1chunk", {alone(REFERENCE, 1), {.most_seconds = 1.0, .most_gets = 40}}},
        {"100k", {alone(REFERENCE, 100000), {.most_seconds = 1.3, .most_gets = 25}}},
        {"1M", {alone(REFERENCE, 1000000), {.most_seconds = 3.6, .most_gets = 8}}},
        {"5M", {alone(REFERENCE, 5000000), {.most_seconds = 9.0, .most_gets = 3.5}}},
        {"variant5M", {alone(VARIANT, 5000000), {.most_seconds = 2.8, .most_gets = 1.7}}},
        {"wide5M", {alone(WIDE, 5000000), {.most_seconds = 12.7, .most_gets = 5.4}}},
        {"wide2M", {alone(WIDE, 2000000), {.most_seconds = 8.1, .most_gets = 7}}},
        {"short5M", {alone(SHORT, 5000000), {}}},
        {"long5M", {behind(long_path, 5000000), at_bound}},
        {"long1M", {behind(long_path, 1000000), {}}},
        {"rate600", {behind(narrow, 5000000), narrow_targets}},
        {"rate600_1M", {behind(narrow, 1000000), {}}},
        {"down400", {behind(narrow_down, 5000000), narrow_targets}},
        {"down400_1M", {behind(narrow_down, 1000000), {}}},
        {"down500q50", {behind(short_queue, 5000000), at_bound}},
        {"loss20", {behind(lossy, 5000000), at_bound}},
        {"three900", {behind(shared, 5000000, 3, 2), {.least_jain = 0.95, .least_window = 0.4}}},
        {"four5M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}}, std::vector<ClientSetup>(4, client(5000000))};
          },
          {.most_gets = 5, .least_jain = 0.95, .least_window = 0.5}}},
        {"stagger5M",
         {[](std::uint32_t s) {
              return Scenario{
                  {{REFERENCE, s}},
                  {client(5000000, 0), client(5000000, 1), client(5000000, 2), client(5000000, 3)}};
          },
          {.most_gets = 5, .least_jain = 0.95, .least_window = 0.5}}},
        {"stagger2M",
         {[](std::uint32_t s) {
              return Scenario{
                  {{REFERENCE, s}},
                  {client(2000000, 0), client(2000000, 1), client(2000000, 2), client(2000000, 3)}};
          },
          {.most_gets = 8.5, .least_jain = 0.95, .least_window = 0.3}}},
        {"apart5M",
         {[](std::uint32_t s) {
              return Scenario{
                  {{REFERENCE, s}},
                  {client(5000000, 0), client(5000000, 2), client(5000000, 4), client(5000000, 6)}};
          },
          {.most_gets = 5, .least_jain = 0.95, .least_window = 0.6}}},
        // Each server adds about what it delivers: 1.85, 3.3 and 5 times one.
        {"servers1", {[](std::uint32_t s) { return spread(1, s); }, {.most_seconds = 27.7, .most_gets = 3}}},
        {"servers2",
         {[](std::uint32_t s) { return spread(2, s); }, {.most_seconds = 14.9, .most_gets = 3.5}}},
        {"servers4", {[](std::uint32_t s) { return spread(4, s); }, {.most_seconds = 8.36, .most_gets = 4}}},
        {"servers8", {[](std::uint32_t s) { return spread(8, s); }, {.most_seconds = 5.52, .most_gets = 5}}},
        {"10M",
         {[](std::uint32_t s) { return spread(1, s, 10000000); }, {.most_seconds = 15.5, .most_gets = 3}}},
        {"10Mx2",
         {[](std::uint32_t s) { return spread(2, s, 10000000); }, {.most_seconds = 9.0, .most_gets = 3.5}}},
        {"10Mx4",
         {[](std::uint32_t s) { return spread(4, s, 10000000); }, {.most_seconds = 6.1, .most_gets = 4.6}}},
        {"10Mx8",
         {[](std::uint32_t s) { return spread(8, s, 10000000); }, {.most_seconds = 4.3, .most_gets = 6.5}}},
        {"resumed2M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}}, {{2000000, 0, {0}, 1000}}};
          },
          {.most_seconds = 3.6, .most_gets = 8}}},
        {"gaps2M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}}, {{2000000, 0, {0}, 0, 3}}};
          },
          {.most_seconds = 4.3, .most_gets = 7}}},
        {"window100",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}}, {{1000000, 0, {0}, 0, 0, 100}}};
          },
          {.most_seconds = 13, .most_gets = 30}}},
        {"eight2M",
         {[](std::uint32_t s) {
              std::vector<ClientSetup> clients;
              for (int i = 0; i < 8; ++i) {
                  clients.push_back(client(2000000, 0.5 * i));
              }
              return Scenario{{{REFERENCE, s}}, clients};
          },
          {.most_gets = 12}}},
        {"mirror5M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}, {REFERENCE, s + 1000}}, {client(5000000, 0, {0, 1})}};
          },
          {.most_seconds = 6.0, .most_gets = 4.5}}},
        {"dead2M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}, sim::dead_server(s + 1000, true)},
                              {client(2000000, 0, {0, 1})}};
          },
          {.most_seconds = 5.3, .most_gets = 6.5}}},
        {"silent2M",
         {[](std::uint32_t s) {
              return Scenario{{{REFERENCE, s}, sim::dead_server(s + 1000, false)},
                              {client(2000000, 0, {0, 1})}};
          },
          {.most_seconds = 5.3, .most_gets = 7.6}}},
        {"alone2M", {alone(REFERENCE, 2000000), {.most_seconds = 5.3, .most_gets = 6}}},
        {"late300k",
         {[](std::uint32_t s) { return outage(s, Outage::silent, 0, 4, 300000); },
          {.most_seconds = 7, .most_gets = 50}}},
        {"frozen20M",
         {[](std::uint32_t s) { return outage(s, Outage::frozen, 8, 18, 20000000); },
          {.most_seconds = 38, .most_gets = 3}}},
        {"frozen5M",
         {[](std::uint32_t s) { return outage(s, Outage::frozen, 3, 13, 5000000); },
          {.most_seconds = 19, .most_gets = 4.2}}},
        {"refusing5M",
         {[](std::uint32_t s) { return outage(s, Outage::refusing, 3, 13, 5000000); },
          {.most_seconds = 20.5, .most_gets = 4.5}}},
        {"dropping5M",
         {[](std::uint32_t s) { return outage(s, Outage::silent, 3, 13, 5000000); },
          {.most_seconds = 20.5, .most_gets = 4.5}}},
        {"refusing20M",
         {[](std::uint32_t s) { return outage(s, Outage::refusing, 8, 18, 20000000); },
          {.most_seconds = 39, .most_gets = 2.8}}},
        {"frozen1M",
         {[](std::uint32_t s) { return outage(s, Outage::frozen, 1, 4, 1000000); },
          {.most_seconds = 6.2, .most_gets = 9.5}}},
    };
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double jain(const std::vector<double>& rates) {
    double sum = 0;
    double squares = 0;
    for (const double r : rates) {
        sum += r;
        squares += r * r;
    }
    return sum * sum / (static_cast<double>(rates.size()) * squares);
}

// What one run of a scenario achieved.
struct Outcome {
    double slowest = 0;
    double fastest = 0;
    double gets_per_chunk = 0;
    double fairness = 0;  // Jain's index of the clients' rates
    double capacity = 0;  // the useful bytes over all the servers could deliver until the last was done
    std::optional<double> window;  // the worst 2 s window of any client, of its fair share
    int incomplete = 0;
    double dropped = 0;  // of what met the path's queue, the most either way dropped
    double wait_ms = 0;  // the longer median wait either way
};

bool shaped(const ServerSetup& server) {
    return server.relay.active();
}

// The path's queue, the worse way of the two: its drops and median wait.
void measure_queue(const sim::ServerResult& server, Outcome& outcome) {
    for (const sim::QueueResult& way : server.relay) {
        if (way.offered > 0) {
            outcome.dropped = std::max(outcome.dropped, static_cast<double>(way.overflow) / way.offered);
        }
        outcome.wait_ms = std::max(outcome.wait_ms, static_cast<double>(way.median_wait_ms.value_or(0)));
    }
}

Outcome measure(const Scenario& scenario, const sim::Result& result) {
    Outcome outcome;
    std::vector<double> times, rates;
    double gets = 0, chunks = 0, all_done = 0;
    for (std::size_t c = 0; c < result.clients.size(); ++c) {
        const sim::ClientResult& client = result.clients[c];
        outcome.incomplete += !client.complete || !client.each_chunk_once;
        const double seconds = static_cast<double>(client.duration) / 1e9;
        times.push_back(seconds);
        rates.push_back(static_cast<double>(scenario.clients[c].file_size) / seconds);
        gets += static_cast<double>(client.gets);
        chunks += static_cast<double>(client.useful);
        all_done = std::max(all_done, static_cast<double>(scenario.clients[c].start) / 1e9 + seconds);
    }
    outcome.slowest = *std::max_element(times.begin(), times.end());
    outcome.fastest = *std::min_element(times.begin(), times.end());
    outcome.gets_per_chunk = gets / chunks;
    outcome.fairness = jain(rates);
    double capacity = 0;
    for (const ServerSetup& server : scenario.servers) {
        const bool dead = server.down_from <= 0 && server.down_until == INT64_MAX;
        capacity += dead ? 0 : sim::ceiling(server);
    }
    outcome.capacity = chunks / all_done / capacity;
    outcome.window = sim::worst_window_share(scenario.clients, result, capacity);
    for (const sim::ServerResult& server : result.servers) {
        measure_queue(server, outcome);
    }
    return outcome;
}

// The chunks of the first client over the ceiling of its first server, plus two mean round trips.
double bound(const Scenario& scenario) {
    const ServerSetup& server = scenario.servers[scenario.clients[0].servers[0]];
    const double chunks = static_cast<double>((scenario.clients[0].file_size + 999) / 1000);
    return chunks / sim::ceiling(server) + 2 * static_cast<double>(sim::mean_round_trip(server)) / 1e9;
}

// Medians over the runs of a scenario.
struct Medians {
    double slowest, fastest, gets, jain, worst_jain, capacity, dropped, wait_ms;
    double window = -1;  // none when negative
    double worst_window = -1;
};

// The targets the medians miss, as text; empty when all are met.
std::string misses(const Targets& t, const Medians& m, double bound_s) {
    std::string missed;
    const auto miss = [&](bool failed, const char* what) {
        if (failed) {
            missed += missed.empty() ? what : std::string(", ") + what;
        }
    };
    miss(t.most_seconds > 0 && m.slowest > t.most_seconds, "time");
    miss(t.within_bound && m.slowest > bound_s, "bound");
    miss(t.most_gets > 0 && m.gets > t.most_gets, "GETs");
    miss(t.most_dropped > 0 && m.dropped > t.most_dropped, "drops");
    miss(t.most_wait_ms > 0 && m.wait_ms > t.most_wait_ms, "wait");
    miss(t.least_jain > 0 && m.jain < t.least_jain, "Jain");
    miss(t.least_window > 0 && m.window < t.least_window, "window");
    return missed;
}

void print(const std::string& name, const Medians& m, const Scenario& first, const Targets& targets) {
    std::printf(
        "%-10s slowest %6.2f s  fastest %6.2f s  GETs/chunk %5.2f  Jain %.3f (worst %.3f)  capacity %3.0f %%",
        name.c_str(), m.slowest, m.fastest, m.gets, m.jain, m.worst_jain, 100 * m.capacity);
    if (m.window >= 0) {
        std::printf("  window %3.0f %% (worst %3.0f %%)", 100 * m.window, 100 * m.worst_window);
    }
    const bool path = shaped(first.servers[0]);
    if (path) {
        std::printf("  bound %5.2f s  dropped %4.1f %%  wait %4.0f ms", bound(first), 100 * m.dropped,
                    m.wait_ms);
    }
    const std::string missed = misses(targets, m, path ? bound(first) : 0);
    std::printf("  %s\n", missed.empty() ? "targets met" : ("MISSED: " + missed).c_str());
    std::fflush(stdout);
}

// Returns false when a run left a client incomplete or a chunk taken twice.
bool run(const std::string& name, const Entry& entry, int runs) {
    std::vector<double> slowest, fastest, gets_per_chunk, fairness, capacity, windows, dropped, waits;
    int incomplete = 0;
    for (int r = 0; r < runs; ++r) {
        const Scenario scenario = entry.make(static_cast<std::uint32_t>(r + 1));
        const sim::Result result = sim::simulate(scenario.servers, scenario.clients, 300 * sim::SECOND,
                                                 static_cast<std::uint32_t>(r + 7));
        const Outcome outcome = measure(scenario, result);
        if (std::getenv("SIM_EACH")) {
            std::printf(
                "  run %d: slowest %.2f fastest %.2f gets %.2f jain %.3f window %.0f dropped %.1f wait "
                "%.0f\n",
                r + 1, outcome.slowest, outcome.fastest, outcome.gets_per_chunk, outcome.fairness,
                100 * outcome.window.value_or(-1), 100 * outcome.dropped, outcome.wait_ms);
        }
        slowest.push_back(outcome.slowest);
        fastest.push_back(outcome.fastest);
        gets_per_chunk.push_back(outcome.gets_per_chunk);
        fairness.push_back(outcome.fairness);
        capacity.push_back(outcome.capacity);
        dropped.push_back(outcome.dropped);
        waits.push_back(outcome.wait_ms);
        if (outcome.window && scenario.clients.size() > 1) {
            windows.push_back(*outcome.window);
        }
        incomplete += outcome.incomplete;
    }
    Medians m{median(slowest),
              median(fastest),
              median(gets_per_chunk),
              median(fairness),
              *std::min_element(fairness.begin(), fairness.end()),
              median(capacity),
              median(dropped),
              median(waits)};
    if (!windows.empty()) {
        m.window = median(windows);
        m.worst_window = *std::min_element(windows.begin(), windows.end());
    }
    print(name, m, entry.make(1), entry.targets);
    if (incomplete > 0) {
        std::printf("%-10s INCOMPLETE in %d runs\n", name.c_str(), incomplete);
    }
    return incomplete == 0;
}

// The first run of a scenario, RATE_BIN by RATE_BIN: the time in seconds, then for one client
// (the first unless named) and its first server the engine's pace (GETs/s), the GETs it sent and the chunks
// it took a second, the datagrams the relay's queue held, up and down, at most, and the wait in line that the
// engine read from its replies (ms, -1 while it could not tell).
void series(const Entry& entry, std::size_t watched) {
    const std::uint32_t run =
        std::getenv("SIM_RUN") ? static_cast<std::uint32_t>(std::atoi(std::getenv("SIM_RUN"))) : 1;
    const Scenario scenario = entry.make(run);
    std::vector<double> pace;
    std::vector<double> wait_ms;
    std::vector<std::uint64_t> gets;
    const sim::Result result =
        sim::simulate(scenario.servers, scenario.clients, 300 * sim::SECOND, run + 6,
                      [&](sim::Nanos now, std::size_t c, const fetch::Engine& engine) {
                          const auto bin = static_cast<std::size_t>(now / sim::RATE_BIN);
                          if (c != watched) {
                              return;
                          }
                          pace.resize(bin + 1, pace.empty() ? 0 : pace.back());
                          wait_ms.resize(bin + 1, -1);
                          gets.resize(bin + 1, gets.empty() ? 0 : gets.back());
                          pace[bin] = engine.rate(0);
                          const auto queue = engine.queue(0, now);
                          wait_ms[bin] = queue ? static_cast<double>(queue->wait) / sim::MS : -1;
                          gets[bin] = engine.stats(0).gets;
                      });
    const std::vector<std::uint32_t>& taken = result.clients[watched].taken_per_bin;
    const sim::ServerResult& server = result.servers[0];
    const double per_second = static_cast<double>(sim::SECOND) / sim::RATE_BIN;
    for (std::size_t bin = 0; bin < pace.size(); ++bin) {
        const auto held = [&](std::size_t way) {
            const std::vector<std::uint32_t>& h = server.relay[way].held_per_bin;
            return bin < h.size() ? h[bin] : 0U;
        };
        std::printf("%.1f %.0f %.0f %.0f %u %u %.0f\n", static_cast<double>(bin) / per_second, pace[bin],
                    static_cast<double>(gets[bin] - (bin > 0 ? gets[bin - 1] : 0)) * per_second,
                    (bin < taken.size() ? taken[bin] : 0) * per_second, held(0), held(1), wait_ms[bin]);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto all = scenarios();
    if ((argc == 3 || argc == 4) && std::string(argv[1]) == "--series") {
        const auto found = all.find(argv[2]);
        if (found == all.end()) {
            std::fprintf(stderr, "unknown scenario %s\n", argv[2]);
            return 2;
        }
        series(found->second, argc == 4 ? static_cast<std::size_t>(std::atoi(argv[3])) : 0);
        return 0;
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
    if (chosen.empty()) {
        for (const auto& [name, entry] : all) {
            chosen.push_back(name);
        }
    }
    bool exact = true;
    for (const std::string& name : chosen) {
        const auto found = all.find(name);
        if (found == all.end()) {
            std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
            return 2;
        }
        exact = run(name, found->second, runs) && exact;
    }
    return exact ? 0 : 1;
}
