#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/client.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"

namespace drovik {
namespace {

const std::string USAGE = "Usage: ./drovik-client ip port output_file bytes";
const std::string BAD_ADDRESS = "Invalid IP address.";
const std::string BAD_PORT = "Invalid port.";
const std::string BAD_SIZE = "Invalid file size.";

// What std::stoi itself says for `text`: the client passes the conversion's own message on.
std::string conversion_message(const std::string& text) {
    try {
        static_cast<void>(std::stoi(text));
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

// The message a construction from `args` raises, or "" when it passes.
std::string construction_error(const std::vector<std::string>& args) {
    try {
        Client client(args);
    } catch (const std::invalid_argument& error) {
        return error.what();
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "";
}

struct RuleCase {
    std::vector<std::string> args;
    std::string message;
};

TEST(ClientArguments, RulesAndTheirOrder) {
    const RuleCase cases[] = {
        {{}, USAGE},
        {{"127.0.0.1", "80", "out"}, USAGE},
        {{"127.0.0.1", "80", "out", "10", "extra"}, USAGE},
        {{"localhost", "0", "out", "0", "extra"}, USAGE},
        {{"localhost", "80", "out", "10"}, BAD_ADDRESS},
        {{"256.1.1.1", "80", "out", "10"}, BAD_ADDRESS},
        {{"1.2.3", "80", "out", "10"}, BAD_ADDRESS},
        {{"::1", "80", "out", "10"}, BAD_ADDRESS},
        {{"", "80", "out", "10"}, BAD_ADDRESS},
        {{"127.0.0.1 ", "80", "out", "10"}, BAD_ADDRESS},
        {{"256.1.1.1", "0", "out", "0"}, BAD_ADDRESS},
        {{"256.1.1.1", "abc", "out", "abc"}, BAD_ADDRESS},
        {{"127.0.0.1", "0", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", "65536", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", "-1", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", "-65535", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", "2147483647", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", "0", "out", "0"}, BAD_PORT},
        {{"127.0.0.1", "0", "out", "abc"}, BAD_PORT},
        {{"127.0.0.1", "abc", "out", "10"}, conversion_message("abc")},
        {{"127.0.0.1", "", "out", "10"}, conversion_message("")},
        {{"127.0.0.1", "2147483648", "out", "10"}, conversion_message("2147483648")},
        {{"127.0.0.1", "80", "out", "0"}, BAD_SIZE},
        {{"127.0.0.1", "80", "out", "-1"}, BAD_SIZE},
        {{"127.0.0.1", "80", "out", "-2147483648"}, BAD_SIZE},
        {{"127.0.0.1", "80", "", "0"}, BAD_SIZE},
        {{"127.0.0.1", "80", "out", "x"}, conversion_message("x")},
        {{"127.0.0.1", "80", "out", "2147483648"}, conversion_message("2147483648")},
        {{"127.0.0.1", "80", "out", "-2147483649"}, conversion_message("-2147483649")},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(construction_error(c.args), c.message);
    }
    // The conversion errors keep their own exception types.
    EXPECT_THROW(Client({"127.0.0.1", "abc", "out", "10"}), std::invalid_argument);
    EXPECT_THROW(Client({"127.0.0.1", "80", "out", "99999999999"}), std::out_of_range);
}

struct AcceptedCase {
    std::vector<std::string> args;
    std::uint16_t port;
    std::uint64_t file_size;
};

TEST(ClientArguments, AcceptedArgumentsFillTheRecord) {
    const AcceptedCase cases[] = {
        {{"127.0.0.1", "65535", "out", "1"}, 65535, 1},
        {{"127.0.0.1", "1", "out", "1500"}, 1, 1500},
        {{"127.0.0.1", "80abc", "out", "10"}, 80, 10},
        {{"127.0.0.1", " 80", "out", "10"}, 80, 10},
        {{"127.0.0.1", "+80", "out", "10"}, 80, 10},
        {{"127.0.0.1", "8080", "out", " 12kB"}, 8080, 12},
        {{"10.20.30.40", "4242", "", "2147483647"}, 4242, 2147483647},
    };
    for (const AcceptedCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Client client(c.args);
        sockaddr_in expected{};
        expected.sin_family = AF_INET;
        expected.sin_port = htons(c.port);
        ASSERT_EQ(inet_pton(AF_INET, c.args[0].c_str(), &expected.sin_addr), 1);
        // Every byte, padding included: the record is zeroed before it is filled.
        EXPECT_EQ(std::memcmp(&client.server_addr, &expected, sizeof expected), 0);
        EXPECT_EQ(client.socket_fd, 0);
        EXPECT_EQ(client.file_size, c.file_size);
        EXPECT_EQ(client.output_file, c.args[2]);
    }
}

// Process tests: the real binaries, both builds.
const std::vector<std::string> CLIENTS = {DROVIK_CLIENT_FAST_BIN, DROVIK_CLIENT_SLOW_BIN};

std::string temp_path(const std::string& name) {
    return (std::filesystem::temp_directory_path() / (name + "." + std::to_string(getpid()))).string();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ClientProgram, RefusedArgumentsGiveOneLineAndStatusOne) {
    const std::string port = std::to_string(test::free_udp_port());
    const RuleCase cases[] = {
        {{}, USAGE},
        {{"127.0.0.1", port, "out"}, USAGE},
        {{"127.0.0.1", port, "out", "10", "x"}, USAGE},
        {{"localhost", port, "out", "10"}, BAD_ADDRESS},
        {{"256.1.1.1", "0", "out", "10"}, BAD_ADDRESS},
        {{"127.0.0.1", "65536", "out", "0"}, BAD_PORT},
        {{"127.0.0.1", "-1", "out", "10"}, BAD_PORT},
        {{"127.0.0.1", port, "out", "0"}, BAD_SIZE},
        {{"127.0.0.1", "abc", "out", "10"}, conversion_message("abc")},
        {{"127.0.0.1", port, "out", "4294967296"}, conversion_message("4294967296")},
        {{"127.0.0.1", port, "", "10"}, "Error while opening/writing to file"},
        {{"127.0.0.1", port, "/nonexistent-directory/out", "10"}, "Error while opening/writing to file"},
    };
    for (const std::string& program : CLIENTS) {
        for (const RuleCase& c : cases) {
            SCOPED_TRACE(program + " " + ::testing::PrintToString(c.args));
            const test::RunResult result = test::run_program(program, c.args);
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, c.message + "\n");
            EXPECT_EQ(result.out, "");
        }
    }
}

TEST(ClientProgram, NegativeSizeTouchesNoFile) {
    const std::string existing = temp_path("drovik-negative-existing");
    const std::string missing = temp_path("drovik-negative-missing");
    std::filesystem::remove(missing);
    std::ofstream(existing, std::ios::binary) << "keep me";
    const std::string port = std::to_string(test::free_udp_port());
    for (const std::string& program : CLIENTS) {
        for (const char* size : {"-1", "-1000", "-2147483648"}) {
            SCOPED_TRACE(program + " " + size);
            for (const std::string& path : {existing, missing}) {
                const test::RunResult result = test::run_program(program, {"127.0.0.1", port, path, size});
                EXPECT_EQ(result.status, 1);
                EXPECT_EQ(result.err, BAD_SIZE + "\n");
                EXPECT_EQ(result.out, "");
            }
            EXPECT_EQ(read_file(existing), "keep me");
            EXPECT_FALSE(std::filesystem::exists(missing));
        }
    }
    std::filesystem::remove(existing);
}

}  // namespace
}  // namespace drovik
