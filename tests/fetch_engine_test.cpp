// drovik-fetch's transfer engine against simulated servers on a virtual clock, and
// the parts it learns with. Seeds are fixed; the bounds are loose, so that they catch a
// fault, not a change of policy: the policy's own figures are bench-fetch-sim's targets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fetch/delay_estimate.hpp"
#include "fetch/pacer.hpp"
#include "fetch/reply_meter.hpp"
#include "fetch/start_burst.hpp"
#include "support/simulation.hpp"

namespace drovik {
namespace {

using sim::MS;
using sim::SECOND;

const PathModel REFERENCE{};
const PathModel OTHER{8, 1, 100, 300, 500};   // loss 20 %, duplicates 10 %, fast, small cap
const PathModel WIDE{3, 2, 200, 3000, 2000};  // loss 70 %, long and spread delays
const PathModel SHORT{5, 2, 20, 60, 1000};    // the server's own delays, short

// A reference server behind drovik-trace playing loss, delays of MIN-MAX ms, a rate and a queue.
sim::ServerSetup relayed(double loss, std::int32_t min_ms, std::int32_t max_ms,
                         std::optional<std::uint32_t> rate, std::size_t queue, bool up = true) {
    sim::ServerSetup server{REFERENCE, 6};
    server.relay.path = UNSHAPED;
    server.relay.path.lost_from = static_cast<std::int32_t>((1 - loss) * UNSHAPED.decisions);
    server.relay.path.min_delay_ms = min_ms;
    server.relay.path.max_delay_ms = max_ms;
    server.relay.path.max_pending = queue;
    server.relay.rate = rate;
    server.relay.up = up;
    return server;
}

sim::ServerSetup frozen(sim::Nanos from, sim::Nanos until) {
    sim::ServerSetup server{REFERENCE, 2};
    server.pause_from = from;
    server.pause_until = until;
    return server;
}

// Gone in [from, until): GETs vanish, or bring back refusals.
sim::ServerSetup gone(sim::Nanos from, sim::Nanos until, bool refusing) {
    sim::ServerSetup server{REFERENCE, 4};
    server.down_from = from;
    server.down_until = until;
    server.refuses = refusing;
    return server;
}

// `count` reference servers, each with its own seed.
std::vector<sim::ServerSetup> servers(std::uint32_t count) {
    std::vector<sim::ServerSetup> setups;
    for (std::uint32_t k = 0; k < count; ++k) {
        setups.push_back({REFERENCE, 11 + k});
    }
    return setups;
}

struct Scenario {
    std::string name;
    std::vector<sim::ServerSetup> servers;
    sim::ClientSetup client;
    double most_seconds;         // simulated time to complete at most
    double most_gets_per_chunk;  // GETs sent per chunk at most
    double most_dropped = 1;     // the share of what met the relay's queue that it dropped, either way
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class EngineScenario : public testing::TestWithParam<Scenario> {};

// Every chunk is taken exactly once, never beyond the reorder window, in bounded time and GETs.
TEST_P(EngineScenario, CompletesExactlyWithinItsBounds) {
    const Scenario& s = GetParam();
    const sim::Result result = sim::simulate(s.servers, {s.client}, 120 * SECOND);
    const sim::ClientResult& client = result.clients[0];
    ASSERT_TRUE(client.complete);
    EXPECT_TRUE(client.each_chunk_once);
    EXPECT_LT(client.most_ahead, s.client.window);
    std::uint64_t chunks = (s.client.file_size + 999) / 1000 - s.client.first_chunk;
    if (s.client.held_stride > 0) {
        chunks -= ((s.client.file_size + 999) / 1000 - 1) / s.client.held_stride + 1;
    }
    EXPECT_EQ(client.useful, chunks);
    EXPECT_LE(static_cast<double>(client.duration) / 1e9, s.most_seconds);
    EXPECT_LE(static_cast<double>(client.gets) / static_cast<double>(chunks), s.most_gets_per_chunk);
    for (const sim::QueueResult& way : result.servers[0].relay) {
        EXPECT_LE(static_cast<double>(way.overflow), s.most_dropped * static_cast<double>(way.offered));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngineScenario,
    testing::Values(
        Scenario{"one_chunk", {{REFERENCE, 1}}, {1}, 5, 300},
        Scenario{"small_file", {{REFERENCE, 1}}, {100000}, 3, 60},
        Scenario{"five_megabytes", {{REFERENCE, 1}}, {5000000}, 15, 6},
        Scenario{"resumed_half_way", {{REFERENCE, 1}}, {2000000, 0, {0}, 1000}, 8, 15},
        Scenario{"resumed_with_gaps", {{REFERENCE, 1}}, {2000000, 0, {0}, 0, 3}, 8, 15},
        Scenario{"small_reorder_window", {{REFERENCE, 1}}, {1000000, 0, {0}, 0, 100}, 25, 60},
        Scenario{"other_constants", {{OTHER, 1}}, {5000000}, 6, 3},
        Scenario{"long_spread_delays", {{WIDE, 1}}, {2000000}, 16, 12},
        // Paths of other kinds: the engine learns them from its replies.
        Scenario{"short_delays", {{SHORT, 1}}, {5000000}, 5, 4},
        Scenario{"long_delays_both_ways", {relayed(0, 1000, 2000, std::nullopt, 5000)}, {5000000}, 30, 8},
        Scenario{"narrow_both_ways", {relayed(0, 0, 0, 600, 1000)}, {5000000}, 30, 4, 0.25},
        Scenario{"narrow_down", {relayed(0, 0, 0, 400, 1000, false)}, {5000000}, 30, 4, 0.25},
        Scenario{"lossy_both_ways", {relayed(0.2, 0, 0, std::nullopt, 1000)}, {5000000}, 15, 6},
        Scenario{"frozen_for_three_seconds", {frozen(SECOND, 4 * SECOND)}, {1000000}, 12, 20},
        // Back at full speed within a few delays of the server's return.
        Scenario{"silent_for_four_seconds", {gone(0, 4 * SECOND, false)}, {300000}, 10, 60},
        Scenario{"frozen_for_ten_seconds", {frozen(3 * SECOND, 13 * SECOND)}, {5000000}, 24, 8},
        Scenario{"silent_for_ten_seconds", {gone(3 * SECOND, 13 * SECOND, false)}, {5000000}, 25, 8},
        Scenario{"unreachable_for_ten_seconds", {gone(3 * SECOND, 13 * SECOND, true)}, {5000000}, 25, 8},
        Scenario{"refusing_mirror", {{REFERENCE, 1}, sim::dead_server(3, true)}, {2000000, 0, {0, 1}}, 8, 12},
        Scenario{"silent_mirror", {{REFERENCE, 1}, sim::dead_server(3, false)}, {2000000, 0, {0, 1}}, 8, 12},
        Scenario{"two_servers", {{REFERENCE, 1}, {REFERENCE, 2}}, {5000000, 0, {0, 1}}, 9, 8},
        // 10 MB from 1, 2, 4 and 8 servers: each one adds to what the others deliver.
        Scenario{"ten_megabytes", servers(1), {10000000, 0, {0}}, 20, 5},
        Scenario{"ten_megabytes_two_servers", servers(2), {10000000, 0, {0, 1}}, 13, 6},
        Scenario{"ten_megabytes_four_servers", servers(4), {10000000, 0, {0, 1, 2, 3}}, 9, 8},
        Scenario{"ten_megabytes_eight_servers", servers(8), {10000000, 0, {0, 1, 2, 3, 4, 5, 6, 7}}, 7, 10}),
    [](const auto& info) { return info.param.name; });

// Four clients started `gap` apart on one server.
struct Sharing {
    std::string name;
    std::uint64_t file_size;
    sim::Nanos gap;
    double least_fairness;       // Jain's index of the clients' rates at least
    double least_window;         // each one's worst 2 s window, of its fair share, at least
    double most_gets_per_chunk;  // GETs sent per chunk at most
};

void PrintTo(const Sharing& sharing, std::ostream* out) {
    *out << sharing.name;
}

class EngineSharing : public testing::TestWithParam<Sharing> {};

// A client already there gives way to a newcomer, which takes no more than its share.
TEST_P(EngineSharing, EachClientGetsItsShareAllAlong) {
    const Sharing& s = GetParam();
    std::vector<sim::ClientSetup> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back({s.file_size, i * s.gap});
    }
    const sim::Result result = sim::simulate({{REFERENCE, 5}}, clients, 200 * SECOND);
    double sum = 0;
    double squares = 0;
    double gets = 0;
    for (const sim::ClientResult& client : result.clients) {
        ASSERT_TRUE(client.complete);
        EXPECT_TRUE(client.each_chunk_once);
        const double rate = 1.0 / static_cast<double>(client.duration);
        sum += rate;
        squares += rate * rate;
        gets += static_cast<double>(client.gets) / static_cast<double>(client.useful) / 4;
    }
    EXPECT_GE(sum * sum / (4 * squares), s.least_fairness) << "Jain's index of the clients' rates";
    EXPECT_LE(gets, s.most_gets_per_chunk);
    const auto window = sim::worst_window_share(clients, result, sim::useful_capacity(REFERENCE));
    ASSERT_TRUE(window);
    EXPECT_GE(*window, s.least_window);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineSharing,
                         testing::Values(Sharing{"one_second_apart", 2000000, SECOND, 0.85, 0.15, 10},
                                         Sharing{"two_seconds_apart", 5000000, 2 * SECOND, 0.85, 0.3, 7}),
                         [](const auto& info) { return info.param.name; });

// With several servers nearly every chunk is asked again before its first reply: the
// replies that still tell a first GET's fate must be found, or the baseline falls short
// of the 0.625 replies an admitted GET brings and every server is flooded.
TEST(EngineLearning, EachOfEightServersLearnsWhatItAdmits) {
    std::vector<double> baselines(8);
    sim::simulate(servers(8), {{10000000, 0, {0, 1, 2, 3, 4, 5, 6, 7}}}, 5 * SECOND, 1,
                  [&](sim::Nanos, std::size_t, const fetch::Engine& engine) {
                      for (std::size_t s = 0; s < baselines.size(); ++s) {
                          baselines[s] = engine.baseline(s).value_or(0);
                      }
                  });
    for (const double baseline : baselines) {
        EXPECT_GT(baseline, 0.5) << "less two standard deviations, no more";
    }
}

// An empty server answers the second half of the start burst like the GETs after it; a
// full one has room for a few of the burst's first GETs only, and sometimes a couple of
// the second half, whose replies may come first.
TEST(StartBurst, TellsAFullServerFromAnEmptyOne) {
    struct Case {
        bool full;
        std::uint64_t early;  // replies to the second half before any other
    };
    for (const Case c : {Case{false, 0}, Case{true, 0}, Case{true, 2}}) {
        fetch::StartBurst burst(200);
        for (std::uint64_t chunk = 0; chunk < 500; ++chunk) {
            burst.sent(chunk);
        }
        std::optional<bool> verdict;
        for (std::uint64_t chunk = 100; chunk < 100 + c.early; ++chunk) {
            verdict = burst.replied(chunk, 0).full;
        }
        for (std::uint64_t i = 0; i < 400 && !verdict; ++i) {
            const std::uint64_t chunk = 100 + i * 37 % 400;  // the second half and after, mixed
            if (i % 2 == 0 && !(c.full && chunk < 200)) {
                verdict = burst.replied(chunk, 0).full;
            }
        }
        ASSERT_TRUE(verdict) << c.full << " " << c.early;
        EXPECT_EQ(*verdict, c.full) << c.early << " early replies to the second half";
    }
}

// On a short path the second half's replies come while the GETs after the burst still leave,
// and then only replies to those: an empty server is told by the first, as they come.
TEST(StartBurst, CountsTheRepliesThatComeWhileItsGETsStillLeave) {
    fetch::StartBurst burst(200);
    for (std::uint64_t chunk = 0; chunk < 200; ++chunk) {
        burst.sent(chunk);
    }
    std::optional<bool> verdict;
    for (std::uint64_t chunk = 200; chunk < 500; ++chunk) {
        burst.sent(chunk);
        if (chunk % 4 == 0 && !verdict) {
            verdict = burst.replied(100 + (chunk - 200) / 4, 0).full;
        }
    }
    for (std::uint64_t chunk = 200; chunk < 500 && !verdict; chunk += 4) {
        verdict = burst.replied(chunk, 0).full;
    }
    ASSERT_TRUE(verdict);
    EXPECT_FALSE(*verdict) << "an empty server judged full";
}

// A token bucket that drops fractions of tokens paces far below its rate.
TEST(Pacer, SendsAtItsRateWhenWokenEveryMillisecond) {
    for (const double rate : {50.0, 450.0, 2500.0}) {
        fetch::Pacer pacer(rate, 0, 0);
        int sent = 0;
        for (fetch::Nanos now = MS; now <= SECOND; now += MS) {
            pacer.refill(now);
            while (pacer.ready()) {
                pacer.take();
                ++sent;
            }
            pacer.settle();
        }
        EXPECT_NEAR(sent, rate, rate * 0.02 + 1) << rate << " GETs/s";
    }
}

TEST(DelayEstimate, NoTimeOutBeforeTheLargestDelayCanHaveShown) {
    fetch::DelayEstimate delays;
    for (int i = 0; i < 60; ++i) {
        delays.sample(i * MS, (500 + 10 * i) * MS, true);
    }
    EXPECT_FALSE(delays.timeout(1000 * MS)) << "watched for less than the largest delay seen";
    const auto timeout = delays.timeout(2000 * MS);
    ASSERT_TRUE(timeout);
    EXPECT_GT(*timeout, 1090 * MS);
    EXPECT_LT(*timeout, 1200 * MS);
}

// GETs at a steady rate, a quarter answered once after 100 to 199 ms: the yield of a
// span reads a quarter whatever the span, and the median delay is about 150 ms.
TEST(ReplyMeter, ReadsTheRepliesPerGetFromCountsAlone) {
    fetch::ReplyMeter meter(0);
    for (int i = 0; i < 4000; ++i) {
        const fetch::Nanos sent = i * MS;
        meter.sent(sent, true);
        if (i % 4 == 0) {
            const fetch::Nanos delay = (100 + i % 100) * MS;
            meter.replied(sent + delay);
            meter.exact(sent, delay);
        }
    }
    for (const fetch::Nanos span : {300 * MS, 1000 * MS}) {
        const auto yield = meter.yield(3000 * MS - span, 3000 * MS);
        ASSERT_TRUE(yield);
        EXPECT_NEAR(*yield->per_get(), 0.25, 0.02) << span / MS << " ms";
    }
    const auto median = meter.delay_quantile(0.5);
    ASSERT_TRUE(median);
    EXPECT_NEAR(static_cast<double>(*median / MS), 150, 10);
    EXPECT_NEAR(*meter.sent_yield(1000 * MS, 2000 * MS).per_get(), 0.25, 0.01) << "by when the GETs left";
    const auto first = meter.first_yield(500, 3000 * MS);
    ASSERT_TRUE(first);
    EXPECT_NEAR(*first->per_get(), 0.25, 0.01);
}

// GETs at 1000 a second through a line that passes 600, then answered once in two after 500
// to 1500 ms: the fastest replies read the wait in line, and the GETs between two spans what
// it passes. At 500 a second nothing waits.
TEST(ReplyMeter, ReadsTheWaitInALineAndWhatItPasses) {
    for (const double rate : {1000.0, 500.0}) {
        fetch::ReplyMeter meter(0);
        std::mt19937 draws(3);
        std::vector<std::pair<fetch::Nanos, fetch::Nanos>> replies;  // (when it came, when its GET left)
        double line_free = 0;
        for (int i = 0; i < static_cast<int>(3 * rate); ++i) {
            const auto sent = static_cast<fetch::Nanos>(i * 1e9 / rate);
            meter.sent(sent, true);
            line_free = std::max(line_free, static_cast<double>(sent)) + 1e9 / 600;
            if (draws() % 2 == 0) {
                replies.emplace_back(static_cast<fetch::Nanos>(line_free) + (500 + draws() % 1000) * MS,
                                     sent);
            }
        }
        std::sort(replies.begin(), replies.end());
        const fetch::Nanos now = 3 * SECOND;
        for (const auto& [came, sent] : replies) {
            if (came <= now) {
                meter.replied(came);
                meter.exact(sent, came - sent);
            }
        }
        const auto queue = meter.queue(now);
        ASSERT_TRUE(queue) << rate;
        if (rate < 600) {
            EXPECT_LT(queue->wait, 50 * MS);
            EXPECT_FALSE(queue->passing);
            continue;
        }
        // GETs sent at s wait (1000 - 600) s / 600: those answered lately left 0.5 to 1.5 s in.
        EXPECT_GT(queue->wait, 300 * MS);
        EXPECT_LT(queue->wait, 1100 * MS);
        ASSERT_TRUE(queue->passing);
        EXPECT_NEAR(*queue->passing, 600, 90);
    }
}

}  // namespace
}  // namespace drovik
