#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "server/request_queue.hpp"
#include "server/server.hpp"

namespace drovik {
namespace {

constexpr std::int64_t MS = 1000000;

request numbered(std::uint32_t offset) {
    return request(sockaddr_in{}, "GET " + std::to_string(offset) + " 1\n");
}

// A clock the test moves by hand; `step` is added after every reading.
struct FakeClock {
    std::int64_t now_ns = 0;
    std::int64_t step = 0;
    std::int64_t operator()() {
        const std::int64_t reading = now_ns;
        now_ns += step;
        return reading;
    }
};

struct Sent {
    std::vector<std::uint32_t> offsets;
    void operator()(const request& r) { offsets.push_back(r.offset); }
};

std::int32_t send_due(RequestQueue& queue, FakeClock& clock, Sent& sent) {
    return deliver_due(
        queue, [&] { return clock(); }, [&](const request& r) { sent(r); });
}

TEST(RequestQueue, EqualSendTimesLeaveInInsertionOrder) {
    RequestQueue queue;
    FakeClock clock{5 * MS};
    schedule(queue, numbered(1), {700, 700}, [&] { return clock(); });
    schedule(queue, numbered(2), {700}, [&] { return clock(); });
    schedule(queue, numbered(3), {600, 700}, [&] { return clock(); });
    ASSERT_EQ(queue.size(), 5U);
    clock.now_ns = 5 * MS + 700 * MS;
    Sent sent;
    EXPECT_EQ(send_due(queue, clock, sent), IDLE_TIMEOUT_MS);
    EXPECT_EQ(sent.offsets, (std::vector<std::uint32_t>{3, 1, 1, 2, 3}));
    EXPECT_TRUE(queue.empty());
}

TEST(RequestQueue, SchedulingReadsTheClockForEveryDelay) {
    RequestQueue queue;
    FakeClock clock{1000, 10};
    schedule(queue, numbered(4), {500, 500, 1500}, [&] { return clock(); });
    std::vector<std::int64_t> keys;
    for (const auto& [key, r] : queue) {
        keys.push_back(key);
        EXPECT_EQ(r.offset, 4U);
    }
    EXPECT_EQ(keys, (std::vector<std::int64_t>{1000 + 500 * MS, 1010 + 500 * MS, 1020 + 1500 * MS}));
}

TEST(RequestQueue, SchedulingNoDelaysQueuesNothing) {
    RequestQueue queue;
    FakeClock clock;
    schedule(queue, numbered(4), {}, [&] { return clock(); });
    EXPECT_TRUE(queue.empty());
}

TEST(RequestQueue, SendsEveryDueReplyEarliestFirstBeforeWaiting) {
    RequestQueue queue;
    queue.emplace(30 * MS, numbered(30));
    queue.emplace(10 * MS, numbered(10));
    queue.emplace(50 * MS, numbered(50));
    queue.emplace(20 * MS, numbered(20));
    FakeClock clock{30 * MS};
    Sent sent;
    EXPECT_EQ(send_due(queue, clock, sent), 20);
    EXPECT_EQ(sent.offsets, (std::vector<std::uint32_t>{10, 20, 30}));
    ASSERT_EQ(queue.size(), 1U);
    EXPECT_EQ(queue.begin()->second.offset, 50U);
}

TEST(RequestQueue, AReplyThatFallsDueWhileSendingGoesInTheSameStep) {
    RequestQueue queue;
    queue.emplace(0, numbered(0));
    queue.emplace(2 * MS, numbered(2));
    queue.emplace(9 * MS, numbered(9));
    // Every reading of the clock is 1.5 ms later than the one before.
    FakeClock clock{0, 1500000};
    Sent sent;
    const std::int32_t wait = send_due(queue, clock, sent);
    EXPECT_EQ(sent.offsets, (std::vector<std::uint32_t>{0, 2}));
    // Readings at 0 and 1.5 ms found the first two due, 3 ms found the third 6 ms away, and the
    // wait is taken from a fresh reading at 4.5 ms.
    EXPECT_EQ(wait, 4);
}

struct Rounding {
    std::int64_t head_in_ns;
    bool due;
    std::int32_t wait_ms;
};

void PrintTo(const Rounding& row, std::ostream* out) {
    *out << "head_in_" << row.head_in_ns << "_ns";
}

class DueTimeRounding : public testing::TestWithParam<Rounding> {};

TEST_P(DueTimeRounding, LessThanAWholeMillisecondAwayIsDue) {
    const Rounding& row = GetParam();
    RequestQueue queue;
    const std::int64_t now = 123456789012;
    queue.emplace(now + row.head_in_ns, numbered(1));
    FakeClock clock{now};
    Sent sent;
    EXPECT_EQ(send_due(queue, clock, sent), row.wait_ms);
    EXPECT_EQ(sent.offsets.size(), row.due ? 1U : 0U);
    EXPECT_EQ(queue.empty(), row.due);
}

INSTANTIATE_TEST_SUITE_P(Table, DueTimeRounding,
                         testing::Values(Rounding{700000, true, IDLE_TIMEOUT_MS},
                                         Rounding{999999, true, IDLE_TIMEOUT_MS},
                                         Rounding{0, true, IDLE_TIMEOUT_MS},
                                         Rounding{-5 * MS, true, IDLE_TIMEOUT_MS},
                                         Rounding{1000000, false, 1}, Rounding{1700000, false, 1},
                                         Rounding{1500 * MS - 1, false, 1499}));

TEST(RequestQueue, EmptyQueueWaitsTheIdleSecond) {
    RequestQueue queue;
    FakeClock clock;
    Sent sent;
    EXPECT_EQ(send_due(queue, clock, sent), 1000);
    EXPECT_TRUE(sent.offsets.empty());
}

TEST(MinWaitingTime, TruncatesAndNeverGoesNegative) {
    RequestQueue queue;
    queue.emplace(10 * MS, numbered(1));
    EXPECT_EQ(min_waiting_time(queue, 10 * MS - 1700000), 1);
    EXPECT_EQ(min_waiting_time(queue, 10 * MS - 700000), 0);
    EXPECT_EQ(min_waiting_time(queue, 10 * MS), 0);
    EXPECT_EQ(min_waiting_time(queue, 12 * MS), 0);
    EXPECT_EQ(min_waiting_time(queue, -1490 * MS), 1500);
}

TEST(MinWaitingTimeDeathTest, AnEmptyQueueIsAnInvariantBreach) {
    const Server idle(1);
    EXPECT_DEATH(idle.rq_get_min_waiting_time(), "!request_queue.empty\\(\\)");
}

TEST(Admission, ValidRequestsWhileFewerThanAThousandArePending) {
    const request valid = numbered(0);
    const request invalid(sockaddr_in{}, "GET 0 0\n");
    RequestQueue queue;
    EXPECT_TRUE(admits(queue, valid));
    EXPECT_FALSE(admits(queue, invalid));
    for (std::int64_t i = 0; i < 999; ++i) {
        queue.emplace(i, valid);
    }
    ASSERT_TRUE(admits(queue, valid));
    EXPECT_FALSE(admits(queue, invalid));
    // The size is tested once: an admitted request queues all of its replies.
    FakeClock clock;
    schedule(queue, valid, {600, 700, 800}, [&] { return clock(); });
    EXPECT_EQ(queue.size(), 1002U);
    EXPECT_FALSE(admits(queue, valid));
    queue.erase(queue.begin());
    queue.erase(queue.begin());
    ASSERT_EQ(queue.size(), 1000U);
    EXPECT_FALSE(admits(queue, valid));
    queue.erase(queue.begin());
    EXPECT_TRUE(admits(queue, valid));
}

}  // namespace
}  // namespace drovik
