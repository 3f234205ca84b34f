// drovik-compare's parts without a process: command words and placeholders, the trace read
// back and counted, the download check, and the table, CSV and plot made of some runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "compare/command.hpp"
#include "compare/output_check.hpp"
#include "compare/results.hpp"
#include "compare/trace_counts.hpp"
#include "support/output_file.hpp"
#include "support/wire.hpp"
#include "trace/csv.hpp"

namespace drovik::compare {
namespace {

using Words = std::vector<std::string>;

TEST(CompareCommand, SplitsLikeAShellAndFillsInPlaceholders) {
    const std::vector<std::pair<std::string, Words>> commands = {
        {" a  b\tc ", {"a", "b", "c"}},
        {"sh -c 'x >\"y\"' {output}", {"sh", "-c", "x >\"y\"", "/o f"}},
        {R"("a \"b\" \\ \c" d\ e '')", {R"(a "b" \ \c)", "d e", ""}},
        {"{{host}} {} a{b {host}:{port}", {"{host}", "{}", "a{b", "127.0.0.1:9"}},
    };
    const Placeholders values = {{"host", "127.0.0.1"}, {"port", "9"}, {"output", "/o f"}};
    for (const auto& [text, words] : commands) {
        EXPECT_EQ(expand(split_words(text), values), words) << text;
    }
    for (const std::string text : {"'open", "\"open", "a\\"}) {
        EXPECT_THROW(split_words(text), std::invalid_argument) << text;
    }
    EXPECT_THROW(expand({"{port}{size}"}, values), std::invalid_argument);
}

TEST(CompareTrace, ReadsBackWhatTheWriterWroteAndCountsAsTheClientSees) {
    using trace::Kind;
    const std::vector<trace::TraceRow> rows = {
        {1000, "c", Direction::up, {Kind::get, 0, 1000}, 14, std::nullopt, Fate::relayed},
        {2000, "c", Direction::up, {Kind::get, 0, 1000}, 14, std::nullopt, Fate::copy},
        {3000, "c", Direction::up, {Kind::get, 1000, 5}, 11, std::nullopt, Fate::lost},
        {4000, "c", Direction::up, {Kind::other, 0, 0}, 3, std::nullopt, Fate::relayed},
        {5000, "a,\"b\"\n", Direction::down, {Kind::data, 0, 1000}, 1012, true, Fate::relayed},
        {6000, "c", Direction::down, {Kind::data, 0, 1000}, 1012, false, Fate::copy},
        {7000, "c", Direction::down, {Kind::data, 1000, 5}, 17, std::nullopt, Fate::overflow},
    };
    std::string csv(trace::CSV_HEADER);
    for (const trace::TraceRow& row : rows) {
        csv += trace::csv_row(row);
    }
    std::istringstream in(csv);
    trace::CsvReader reader(in);
    for (const trace::TraceRow& row : rows) {
        const auto read = reader.next();
        ASSERT_TRUE(read);
        EXPECT_EQ(trace::csv_row(*read), trace::csv_row(row));
    }
    EXPECT_FALSE(reader.next());

    std::istringstream counted(csv);
    const TraceCounts counts = count_trace(counted);
    EXPECT_EQ(counts.gets, 2U);  // not the path's copy
    EXPECT_EQ(counts.replies, 2U);
    EXPECT_EQ(counts.useful, 1U);
    EXPECT_EQ(counts.dropped, 2U);
    for (const std::string& bad :
         Words{"time,client\n", csv.substr(0, csv.size() - 1), csv + "1.000000,c,up,GET,,,1,,lost\n"}) {
        std::istringstream broken(bad);
        EXPECT_THROW(count_trace(broken), std::runtime_error) << bad;
    }
}

TEST(CompareOutput, NamesWhatIsWrongWithADownload) {
    const test::OutputFile file("drovik-compare-check");
    EXPECT_EQ(check_output(file.path, 3000), "no output file");
    std::ofstream(file.path, std::ios::binary) << test::served_bytes(0, 3000);
    EXPECT_EQ(check_output(file.path, 3000), "");
    EXPECT_EQ(check_output(file.path, 2999), "3000 of 2999 bytes");
    EXPECT_EQ(check_output(file.path, 70000), "3000 of 70000 bytes");
    std::string wrong = test::served_bytes(0, 70000);
    wrong[66000] = static_cast<char>(wrong[66000] + 1);
    std::ofstream(file.path, std::ios::binary) << wrong;
    EXPECT_EQ(check_output(file.path, 70000), "wrong byte at offset 66000");
    std::filesystem::remove(file.path);
    std::filesystem::create_directory(file.path);
    EXPECT_EQ(check_output(file.path, 3000), "output is a directory");
    std::filesystem::remove(file.path);
}

// Two paths, two clients, two runs each: times and counts of the runs that were ok only.
TEST(CompareResults, TableCsvAndPlotOfSomeRuns) {
    Options options;
    options.size = 1000;
    options.runs = 2;
    options.seed = 5;
    options.servers = {{"s", {}}};
    options.paths = {{"direct", std::nullopt}, {"p|q", Words{"--loss", "0.1"}}};
    options.clients = {{"a", {}}, {"b", {}}};
    const auto run = [](std::size_t path, std::size_t client, std::uint32_t number, double seconds,
                        std::string failure, std::optional<TraceCounts> counts) {
        RunResult result;
        result.path = path;
        result.client = client;
        result.run = number;
        result.seconds = seconds;
        result.failure = std::move(failure);
        result.counts = counts;
        return result;
    };
    const std::vector<RunResult> results = {
        run(0, 0, 1, 2.0, "", std::nullopt),
        run(0, 0, 2, 1.0, "", std::nullopt),
        run(1, 0, 1, 4.0, "", TraceCounts{30, 8, 2, 7}),
        run(1, 0, 2, 9.0, "exit 1: lost", TraceCounts{1, 1, 1, 1}),
        run(0, 1, 1, 1.0, "wrong byte at offset 3", std::nullopt),
    };
    const std::string text = markdown(options, results, 8);
    EXPECT_NE(text.find("| direct | a | 2 / 2 | 1.50 (1.00–2.00) | 0.8 (0.5–1.0) | — | — | — |\n"
                        "| direct | b | 0 / 1 | — | — | — | — | — |\n"
                        "| p\\|q | a | 1 / 2 | 4.00 (4.00–4.00) | 0.2 (0.2–0.2) | 15.00 | 25.0 | 7 |\n"
                        "| p\\|q | b | 0 / 0 | — | — | — | — | — |\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n- direct, b, run 1: wrong byte at offset 3\n- p|q, a, run 2: exit 1: lost\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nInterrupted after 5 of 8 runs.\n"), std::string::npos);
    EXPECT_NE(runs_csv(options, results).find("\ns,p|q,a,2,,failed,exit 1: lost,9.0000,,1,1,1,1,,\n"),
              std::string::npos);
    // Clusters one apart, two bars a third wide in each: a sixth off the cluster's middle.
    const std::string plot = plot_script(options, results, "x.png");
    EXPECT_NE(plot.find("\"direct\" 1.5 1 2 0 0 0\n\"p|q\" 4 4 4 0 0 0\n"), std::string::npos) << plot;
    EXPECT_NE(plot.find("0.16666666666666666 0 \"1 of 1 failed\"\n0.8333333333333334 4 \"1 of 2 failed\"\n"),
              std::string::npos)
        << plot;
}

}  // namespace
}  // namespace drovik::compare
