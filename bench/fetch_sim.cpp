// Runs drovik-fetch's transfer engine against simulated servers on a virtual clock
// and prints what it achieved, scenario by scenario: the tool for trying a policy
// change in seconds before measuring it on the real programs.
// Usage: bench-fetch-sim [RUNS] [SCENARIO...]   (default 10 runs, every scenario)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
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
        {"20M",
         [](std::uint32_t s) {
             return Scenario{{{REFERENCE, s}}, {client(20000000)}};
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
        {"late300k",
         [](std::uint32_t s) {
             ServerSetup late{REFERENCE, s};
             late.down_from = 0;
             late.down_until = 4 * sim::SECOND;
             return Scenario{{late}, {client(300000)}};
         }},
        {"frozen20M",
         [](std::uint32_t s) {
             ServerSetup frozen{REFERENCE, s};
             frozen.pause_from = 8 * sim::SECOND;
             frozen.pause_until = 18 * sim::SECOND;
             return Scenario{{frozen}, {client(20000000)}};
         }},
        {"frozen5M",
         [](std::uint32_t s) {
             ServerSetup frozen{REFERENCE, s};
             frozen.pause_from = 3 * sim::SECOND;
             frozen.pause_until = 13 * sim::SECOND;
             return Scenario{{frozen}, {client(5000000)}};
         }},
        {"refusing5M",
         [](std::uint32_t s) {
             ServerSetup gone{REFERENCE, s};
             gone.down_from = 3 * sim::SECOND;
             gone.down_until = 13 * sim::SECOND;
             gone.refuses = true;
             return Scenario{{gone}, {client(5000000)}};
         }},
        {"dropping5M",
         [](std::uint32_t s) {
             ServerSetup gone{REFERENCE, s};
             gone.down_from = 3 * sim::SECOND;
             gone.down_until = 13 * sim::SECOND;
             return Scenario{{gone}, {client(5000000)}};
         }},
        {"refusing20M",
         [](std::uint32_t s) {
             ServerSetup gone{REFERENCE, s};
             gone.down_from = 8 * sim::SECOND;
             gone.down_until = 18 * sim::SECOND;
             gone.refuses = true;
             return Scenario{{gone}, {client(20000000)}};
         }},
        {"frozen1M",
         [](std::uint32_t s) {
             ServerSetup frozen{REFERENCE, s};
             frozen.pause_from = sim::SECOND;
             frozen.pause_until = 4 * sim::SECOND;
             return Scenario{{frozen}, {client(1000000)}};
         }},
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

void run(const std::string& name, const std::function<Scenario(std::uint32_t)>& make, int runs) {
    std::vector<double> slowest, fastest, gets_per_chunk, fairness;
    int incomplete = 0;
    for (int r = 0; r < runs; ++r) {
        const Scenario scenario = make(static_cast<std::uint32_t>(r + 1));
        const sim::Result result = sim::simulate(scenario.servers, scenario.clients, 300 * sim::SECOND,
                                                 static_cast<std::uint32_t>(r + 7));
        std::vector<double> times, rates;
        double gets = 0, chunks = 0;
        for (std::size_t c = 0; c < result.clients.size(); ++c) {
            const sim::ClientResult& client = result.clients[c];
            incomplete += !client.complete || !client.each_chunk_once;
            const double seconds = static_cast<double>(client.duration) / 1e9;
            times.push_back(seconds);
            rates.push_back(static_cast<double>(scenario.clients[c].file_size) / seconds);
            gets += static_cast<double>(client.gets);
            chunks += static_cast<double>(client.useful);
        }
        slowest.push_back(*std::max_element(times.begin(), times.end()));
        fastest.push_back(*std::min_element(times.begin(), times.end()));
        gets_per_chunk.push_back(gets / chunks);
        fairness.push_back(jain(rates));
    }
    std::printf(
        "%-10s slowest %7.2f s  fastest %7.2f s  GETs/chunk %5.2f  Jain %.3f (worst %.3f)  incomplete %d\n",
        name.c_str(), median(slowest), median(fastest), median(gets_per_chunk), median(fairness),
        *std::min_element(fairness.begin(), fairness.end()), incomplete);
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
