#include <gtest/gtest.h>

#include <cerrno>

#include <string>
#include <utility>

#include "fetch/progress.hpp"
#include "fetch/report.hpp"

namespace drovik::fetch {
namespace {

TEST(FetchReport, SizesAndDurations) {
    const std::pair<double, const char*> sizes[] = {
        {0, "0 B"},           {999, "999 B"},      {1000, "1.00 kB"}, {548312, "548.3 kB"},
        {999949, "999.9 kB"}, {999999, "1.00 MB"}, {5e6, "5.00 MB"},  {2147483647, "2.15 GB"},
    };
    for (const auto& [bytes, text] : sizes) {
        EXPECT_EQ(format_bytes(bytes), text) << bytes;
    }
    const std::pair<double, const char*> durations[] = {
        {-1, "--:--"}, {0, "0:00"}, {59.6, "1:00"}, {754, "12:34"}, {3723, "1:02:03"},
    };
    for (const auto& [seconds, text] : durations) {
        EXPECT_EQ(format_duration(seconds), text) << seconds;
    }
}

TEST(FetchReport, ProgressLine) {
    EXPECT_EQ(format_progress({1250000, 5000000, 500000}),
              "[#####---------------]  25.0% 1.25 MB of 5.00 MB, 500.0 kB/s, ETA 0:08");
    EXPECT_EQ(format_progress({0, 5000000, 0}),
              "[--------------------]   0.0% 0 B of 5.00 MB, 0 B/s, ETA --:--");
    EXPECT_EQ(format_progress({4999000, 5000000, 1e6}),
              "[###################-]  99.9% 5.00 MB of 5.00 MB, 1.00 MB/s, ETA 0:00");
    EXPECT_EQ(format_progress({5000000, 5000000, 1e6}),
              "[####################] 100.0% 5.00 MB of 5.00 MB, 1.00 MB/s, ETA 0:00");
}

TEST(FetchReport, SummaryCountsDuplicatesOverAllServers) {
    const Summary summary{
        5000000, 9.124, {{"127.0.0.1:4000", {12000, 5000, 3000}}, {"m:4001", {6550, 2812, 2000}}}};
    EXPECT_EQ(summary_line(summary),
              "5000000 bytes in 9.12 s (548.0 kB/s), 3.71 GETs per chunk, 7812 replies, 2812 duplicates; "
              "127.0.0.1:4000: 12000 GETs, 5000 replies, 3000 useful; m:4001: 6550 GETs, 2812 replies, 2000 "
              "useful");
}

TEST(FetchReport, StallNamesEveryServerAndWhatItDid) {
    EXPECT_EQ(stall_message(30, {{"127.0.0.1:4000", ECONNREFUSED, 0},
                                 {"m:4001", 0, 0},
                                 {"n:4002", 0, 7},
                                 {"o:4003", EHOSTUNREACH, 0},
                                 {"p:4004", 0, 0, 40}}),
              "no new data for 30 s from 127.0.0.1:4000 (refused: nothing listens there), m:4001 (no reply), "
              "n:4002 (7 replies, none new), o:4003 (unreachable: No route to host), p:4004 (40 malformed "
              "replies)");
    EXPECT_EQ(
        stall_message(30, {{"127.0.0.1:4000", 0, 9}}, 100001000),
        "no new data for 30 s from 127.0.0.1:4000 (9 replies, none new); nothing from offset 100001000 on "
        "was ever answered");
}

}  // namespace
}  // namespace drovik::fetch
