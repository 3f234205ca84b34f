#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "trace/csv.hpp"
#include "trace/tally.hpp"

namespace drovik::trace {
namespace {

TEST(TraceCsv, QuotesOnlyFieldsThatNeedIt) {
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"127.0.0.1:40000", "127.0.0.1:40000"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a\nb", "\"a\nb\""},
        {"a\rb", "\"a\rb\""},
    };
    for (const auto& [text, field] : fields) {
        EXPECT_EQ(csv_field(text), field) << text;
    }
}

TEST(TraceCsv, SecondsHaveSixDecimalsTruncated) {
    EXPECT_EQ(csv_seconds(0), "0.000000");
    EXPECT_EQ(csv_seconds(999), "0.000000");
    EXPECT_EQ(csv_seconds(1000), "0.000001");
    EXPECT_EQ(csv_seconds(1234567999), "1.234567");
    EXPECT_EQ(csv_seconds(3600000000000), "3600.000000");
}

TEST(TraceCsv, RowsLeaveFieldsEmptyWhereTheyDoNotApply) {
    EXPECT_EQ(
        csv_row({1500, "1.2.3.4:5", Direction::up, {Kind::get, 2000, 1000}, 14, std::nullopt, Fate::relayed}),
        "0.000001,1.2.3.4:5,up,GET,2000,1000,14,,relayed\n");
    EXPECT_EQ(csv_row({2000000, "c", Direction::down, {Kind::data, 0, 1000}, 1012, true, Fate::relayed}),
              "0.002000,c,down,DATA,0,1000,1012,1,relayed\n");
    EXPECT_EQ(csv_row({0, "c", Direction::down, {Kind::data, 0, 1000}, 1012, false, Fate::copy}),
              "0.000000,c,down,DATA,0,1000,1012,0,copy\n");
    EXPECT_EQ(csv_row({0, "x,y", Direction::up, {Kind::other, 0, 0}, 0, std::nullopt, Fate::lost}),
              "0.000000,\"x,y\",up,other,,,0,,lost\n");
    EXPECT_EQ(csv_row({0, "c", Direction::down, {Kind::data, 0, 1000}, 1012, std::nullopt, Fate::overflow}),
              "0.000000,c,down,DATA,0,1000,1012,,overflow\n");
}

TEST(ClientTally, FirstReplyPerRangeAndTheSummary) {
    ClientTally tally;
    constexpr Fate RELAYED = Fate::relayed;
    EXPECT_EQ(tally.count(Direction::up, {Kind::get, 0, 1000}, RELAYED, 1000000000), std::nullopt);
    EXPECT_EQ(tally.count(Direction::up, {Kind::get, 0, 1000}, RELAYED, 1100000000), std::nullopt);
    EXPECT_EQ(tally.count(Direction::up, {Kind::other, 0, 0}, RELAYED, 1200000000), std::nullopt);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, RELAYED, 1300000000), true);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 500}, RELAYED, 1400000000), true);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, RELAYED, 1500000000), false);
    EXPECT_EQ(tally.count(Direction::down, {Kind::other, 0, 0}, RELAYED, 3250000000), std::nullopt);
    EXPECT_EQ(tally.summary_line("1.2.3.4:5", false),
              "1.2.3.4:5: up 3 down 4, GETs 2, replies 3 (useful 2, duplicates 1), 1.00 GETs per chunk, "
              "66.7 % useful, 2.25 s");
    EXPECT_EQ(
        ClientTally().summary_line("c", false),
        "c: up 0 down 0, GETs 0, replies 0 (useful 0, duplicates 0), - GETs per chunk, - % useful, 0.00 s");
}

// The client's view: up what it sent, the path's losses included and its copies not; down
// what reached it. Whole chunks, odd ranges and chunks past the largest offset are told apart.
TEST(ClientTally, CountsWhatTheClientSentAndWhatReachedItOnAShapedPath) {
    ClientTally tally;
    tally.count(Direction::up, {Kind::get, 0, 1000}, Fate::relayed, 0);
    tally.count(Direction::up, {Kind::get, 0, 1000}, Fate::copy, 0);
    tally.count(Direction::up, {Kind::get, 1000, 1000}, Fate::lost, 0);
    tally.count(Direction::up, {Kind::get, 2000, 1000}, Fate::overflow, 0);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, Fate::lost, 0), std::nullopt);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, Fate::overflow, 0), std::nullopt);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, Fate::relayed, 0), true);
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, Fate::copy, 0), false);
    for (const std::uint64_t offset : {std::uint64_t{1500}, std::uint64_t{100001000}}) {
        EXPECT_EQ(tally.count(Direction::down, {Kind::data, offset, 1000}, Fate::relayed, 0), true);
        EXPECT_EQ(tally.count(Direction::down, {Kind::data, offset, 1000}, Fate::relayed, 0), false);
    }
    tally.count_network_error();
    EXPECT_EQ(
        tally.summary_line("c", true),
        "c: up 3 down 6, GETs 3, replies 6 (useful 3, duplicates 3), 1.00 GETs per chunk, 50.0 % useful, "
        "0.00 s; up: lost 1, copied 1, overflow 1; down: lost 1, copied 1, overflow 1; network errors 1");
    tally.forget_ranges();
    EXPECT_EQ(tally.count(Direction::down, {Kind::data, 0, 1000}, Fate::relayed, 0), true);
}

}  // namespace
}  // namespace drovik::trace
