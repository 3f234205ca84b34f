#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "net/format.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

TEST(PathServer, ServesThroughThePathItWasGiven) {
    // No loss and no delay: every request is answered at once.
    const test::RunningServer server = test::start_server(
        BENCH_PATH_SERVER_BIN, {"--loss", "0", "--dup", "0", "--delay", "0-0", "--cap", "5"});
    const test::UdpSocket client;
    for (const std::uint64_t start : {0U, 1000U, 100000000U}) {
        client.send_to(server.port, format("GET {} 1000\n", start));
        const auto reply = client.receive(5s);
        ASSERT_TRUE(reply.has_value()) << "no reply for " << start;
        EXPECT_EQ(reply->bytes, test::data_reply(start, 1000));
    }
    EXPECT_TRUE(server.process->running());
}

TEST(PathServer, APercentageThePathCannotDrawIsAUsageError) {
    const test::RunResult result = test::run_program(BENCH_PATH_SERVER_BIN, {"--loss", "15", "4000"}, 10s);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("--loss: not a multiple of 10\n", 0), 0U) << result.err;
}

}  // namespace
}  // namespace drovik
