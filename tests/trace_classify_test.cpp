#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "trace/classify.hpp"

namespace drovik::trace {
namespace {

using namespace std::string_literals;

struct Row {
    std::string name;
    std::string datagram;
    Kind kind;
    std::uint64_t offset;
    std::uint64_t length;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class Classify : public testing::TestWithParam<Row> {};

TEST_P(Classify, KindAndNumbers) {
    const Row& row = GetParam();
    const Classified got = classify(row.datagram);
    EXPECT_EQ(got.kind, row.kind);
    EXPECT_EQ(got.offset, row.offset);
    EXPECT_EQ(got.length, row.length);
}

const std::string PAYLOAD = "ab\ncd\0f"s;  // LF and zero bytes are payload like any other

INSTANTIATE_TEST_SUITE_P(
    Datagrams, Classify,
    testing::Values(Row{"get", "GET 0 1000\n", Kind::get, 0, 1000},
                    Row{"get_leading_zeros", "GET 0001000 0500\n", Kind::get, 1000, 500},
                    Row{"get_any_numbers", "GET 18446744073709551615 0\n", Kind::get, 18446744073709551615U,
                        0},
                    Row{"get_beyond_64_bits", "GET 18446744073709551616 1\n", Kind::other, 0, 0},
                    Row{"get_no_lf", "GET 0 1000", Kind::other, 0, 0},
                    Row{"get_crlf", "GET 0 1000\r\n", Kind::other, 0, 0},
                    Row{"get_trailing_byte", "GET 0 1000\nx", Kind::other, 0, 0},
                    Row{"get_trailing_zero", "GET 0 1000\n\0"s, Kind::other, 0, 0},
                    Row{"get_two_spaces", "GET  0 1000\n", Kind::other, 0, 0},
                    Row{"get_tab", "GET\t0 1000\n", Kind::other, 0, 0},
                    Row{"get_sign", "GET +0 1000\n", Kind::other, 0, 0},
                    Row{"get_lower_case", "get 0 1000\n", Kind::other, 0, 0},
                    Row{"get_one_number", "GET 0\n", Kind::other, 0, 0},
                    Row{"data", "DATA 7000 7\n" + PAYLOAD, Kind::data, 7000, 7},
                    Row{"data_empty", "DATA 1000 0\n", Kind::data, 1000, 0},
                    Row{"data_truncated", "DATA 7000 8\n" + PAYLOAD, Kind::other, 0, 0},
                    // What the clients accept: more payload than said, white space.
                    Row{"data_over_long", "DATA 7000 6\n" + PAYLOAD, Kind::data, 7000, 6},
                    Row{"data_longer_keyword", "DATAX 0 1\nx", Kind::other, 0, 0},
                    Row{"data_leading_space", " DATA\t0  1\nx", Kind::data, 0, 1},
                    Row{"empty", "", Kind::other, 0, 0}),
    [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
}  // namespace drovik::trace
