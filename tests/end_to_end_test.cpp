#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/loopback.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

using test::OutputFile;

// "{:.3f}% done" for a value from 0 to 100: one to three digits, a point, three digits.
bool is_progress_line(const std::string& line) {
    const std::size_t point = line.find('.');
    const auto digits = [&line](std::size_t from, std::size_t to) {
        return from < to && std::all_of(line.begin() + from, line.begin() + to,
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    return point != std::string::npos && point <= 3 && digits(0, point) && line.size() == point + 10 &&
           digits(point + 1, point + 4) && line.substr(point + 4) == "% done";
}

// Every line is a progress line, each further along than the last, ending at 100 %.
void expect_progress(const std::string& out) {
    std::istringstream lines(out);
    double previous = -1;
    std::string last;
    int count = 0;
    for (std::string line; std::getline(lines, line); last = line) {
        ++count;
        ASSERT_TRUE(is_progress_line(line)) << line;
        const double value = std::stod(line);
        EXPECT_GT(value, previous) << line;
        previous = value;
    }
    ASSERT_GT(count, 0);
    EXPECT_EQ(last, "100.000% done");
    EXPECT_EQ(out.back(), '\n');
}

TEST(EndToEnd, FastBuildDownloadsAFewHundredKilobytes) {
    const test::RunningServer server = test::start_server();
    const OutputFile output("drovik-e2e-fast");
    const std::uint64_t size = 200'500;
    const test::RunResult result =
        test::run_program(DROVIK_CLIENT_FAST_BIN,
                          {"127.0.0.1", std::to_string(server.port), output.path, std::to_string(size)}, 60s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    expect_progress(result.out);
    EXPECT_TRUE(output.bytes() == test::served_bytes(0, size)) << "the download differs from the served file";
    EXPECT_TRUE(server.process->running());
}

TEST(EndToEnd, SlowAndFastBuildsWriteTheSameFile) {
    const test::RunningServer server = test::start_server();
    const OutputFile slow_output("drovik-e2e-slow");
    const OutputFile fast_output("drovik-e2e-fast-small");
    const std::string size = "4500";
    const std::string port = std::to_string(server.port);
    test::Process slow(DROVIK_CLIENT_SLOW_BIN, {"127.0.0.1", port, slow_output.path, size});
    test::Process fast(DROVIK_CLIENT_FAST_BIN, {"127.0.0.1", port, fast_output.path, size});
    // Five chunks, one at a time: well under the limit even when the path is unkind.
    EXPECT_EQ(slow.wait_exit(45s), 0);
    EXPECT_EQ(fast.wait_exit(10s), 0);
    EXPECT_EQ(slow.err(), "");
    EXPECT_EQ(fast.err(), "");
    expect_progress(slow.out());
    expect_progress(fast.out());
    // The slow build takes one chunk per pass: one line per chunk.
    EXPECT_EQ(slow.out(), "20.000% done\n40.000% done\n60.000% done\n80.000% done\n100.000% done\n");
    const std::string expected = test::served_bytes(0, 4500);
    EXPECT_TRUE(slow_output.bytes() == expected) << "the slow build's download differs from the served file";
    EXPECT_TRUE(fast_output.bytes() == slow_output.bytes()) << "the two builds wrote different files";
}

// The client's connected socket takes replies only from the address it asked.
TEST(EndToEnd, RepliesLeaveFromTheLocalAddressTheClientAsked) {
    const test::RunningServer server = test::start_server();
    const OutputFile output("drovik-e2e-second-address");
    const test::RunResult result = test::run_program(
        DROVIK_CLIENT_SLOW_BIN, {"127.0.0.2", std::to_string(server.port), output.path, "3000"}, 45s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(output.bytes() == test::served_bytes(0, 3000)) << "the download differs from the served file";
}

}  // namespace
}  // namespace drovik
