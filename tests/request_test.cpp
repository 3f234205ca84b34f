#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>

#include "server/request.hpp"

namespace drovik {
namespace {

using namespace std::string_literals;

sockaddr_in some_sender() {
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_port = htons(40123);
    sender.sin_addr.s_addr = htonl(0x7f000102);
    return sender;
}

// The server hands the decoder the received bytes up to the first zero byte.
std::string text_of(const std::string& datagram) {
    return datagram.substr(0, datagram.find('\0'));
}

struct Row {
    std::string datagram;
    bool valid;
    std::uint32_t offset;
    std::uint32_t byte_count;
};

// Names the row after its datagram: letters and digits kept, the rest spelled out.
void PrintTo(const Row& row, std::ostream* out) {
    if (row.datagram.empty()) {
        *out << "empty";
    }
    for (const char c : row.datagram) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            *out << c;
        } else if (c == ' ') {
            *out << '_';
        } else if (c == '\n') {
            *out << "LF";
        } else {
            *out << 'x' << static_cast<int>(static_cast<unsigned char>(c)) << 'x';
        }
    }
}

class RequestGrammar : public testing::TestWithParam<Row> {};

TEST_P(RequestGrammar, DecodesAsTheTableSays) {
    const Row& row = GetParam();
    const sockaddr_in sender = some_sender();
    const request r(sender, text_of(row.datagram));
    EXPECT_EQ(r.valid, row.valid);
    EXPECT_EQ(r.offset, row.offset);
    EXPECT_EQ(r.byte_count, row.byte_count);
    // The reply goes back to the sender, whatever the verdict.
    EXPECT_EQ(std::memcmp(&r.source, &sender, sizeof sender), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, RequestGrammar,
    testing::Values(Row{"GET 0 1000\n", true, 0, 1000}, Row{"GET 100000000 1000\n", true, 100000000, 1000},
                    Row{"GET 0001000 0500\n", true, 1000, 500}, Row{"GET 0 1\n", true, 0, 1},
                    Row{"GET 000000000 0001\n", true, 0, 1}, Row{"GET 99999999 1000\n", true, 99999999, 1000},
                    Row{"GET 100000000 1\n", true, 100000000, 1},
                    // Nothing from the first zero byte on reaches the decoder.
                    Row{"GET 0 1000\n\0GET 5 5\n"s, true, 0, 1000},
                    Row{"GET 0 1000\n\0\0\xff\n"s, true, 0, 1000}));

INSTANTIATE_TEST_SUITE_P(OutOfRange, RequestGrammar,
                         testing::Values(Row{"GET 100000001 1\n", false, 100000001, 1},
                                         Row{"GET 999999999 1000\n", false, 999999999, 1000},
                                         Row{"GET 0 0\n", false, 0, 0}, Row{"GET 0 0000\n", false, 0, 0},
                                         Row{"GET 0 1001\n", false, 0, 1001},
                                         Row{"GET 5 9999\n", false, 5, 9999}));

INSTANTIATE_TEST_SUITE_P(
    NoMatch, RequestGrammar,
    testing::Values(Row{"GET 1000000000 1\n", false, 0, 0}, Row{"GET 0 10000\n", false, 0, 0},
                    Row{"GET 0 1000", false, 0, 0}, Row{"GET 0 1000\r\n", false, 0, 0},
                    Row{"GET 0 1000\nX", false, 0, 0}, Row{"GET 0 1000\n\n", false, 0, 0},
                    Row{"get 0 1000\n", false, 0, 0}, Row{"GET  0 1000\n", false, 0, 0},
                    Row{"GET 0  1000\n", false, 0, 0}, Row{"GET\t0 1000\n", false, 0, 0},
                    Row{"GET 0\t1000\n", false, 0, 0}, Row{"GET +0 1000\n", false, 0, 0},
                    Row{"GET -0 1000\n", false, 0, 0}, Row{"GET 0 +1000\n", false, 0, 0},
                    Row{"GET 0 -1\n", false, 0, 0}, Row{" GET 0 1000\n", false, 0, 0},
                    Row{"GET 0 1000 \n", false, 0, 0}, Row{"GETS 0 1000\n", false, 0, 0},
                    Row{"GET 0x10 5\n", false, 0, 0}, Row{"GET 0 1e3\n", false, 0, 0},
                    Row{"GET \xd9\xa1 1\n", false, 0, 0}, Row{"GET 0\n", false, 0, 0},
                    Row{"GET 0 1000\\n", false, 0, 0}, Row{"", false, 0, 0},
                    // A zero byte inside the request cuts it short.
                    Row{"GET 0 10"s + '\0' + "00\n", false, 0, 0}, Row{"\0GET 0 1000\n"s, false, 0, 0}));

// The replies go where the request came from.
TEST(Request, KeepsItsSource) {
    const request r(some_sender(), "GET 2000 7\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(ntohs(r.source.sin_port), 40123);
    EXPECT_EQ(ntohl(r.source.sin_addr.s_addr), 0x7f000102U);
}

}  // namespace
}  // namespace drovik
