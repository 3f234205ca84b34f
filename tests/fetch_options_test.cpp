#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "fetch/options.hpp"
#include "fetch/server_list.hpp"
#include "support/process.hpp"

namespace drovik::fetch {
namespace {

const std::vector<std::string> GOOD = {"127.0.0.1", "4000", "out.bin", "5000"};

std::vector<std::string> with(std::vector<std::string> front, const std::vector<std::string>& rest = GOOD) {
    front.insert(front.end(), rest.begin(), rest.end());
    return front;
}

struct UsageCase {
    std::vector<std::string> args;
    std::string message;  // CLI11's first line
};

TEST(FetchOptions, UsageErrorsEndWithStatusTwoAndPointToHelp) {
    const UsageCase cases[] = {
        {{}, "HOST is required"},
        {{"127.0.0.1", "4000", "out.bin"}, "BYTES is required"},
        {with({}, {"127.0.0.1", "4000", "out.bin", "5000", "extra"}),
         "The following argument was not expected: extra"},
        {{"127.0.0.1", "0", "out.bin", "5000"}, "PORT: Value 0 not in range 1 to 65535"},
        {{"127.0.0.1", "65536", "out.bin", "5000"}, "PORT: Value 65536 not in range 1 to 65535"},
        {{"127.0.0.1", "4000", "out.bin", "0"}, "BYTES: Value 0 not in range 1 to 2147483647"},
        {{"127.0.0.1", "4000", "out.bin", "2147483648"},
         "BYTES: Value 2147483648 not in range 1 to 2147483647"},
        {with({"-m", "mirror"}), "--mirror: 'mirror' is not HOST:PORT with a port of 1..65535"},
        {with({"--stall-timeout", "-1"}), "--stall-timeout: not a decimal number: -1"},
        {{"127.0.0.1", "0x10", "out.bin", "5000"}, "PORT: not a decimal number: 0x10"},
        {{"127.0.0.1", "4000", "out.bin", "1e3"}, "BYTES: not a decimal number: 1e3"},
        {with({"--bogus"}), "The following argument was not expected: --bogus"},
        {with({"--restart", "-r"}), "--resume excludes --restart"},
    };
    for (const UsageCase& c : cases) {
        const auto parsed = parse_options(c.args);
        ASSERT_TRUE(std::holds_alternative<EarlyExit>(parsed)) << c.message;
        const EarlyExit& early = std::get<EarlyExit>(parsed);
        EXPECT_EQ(early.status, 2) << c.message;
        EXPECT_EQ(early.out, "");
        EXPECT_EQ(early.err, c.message + "\nRun with --help for more information.\n");
    }
}

TEST(FetchOptions, HelpAndVersionEndWell) {
    const auto version = std::get<EarlyExit>(parse_options({"--version"}));
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "drovik-fetch 0.1.0\n");
    const auto help = std::get<EarlyExit>(parse_options({"-h"}));
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: drovik-fetch [OPTIONS] HOST PORT OUTPUT_FILE BYTES"), std::string::npos);
}

TEST(FetchOptions, MirrorsFollowTheMainServerInOrder) {
    const auto options = std::get<Options>(parse_options(
        with({"-m", "b.example:4002", "-rqs", "--mirror=10.0.0.3:4003", "--stall-timeout", "0"})));
    ASSERT_EQ(options.servers.size(), 3u);
    EXPECT_EQ(options.servers[0].name(), "127.0.0.1:4000");
    EXPECT_EQ(options.servers[1].name(), "b.example:4002");
    EXPECT_EQ(options.servers[2].name(), "10.0.0.3:4003");
    EXPECT_EQ(options.output_file, "out.bin");
    EXPECT_EQ(options.bytes, 5000u);
    EXPECT_TRUE(options.resume && options.quiet && options.stats);
    EXPECT_EQ(options.stall_timeout_s, 0u);
    const auto defaults = std::get<Options>(parse_options(GOOD));
    EXPECT_FALSE(defaults.resume || defaults.restart || defaults.quiet || defaults.stats);
    EXPECT_TRUE(std::get<Options>(parse_options(with({"--restart"}))).restart);
    EXPECT_EQ(defaults.stall_timeout_s, 30u);
    // Leading zeros are decimal, not octal.
    const auto zeros = std::get<Options>(parse_options({"127.0.0.1", "010", "out.bin", "0100"}));
    EXPECT_EQ(zeros.servers[0].port, 10);
    EXPECT_EQ(zeros.bytes, 100u);
}

TEST(FetchOptions, EndpointNeedsAHostAndAWholePort) {
    for (const char* bad : {"host", ":4000", "host:", "host:0", "host:65536", "host:40x", "host:+40"}) {
        EXPECT_FALSE(parse_endpoint(bad)) << bad;
    }
    EXPECT_EQ(parse_endpoint("a:b:65535")->host, "a:b");
}

// Paced as two, one server given twice would be flooded.
TEST(FetchServers, TheSameServerGivenTwiceIsUsedOnce) {
    const auto servers = distinct_servers(
        {{"127.0.0.1", 4000}, {"localhost", 4000}, {"127.0.0.1", 4001}, {"127.0.0.1", 4000}});
    ASSERT_EQ(servers.size(), 2u);
    EXPECT_EQ(servers[0].name, "127.0.0.1:4000 (also localhost:4000, 127.0.0.1:4000)");
    EXPECT_EQ(servers[1].name, "127.0.0.1:4001");
    EXPECT_EQ(ntohs(servers[1].address.sin_port), 4001);
}

TEST(FetchProgram, UsageErrorAndBadHost) {
    const test::RunResult usage = test::run_program(DROVIK_FETCH_BIN, {"127.0.0.1", "4000"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.err, "OUTPUT_FILE is required\nRun with --help for more information.\n");
    const test::RunResult bad_host =
        test::run_program(DROVIK_FETCH_BIN, {"256.1.1.1", "4000", "/nonexistent/x", "9"});
    EXPECT_EQ(bad_host.status, 1);
    EXPECT_EQ(bad_host.err.rfind("drovik-fetch: Cannot resolve 256.1.1.1: ", 0), 0u) << bad_host.err;
    EXPECT_EQ(bad_host.err.find('\n'), bad_host.err.size() - 1) << "one line";
    EXPECT_EQ(bad_host.out, "");
}

}  // namespace
}  // namespace drovik::fetch
