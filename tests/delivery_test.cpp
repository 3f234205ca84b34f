#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "pathsim/path_model.hpp"
#include "server/delivery.hpp"
#include "server/request_queue.hpp"
#include "support/loopback.hpp"
#include "wire/virtual_file.hpp"

namespace drovik {
namespace {

using Delays = std::vector<std::int32_t>;

// What the 0..9 draw makes of the first outputs of the engine seeded with 5489: the low
// 4 bits, drawn again while 10 or more.
TEST(UniformDraw, DecisionsFollowTheMaskedRejectionRule) {
    // Low 4 bits: 12 6 | 14 9 | 12 15 5 | 1 | 10 11 3 | 5.
    std::mt19937 generator(5489);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 6);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 9);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 5);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 1);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 3);
    EXPECT_EQ(uniform_draw(generator, 0, 9), 5);
    EXPECT_EQ(generator(), 1196140740U) << "the draws used exactly twelve outputs";
}

// The delay draw uses the low 10 bits: 257 -> 757, 1017 rejected, 517 -> 1017, 278 -> 778.
TEST(UniformDraw, DelaysFollowTheMaskedRejectionRule) {
    std::mt19937 generator(28);
    EXPECT_EQ(uniform_draw(generator, 500, 1500), 757);
    EXPECT_EQ(uniform_draw(generator, 500, 1500), 1017);
    EXPECT_EQ(uniform_draw(generator, 500, 1500), 778);
}

// Seed 108, outputs with their low 4 and low 10 bits:
//   1003352163 (3)    decision 3: replies follow
//   3896474391 (791)  delay 1291
//   147693713  (1)    decision 1: one more copy
//   2190518731 (459)  delay 959
//   2491463022 (14)   rejected
//   2627859286 (6)    decision 6: done
//   554541650  (2)    decision 2: replies follow
//   846424180  (116)  delay 616
//   2947384626 (2)    decision 2: done
//   1383954409 (9)    decision 9: lost
TEST(DrawRepliesTimes, FixedSeedGivesTheWorkedOutLists) {
    std::mt19937 generator(108);
    EXPECT_EQ(draw_replies_times(generator), (Delays{1291, 959}));
    EXPECT_EQ(draw_replies_times(generator), (Delays{616}));
    EXPECT_EQ(draw_replies_times(generator), Delays{});
    std::mt19937 after(108);
    after.discard(10);
    EXPECT_EQ(generator(), after()) << "three lists used exactly ten outputs";
}

TEST(DrawRepliesTimes, HasTheDeliveryModelsShape) {
    constexpr int REQUESTS = 200000;
    std::mt19937 generator(20240607);
    std::map<std::size_t, int> by_count;
    std::int64_t replies = 0;
    std::int64_t delay_sum = 0;
    std::int32_t lowest = 1500;
    std::int32_t highest = 500;
    for (int i = 0; i < REQUESTS; ++i) {
        const Delays delays = draw_replies_times(generator);
        ++by_count[delays.size()];
        replies += static_cast<std::int64_t>(delays.size());
        for (const std::int32_t delay : delays) {
            ASSERT_GE(delay, 500);
            ASSERT_LE(delay, 1500);
            lowest = std::min(lowest, delay);
            highest = std::max(highest, delay);
            delay_sum += delay;
        }
    }
    // Standard errors are about 0.0011 for the shares and 0.002 for the mean count.
    EXPECT_NEAR(by_count[0] / double(REQUESTS), 0.5, 0.006);
    EXPECT_NEAR(by_count[1] / double(REQUESTS), 0.4, 0.006);
    EXPECT_NEAR(by_count[2] / double(REQUESTS), 0.08, 0.004);
    EXPECT_NEAR(by_count[3] / double(REQUESTS), 0.016, 0.002);
    EXPECT_NEAR(replies / double(REQUESTS), 0.625, 0.01);
    EXPECT_NEAR(delay_sum / double(replies), 1000.0, 3.0);
    EXPECT_EQ(lowest, 500);
    EXPECT_EQ(highest, 1500);
}

TEST(UniformDraw, EveryValueOfTheRangeIsEquallyLikely) {
    constexpr int DRAWS = 100000;
    std::mt19937 generator(7);
    std::array<int, 10> decisions{};
    for (int i = 0; i < DRAWS; ++i) {
        const std::int32_t d = uniform_draw(generator, 0, 9);
        ASSERT_GE(d, 0);
        ASSERT_LE(d, 9);
        ++decisions[static_cast<std::size_t>(d)];
    }
    // Expected 10000 each, standard deviation 95; a folded range would be off by thousands.
    for (const int count : decisions) {
        EXPECT_NEAR(count, DRAWS / 10, 500);
    }
}

TEST(EncodeDataReply, HeaderThenPayloadExactly) {
    const std::string largest = encode_data_reply(100000000, 1000);
    ASSERT_EQ(largest.size(), 1020U);
    EXPECT_EQ(largest.substr(0, 20), "DATA 100000000 1000\n");
    const std::vector<std::uint8_t> payload = virtual_file_bytes(0, 1000);
    EXPECT_EQ(largest.substr(20), std::string(payload.begin(), payload.end()));

    EXPECT_EQ(encode_data_reply(0, 1), std::string("DATA 0 1\n\x01", 10));
    EXPECT_EQ(encode_data_reply(999, 1), std::string("DATA 999 1\n\x25", 12));
    EXPECT_EQ(encode_data_reply(1, 4), "DATA 1 4\n\xa7\xc7\x4b\x9f");
}

TEST(EncodeDataReply, PayloadKeepsZeroAndLineFeedBytes) {
    // Offset 25 holds a zero byte and offset 308 a LF.
    const std::string zero = encode_data_reply(25, 1);
    EXPECT_EQ(zero, std::string("DATA 25 1\n\0", 11));
    const std::string line_feed = encode_data_reply(300, 10);
    ASSERT_EQ(line_feed.size(), std::string("DATA 300 10\n").size() + 10);
    EXPECT_EQ(line_feed[12 + 8], '\n');
}

TEST(EncodeDataReply, AnswersLeadingZerosWithTheDecodedNumbers) {
    const request r(sockaddr_in{}, "GET 0001000 0500\n");
    ASSERT_TRUE(r.valid);
    const std::string reply = encode_data_reply(r.offset, r.byte_count);
    ASSERT_EQ(reply.size(), 14U + 500U);
    EXPECT_EQ(reply.substr(0, 14), "DATA 1000 500\n");
    EXPECT_EQ(reply.substr(14, 8), "\xe9\x8f\xaf\x33\x87\x6d\x92\x63");
}

TEST(SendReply, SendsOneDatagramToTheRequestsSource) {
    test::UdpSocket server;
    test::UdpSocket client;
    const request r(client.address(), "GET 250 8\n");
    ASSERT_TRUE(r.valid);
    send_reply(r, server.fd());
    const auto reply = client.receive(std::chrono::seconds(5));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, "DATA 250 8\n\xfb\xa1\xc1\x45\x99\x7f\xa4\x75");
    EXPECT_EQ(ntohs(reply->sender.sin_port), server.port());
    EXPECT_FALSE(client.receive(std::chrono::milliseconds(0)).has_value());
}

TEST(SendReply, AFailedSendRaisesTheSystemCallError) {
    const request r(sockaddr_in{}, "GET 0 1\n");
    try {
        send_reply(r, -1);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Error while executing sendto: Bad file descriptor.");
    }
}

// Stands in for sendmsg: sends nothing and fails with `error`.
template <int error>
ssize_t failing_send(int /*socket_fd*/, const msghdr* /*message*/, int /*flags*/) {
    errno = error;
    return -1;
}

struct SendFailure {
    int error;
    SendCall send_call;
    bool raises;
};

void PrintTo(const SendFailure& row, std::ostream* out) {
    *out << strerrorname_np(row.error);
}

class SendFailures : public testing::TestWithParam<SendFailure> {};

TEST_P(SendFailures, ADestinationFaultLosesTheReplyABrokenSocketRaises) {
    const SendFailure& row = GetParam();
    RequestQueue queue;
    queue.emplace(0, request(test::loopback_address(4000), "GET 0 1\n"));
    queue.emplace(0, request(test::loopback_address(4001), "GET 1 1\n"));
    int attempts = 0;
    std::string raised;
    try {
        deliver_due(
            queue, [] { return std::int64_t{0}; },
            [&](const request& r) {
                ++attempts;
                send_reply(r, -1, row.send_call);
            });
    } catch (const std::runtime_error& error) {
        raised = error.what();
    }
    const std::string message =
        "Error while executing sendto: " + std::string(std::strerror(row.error)) + ".";
    EXPECT_EQ(raised, row.raises ? message : "");
    EXPECT_EQ(attempts, row.raises ? 1 : 2) << "a lost reply lets the next one go";
    EXPECT_EQ(queue.size(), row.raises ? 2U : 0U);
}

template <int error>
SendFailure failure(bool raises) {
    return {error, failing_send<error>, raises};
}

constexpr bool LOST = false;
constexpr bool RAISES = true;

INSTANTIATE_TEST_SUITE_P(Table, SendFailures,
                         testing::Values(failure<EINVAL>(LOST), failure<EPERM>(LOST), failure<EACCES>(LOST),
                                         failure<ENETUNREACH>(LOST), failure<EHOSTUNREACH>(LOST),
                                         failure<ENETDOWN>(LOST), failure<EHOSTDOWN>(LOST),
                                         failure<EADDRNOTAVAIL>(LOST), failure<ECONNREFUSED>(LOST),
                                         failure<ENONET>(LOST), failure<ENOPROTOOPT>(LOST),
                                         failure<EOPNOTSUPP>(LOST), failure<EPROTO>(LOST),
                                         failure<ENOBUFS>(LOST), failure<ENOMEM>(LOST), failure<EAGAIN>(LOST),
                                         failure<EBADF>(RAISES), failure<ENOTSOCK>(RAISES),
                                         failure<EFAULT>(RAISES), failure<EMSGSIZE>(RAISES)));

}  // namespace
}  // namespace drovik
