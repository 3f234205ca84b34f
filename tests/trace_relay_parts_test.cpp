// drovik-trace's relay apart from its sockets: the shaped path on a virtual clock, the output
// buffer before a writer that refuses, the client pool.
#include <gtest/gtest.h>
#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pathsim/shaped_link.hpp"
#include "trace/client_pool.hpp"
#include "trace/output_buffer.hpp"

namespace drovik::trace {
namespace {

constexpr std::int64_t MS = 1000000;

// One datagram's story on the path: when it arrived and each copy's departure and fate.
struct Story {
    std::int64_t arrived_ns = 0;
    std::optional<Fate> dropped;
    std::vector<std::pair<std::int64_t, Fate>> left;
};

// `count` datagrams, one every `spacing_ns` from 0, through `link`, the clock moving 1 ms at
// a time until every copy has left. The datagram's bytes are its number.
std::vector<Story> play(ShapedLink& link, std::mt19937& stream, int count, std::int64_t spacing_ns) {
    std::vector<Story> stories(static_cast<std::size_t>(count));
    std::int64_t now_ns = 0;
    const auto sent = [&](std::size_t, std::string_view datagram, Fate fate) {
        stories[std::stoul(std::string(datagram))].left.emplace_back(now_ns, fate);
    };
    int next = 0;
    for (; next < count || link.held() > 0; now_ns += MS) {
        for (; next < count && next * spacing_ns <= now_ns; ++next) {
            Story& story = stories[static_cast<std::size_t>(next)];
            story.arrived_ns = now_ns;
            const ShapedLink::Taken taken = link.take(0, std::to_string(next), stream, now_ns);
            if (taken.copies == 0) {
                story.dropped = taken.fate;
            }
            link.release(now_ns, sent);
        }
        link.release(now_ns, sent);
    }
    return stories;
}

PathModel path(std::int32_t loss, std::int32_t dup, std::int32_t min_ms, std::int32_t max_ms,
               std::size_t queue) {
    PathModel shaped = UNSHAPED;
    shaped.lost_from = shaped.decisions - loss;
    shaped.duplicate_below = dup;
    shaped.min_delay_ms = min_ms;
    shaped.max_delay_ms = max_ms;
    shaped.max_pending = queue;
    return shaped;
}

// --loss 0.3 --dup 0.2 --delay 50-150: shares within four standard errors over 20000 datagrams.
TEST(ShapedLink, LossCopiesAndDelaysFollowTheOptionsAndTheSeed) {
    const PathModel shaped = path(300000, 200000, 50, 150, 100000);
    ShapedLink link(shaped, std::nullopt);
    std::mt19937 stream(7);
    const std::vector<Story> stories = play(link, stream, 20000, 5 * MS);
    int lost = 0;
    int kept = 0;
    int copies = 0;
    double delay_sum = 0;
    for (const Story& story : stories) {
        if (story.dropped) {
            EXPECT_EQ(*story.dropped, Fate::lost);
            EXPECT_TRUE(story.left.empty());
            ++lost;
            continue;
        }
        ++kept;
        ASSERT_FALSE(story.left.empty());
        EXPECT_EQ(story.left.front().second, Fate::relayed) << "the first copy to leave is the relayed one";
        for (std::size_t k = 0; k < story.left.size(); ++k) {
            const std::int64_t delay_ns = story.left[k].first - story.arrived_ns;
            // Less than a whole millisecond before its time counts as due, as in the server's queue.
            EXPECT_GE(delay_ns, 49 * MS);
            EXPECT_LE(delay_ns, 150 * MS);
            delay_sum += static_cast<double>(delay_ns) / MS;
            EXPECT_EQ(story.left[k].second, k == 0 ? Fate::relayed : Fate::copy);
        }
        copies += static_cast<int>(story.left.size()) - 1;
    }
    EXPECT_NEAR(lost / 20000.0, 0.3, 0.013);
    EXPECT_NEAR(static_cast<double>(copies) / kept, 0.25, 0.02);
    EXPECT_NEAR(delay_sum / (kept + copies), 100, 1);

    ShapedLink again(shaped, std::nullopt);
    std::mt19937 same(7);
    const std::vector<Story> replay = play(again, same, 20000, 5 * MS);
    ShapedLink other(shaped, std::nullopt);
    std::mt19937 different(8);
    const std::vector<Story> elsewhere = play(other, different, 20000, 5 * MS);
    int same_fates = 0;
    int other_fates = 0;
    for (std::size_t i = 0; i < stories.size(); ++i) {
        same_fates += stories[i].dropped == replay[i].dropped && stories[i].left == replay[i].left ? 1 : 0;
        other_fates +=
            stories[i].dropped == elsewhere[i].dropped && stories[i].left == elsewhere[i].left ? 1 : 0;
    }
    EXPECT_EQ(same_fates, 20000);
    EXPECT_LT(other_fates, 10000);
}

// --rate 100 --queue 200, a thousand datagrams at once: a burst of two, then one every 10 ms.
TEST(ShapedLink, TheRateSpacesDeparturesAndTheQueueBoundsWhatWaits) {
    ShapedLink link(path(0, 0, 0, 0, 200), 100);
    std::mt19937 stream(1);
    const std::vector<Story> stories = play(link, stream, 1000, 0);
    std::vector<std::int64_t> departures;
    int overflow = 0;
    for (const Story& story : stories) {
        overflow += story.dropped == Fate::overflow ? 1 : 0;
        for (const auto& [when, fate] : story.left) {
            departures.push_back(when);
        }
    }
    EXPECT_EQ(overflow, 798);
    ASSERT_EQ(departures.size(), 202U);
    std::sort(departures.begin(), departures.end());
    for (std::size_t i = 0; i + 102 < departures.size(); ++i) {
        EXPECT_GE(departures[i + 102] - departures[i], 1000 * MS) << "more than 102 left within a second";
    }
    EXPECT_EQ(departures.back(), 2000 * MS);
    // The k-th to leave waited about k - 2 tokens' time for the rate.
    EXPECT_NEAR(static_cast<double>(link.wait_quantile_ms(0.5).value_or(-1)), 990, 20);
    EXPECT_NEAR(static_cast<double>(link.wait_quantile_ms(0.95).value_or(-1)), 1900, 20);
}

// --dup 0.9 --delay 100-100 --queue 5: about ten copies drawn for each datagram, five held at most.
TEST(ShapedLink, CopiesCountAgainstTheQueue) {
    ShapedLink link(path(0, 900000, 100, 100, 5), std::nullopt);
    std::mt19937 stream(3);
    for (int i = 0; i < 20; ++i) {
        const ShapedLink::Taken taken = link.take(0, "x", stream, 0);
        EXPECT_LE(link.held(), 5U) << "after datagram " << i;
        EXPECT_EQ(taken.fate, i == 0 ? Fate::relayed : Fate::overflow);
    }
}

// A writer that takes what the test allows and refuses the rest (EAGAIN), then fails.
struct Writer {
    std::string taken;
    std::size_t room = 0;
    int error = EAGAIN;
    std::vector<std::string> offered;  // what each write was given
    std::vector<std::size_t> cuts;
    ssize_t operator()(const char* data, std::size_t size) {
        offered.emplace_back(data, size);
        if (room == 0) {
            errno = error;
            return -1;
        }
        const std::size_t n = std::min(size, room);
        taken.append(data, n);
        room -= n;
        return static_cast<ssize_t>(n);
    }
};

OutputBuffer buffer(std::size_t capacity, Writer& writer) {
    return {capacity, [&](const char* data, std::size_t size) { return writer(data, size); },
            [&](std::size_t bytes) { writer.cuts.push_back(bytes); }};
}

TEST(OutputBuffer, RowsWaitForTheWriterAndWholeOnesAreDroppedWhenFull) {
    Writer writer;
    OutputBuffer rows = buffer(100, writer);
    EXPECT_EQ(rows.write_due_ns(), std::nullopt);
    for (int i = 0; i < 5; ++i) {
        rows.add(std::string(29, static_cast<char>('a' + i)) + "\n", 7 * MS);
    }
    EXPECT_EQ(rows.unwritten(), 2U) << "three rows of 30 bytes fit in 100";
    EXPECT_EQ(rows.write_due_ns(), 7 * MS + OutputBuffer::BATCH_NS);
    rows.write_some();
    EXPECT_EQ(writer.taken, "");
    writer.room = 45;
    rows.write_some();
    EXPECT_EQ(writer.taken, std::string(29, 'a') + "\n" + std::string(15, 'b'));
    rows.add(std::string(29, 'f') + "\n", 8 * MS);
    rows.add(std::string(29, 'g') + "\n", 8 * MS);
    EXPECT_EQ(rows.unwritten(), 3U) << "room for one more row";
    writer.room = 1000;
    rows.write_some();
    EXPECT_EQ(writer.taken, std::string(29, 'a') + "\n" + std::string(29, 'b') + "\n" + std::string(29, 'c') +
                                "\n" + std::string(29, 'f') + "\n");
    EXPECT_TRUE(rows.empty());
    rows.add("x\n", 9 * MS);
    rows.add("y\n", 9 * MS);
    writer.room = 1;
    rows.write_some();
    rows.abandon();
    EXPECT_EQ(rows.unwritten(), 5U) << "the two rows left at the end, one begun";
    EXPECT_EQ(writer.cuts, std::vector<std::size_t>{1}) << "the row begun is taken back";
    EXPECT_FALSE(rows.reader_gone());
    EXPECT_EQ(rows.failure(), std::nullopt);
}

// A full batch is due at once; each write ends at a row's end within PIPE_BUF bytes, which a
// pipe takes whole or refuses.
TEST(OutputBuffer, AFullBatchIsDueAtOnceAndWrittenInWholeRows) {
    Writer writer;
    writer.room = 1 << 20;
    OutputBuffer rows = buffer(1 << 20, writer);
    for (int i = 0; i < 500; ++i) {
        rows.add(std::string(10 + i % 90, 'r') + "\n", 3 * MS);
    }
    EXPECT_EQ(rows.write_due_ns(), 3 * MS);
    rows.write_some();
    ASSERT_GT(writer.offered.size(), 1U);
    for (const std::string& offered : writer.offered) {
        EXPECT_LE(offered.size(), std::size_t{PIPE_BUF});
        EXPECT_TRUE(offered.ends_with('\n'));
    }
}

TEST(OutputBuffer, AReaderGoneOrAFailedWriteEndsTheWritingNotTheCounting) {
    for (const int error : {EPIPE, ENOSPC}) {
        Writer writer{"", 0, error, {}, {}};
        OutputBuffer rows = buffer(100, writer);
        rows.add("a\n", 0);
        rows.write_some();
        rows.add("b\n", 0);
        writer.room = 100;
        rows.write_some();
        EXPECT_EQ(writer.taken, "");
        EXPECT_EQ(rows.unwritten(), 2U);
        EXPECT_EQ(rows.write_due_ns(), std::nullopt);
        EXPECT_EQ(rows.reader_gone(), error == EPIPE);
        EXPECT_EQ(rows.failure(), error == EPIPE ? std::nullopt : std::optional<int>(error));
    }
}

// The datagrams of one client: `up` sent, `down` come back.
void exchange(ClientPool& pool, std::size_t slot, int up, int down, std::int64_t now_ns) {
    for (int i = 0; i < up + down; ++i) {
        pool.count(slot, i < up ? Direction::up : Direction::down, {Kind::other, 0, 0}, Fate::relayed,
                   now_ns);
    }
}

TEST(ClientPool, ASenderNeverAnsweredGoesBeforeAClientInATransfer) {
    ClientPool pool(3, 10);
    const std::size_t talking = pool.add(10, "talking", 1);
    exchange(pool, talking, 1, 1, 2);
    const std::size_t first = pool.add(11, "first", 3);
    const std::size_t second = pool.add(12, "second", 4);
    EXPECT_TRUE(pool.full());
    const auto any = [](std::size_t) { return true; };
    EXPECT_EQ(pool.to_evict(any), first) << "not the least recently active, which was answered";
    EXPECT_EQ(pool.to_evict([&](std::size_t slot) { return slot != first && slot != second; }), talking);
    EXPECT_EQ(pool.quietest(any)->slot, talking);
    EXPECT_EQ(pool.quietest(any)->active_ns, 2);
    exchange(pool, first, 1, 0, 5);
    EXPECT_EQ(pool.to_evict(any), second);
    pool.forget(second);
    EXPECT_EQ(pool.find(12), std::nullopt);
    EXPECT_EQ(pool.find(10), talking);
    EXPECT_EQ(pool.add(13, "third", 6), second) << "the slot given back";
}

// Past the line limit, gone clients are folded together, those never answered first, and
// no datagram goes uncounted.
TEST(ClientPool, GoneClientsAreFoldedPastTheLineLimit) {
    ClientPool pool(2, 4);
    const std::size_t early = pool.add(1, "answered early", 0);
    exchange(pool, early, 3, 2, 0);
    pool.forget(early);
    for (std::uint64_t key = 2; key < 100; ++key) {
        const std::size_t slot = pool.add(key, "junk", 0);
        exchange(pool, slot, 1, 0, 0);
        pool.forget(slot);
    }
    const std::size_t live = pool.add(100, "live", 0);
    exchange(pool, live, 2, 1, 0);
    std::vector<std::string> names;
    for (const ClientPool::Record& record : pool.records()) {
        names.push_back(record.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"answered early", "junk", "junk", "live"}));
    EXPECT_EQ(pool.folded(), 96U);
    EXPECT_TRUE(pool.folded_tally().summary_line("x", false).starts_with("x: up 96 down 0,"));
}

}  // namespace
}  // namespace drovik::trace
