// Runs drovik-fetch's transfer engine against simulated servers on a virtual clock
// and prints what it achieved, scenario by scenario: the tool for trying a policy
// change in seconds before measuring it on the real programs.
// Usage: bench-fetch-sim [RUNS] [SCENARIO...]   (default 10 runs, every scenario)
// Per scenario, medians over the runs: the slowest and fastest client's time, GETs per
// chunk, Jain's index of the clients' rates, the useful data over what the servers could
// deliver until the last client was done, and how fairly along the way: the worst 2 s
// window of any client as a share of its fair share (see sim::worst_window_share).
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

struct Scenario {
    std::vector<ServerSetup> servers;
    std::vector<ClientSetup> clients;
};

ClientSetup client(std::uint64_t bytes, double start_s = 0, std::vector<std::size_t> servers = {0}) {
    return {bytes, static_cast<sim::Nanos>(start_s * 1e9), std::move(servers)};
}

// One client of 20 MB on `count` reference servers.
Scenario spread(std::size_t count, std::uint32_t seed) {
    Scenario scenario;
    ClientSetup one = client(20000000, 0, {});
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

std::map<std::string, std::function<Scenario(std::uint32_t)>> scenarios() {
    return {
        {"100k",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, {client(100000)}};
         }},
        {"1M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, {client(1000000)}};
         }},
        {"5M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, {client(5000000)}};
         }},
        {"variant5M",
         [](std::uint32_t s) {
             return Scenario{{{VARIANT, s}}, {client(5000000)}};
         }},
        {"wide5M",
         [](std::uint32_t s) {
             return Scenario{{{WIDE, s}}, {client(5000000)}};
         }},
        {"four5M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, std::vector<ClientSetup>(4, client(5000000))};
         }},
        {"stagger5M",
         [](std::uint32_t s) {
             return Scenario{
                 {{REFERENCE, s}},
                 {client(5000000, 0), client(5000000, 1), client(5000000, 2), client(5000000, 3)}};
         }},
        {"apart5M",
         [](std::uint32_t s) {
             return Scenario{
                 {{REFERENCE, s}},
                 {client(5000000, 0), client(5000000, 2), client(5000000, 4), client(5000000, 6)}};
         }},
        {"servers1", [](std::uint32_t s) { return spread(1, s); }},
        {"servers2", [](std::uint32_t s) { return spread(2, s); }},
        {"servers4", [](std::uint32_t s) { return spread(4, s); }},
        {"servers8", [](std::uint32_t s) { return spread(8, s); }},
        {"eight2M",
         [](std::uint32_t s) {
             std::vector<ClientSetup> clients;
             for (int i = 0; i < 8; ++i) {
                 clients.push_back(client(2000000, 0.5 * i));
             }
             return Scenario{{{REFERENCE, s}}, clients};
         }},
        {"mirror5M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}, {REFERENCE, s + 1000}}, {client(5000000, 0, {0, 1})}};
         }},
        {"dead2M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}, sim::dead_server(s + 1000, true)},
                             {client(2000000, 0, {0, 1})}};
         }},
        {"silent2M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}, sim::dead_server(s + 1000, false)},
                             {client(2000000, 0, {0, 1})}};
         }},
        {"alone2M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, {client(2000000)}};
         }},
        {"late300k", [](std::uint32_t s) { return outage(s, Outage::silent, 0, 4, 300000); }},
        {"frozen20M", [](std::uint32_t s) { return outage(s, Outage::frozen, 8, 18, 20000000); }},
        {"frozen5M", [](std::uint32_t s) { return outage(s, Outage::frozen, 3, 13, 5000000); }},
        {"refusing5M", [](std::uint32_t s) { return outage(s, Outage::refusing, 3, 13, 5000000); }},
        {"dropping5M", [](std::uint32_t s) { return outage(s, Outage::silent, 3, 13, 5000000); }},
        {"refusing20M", [](std::uint32_t s) { return outage(s, Outage::refusing, 8, 18, 20000000); }},
        {"frozen1M", [](std::uint32_t s) { return outage(s, Outage::frozen, 1, 4, 1000000); }},
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
};

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
        capacity += dead ? 0 : sim::useful_capacity(server.path);
    }
    outcome.capacity = chunks / all_done / capacity;
    outcome.window = sim::worst_window_share(scenario.clients, result, capacity);
    return outcome;
}

void run(const std::string& name, const std::function<Scenario(std::uint32_t)>& make, int runs) {
    std::vector<double> slowest, fastest, gets_per_chunk, fairness, capacity, windows;
    int incomplete = 0;
    for (int r = 0; r < runs; ++r) {
        const Scenario scenario = make(static_cast<std::uint32_t>(r + 1));
        const sim::Result result = sim::simulate(scenario.servers, scenario.clients, 300 * sim::SECOND,
                                                 static_cast<std::uint32_t>(r + 7));
        const Outcome outcome = measure(scenario, result);
        slowest.push_back(outcome.slowest);
        fastest.push_back(outcome.fastest);
        gets_per_chunk.push_back(outcome.gets_per_chunk);
        fairness.push_back(outcome.fairness);
        capacity.push_back(outcome.capacity);
        if (outcome.window && scenario.clients.size() > 1) {
            windows.push_back(*outcome.window);
        }
        incomplete += outcome.incomplete;
    }
    std::printf(
        "%-10s slowest %6.2f s  fastest %6.2f s  GETs/chunk %5.2f  Jain %.3f (worst %.3f)  capacity %3.0f %%",
        name.c_str(), median(slowest), median(fastest), median(gets_per_chunk), median(fairness),
        *std::min_element(fairness.begin(), fairness.end()), 100 * median(capacity));
    if (!windows.empty()) {
        std::printf("  window %3.0f %% (worst %3.0f %%)", 100 * median(windows),
                    100 * *std::min_element(windows.begin(), windows.end()));
    }
    std::printf("  incomplete %d\n", incomplete);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    const auto all = scenarios();
    std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
    if (chosen.empty()) {
        for (const auto& [name, make] : all) {
            chosen.push_back(name);
        }
    }
    for (const std::string& name : chosen) {
        const auto found = all.find(name);
        if (found == all.end()) {
            std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
            return 2;
        }
        run(name, found->second, runs);
    }
}
