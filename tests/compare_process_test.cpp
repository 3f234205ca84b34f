// drovik-compare as a process, racing the tests' own tiny programs (compare_peer.cpp and
// shell commands) on loopback: the table's cells, every failure reason, the files of --out,
// Ctrl-C, usage errors, and nothing left running after any of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/output_file.hpp"
#include "support/process.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string PEER = COMPARE_PEER_BIN;

class CompareProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::adopt_orphans(); }
    void TearDown() override { EXPECT_EQ(test::children_left(5s), std::vector<pid_t>{}) << "left running"; }

    // The server answers every GET once, at once: every cell through the relay is exact.
    std::vector<std::string> compare(std::vector<std::string> args) const {
        args.insert(args.begin(),
                    {"--server", "peer=" + PEER + " serve {port}", "--size", "3000", "--runs", "1"});
        return args;
    }
    const test::OutputFile out{"drovik-compare-out"};
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(CompareProcess, MeasuresEveryCellAndSaysWhyARunFailed) {
    const auto result = test::run_program(
        DROVIK_COMPARE_BIN,
        compare({"--path", "direct", "--path", "relay", "--seed", "1", "--timeout", "3", "--out", out.path,
                 "--keep-traces", "good=" + PEER + " get {host} {port} {output} {size}",
                 "short=" + PEER + " get {host} {port} {output} 2000",
                 "zeros=sh -c 'head -c {size} /dev/zero >{output}'",
                 "fails=sh -c 'echo no luck >&2; echo Run with --help for details >&2; exit 3'", "none=true",
                 "dir=mkdir {output}", "hang=sh -c 'sleep 1000 & exec sleep 1000'"}),
        60s);
    EXPECT_EQ(result.status, 1) << result.err;
    const std::string& table = result.out;
    EXPECT_NE(table.find("| direct | good | 1 / 1 | "), std::string::npos) << table;
    EXPECT_NE(table.find(" | — | — | — |\n| direct | short | 0 / 1 | — | — | — | — | — |"),
              std::string::npos);
    // One GET per chunk, each answered once: every reply useful, nothing dropped.
    EXPECT_NE(table.find(" | 1.00 | 100.0 | 0 |\n| relay | short | 0 / 1 |"), std::string::npos) << table;
    for (const std::string path : {"direct", "relay"}) {
        for (const std::string failure :
             {"short, run 1: 2000 of 3000 bytes", "zeros, run 1: wrong byte at offset 0",
              "fails, run 1: exit 3: no luck", "none, run 1: no output file",
              "dir, run 1: output is a directory", "hang, run 1: killed after 3 s"}) {
            EXPECT_TRUE(has_line(table, "- " + path + ", " + failure)) << failure << "\n" << table;
        }
    }
    EXPECT_EQ(read_file(out.path + "/table.md"), table);
    const std::string runs = read_file(out.path + "/runs.csv");
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 15) << runs;
    EXPECT_NE(runs.find("peer,relay,good,1,,ok,,"), std::string::npos) << runs;
    EXPECT_NE(runs.find(",3,3,3,0,"), std::string::npos) << runs;  // gets, replies, useful, dropped
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path + "/traces"), fs::directory_iterator()), 7);
    fs::remove_all(out.path);
}

TEST_F(CompareProcess, CtrlCStopsEveryProgramAndWritesWhatWasMeasured) {
    const test::OutputFile fifo("drovik-compare-fifo");
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    const int reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
    test::Process compare(
        DROVIK_COMPARE_BIN,
        this->compare({"--path", "relay", "good=" + PEER + " get {host} {port} {output} {size}",
                       "hang=" + PEER + " hang " + fifo.path}));
    // The hanging client, and its child, are there once it has written their pids.
    pollfd entry{reader, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 30000), 1) << compare.err();
    compare.signal(SIGINT);
    EXPECT_EQ(compare.wait_exit(10s), 130) << compare.err();
    close(reader);
    EXPECT_NE(compare.out().find("| relay | good | 1 / 1 | "), std::string::npos) << compare.out();
    EXPECT_TRUE(has_line(compare.out(), "Interrupted after 1 of 2 runs.")) << compare.out();
}

// With standard output closed the table goes nowhere: that is no success.
TEST_F(CompareProcess, ATableThatCannotBeWrittenIsAFailure) {
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" >&-", DROVIK_COMPARE_BIN};
    for (const std::string& arg :
         compare({"--path", "direct", "good=" + PEER + " get {host} {port} {output} {size}"})) {
        args.push_back(arg);
    }
    const auto result = test::run_program("/bin/sh", args, 30s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "drovik-compare: the table could not be written to standard output\n");
}

// Bad input ends it before anything starts: the server would leave a mark.
TEST_F(CompareProcess, RefusesBadInputInOneLineBeforeStartingAnything) {
    const test::OutputFile mark("drovik-compare-mark");
    const std::string server = "marking=sh -c 'touch " + mark.path + "; exec " + PEER + " serve {port}'";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"x={nope}"}, "client x: unknown placeholder {nope}"},
        {{"x= "}, "client x: empty command"},
        {{"x=no-such-program-here {output}"},
         "client x: no-such-program-here not found beside drovik-compare nor on PATH"},
        {{"--path", "p=--loss 2", "fast"},
         "path p: --loss: not a probability from 0 to 0.999999 (at most six decimals)"},
        {{"--path", "p=-o file", "fast"}, "path p: The following arguments were not expected: file -o"},
        {{"fast", "fast"}, "two clients named fast"},
        {{"--runs", "0", "fast"}, "--runs: Value 0 not in range 1 to 100000"},
        {{"x=sh -c 'unclosed"}, "client x: unclosed ' in: sh -c 'unclosed"},
    };
    for (const auto& [args, line] : cases) {
        std::vector<std::string> all = {"--server", server};
        all.insert(all.end(), args.begin(), args.end());
        const auto result = test::run_program(DROVIK_COMPARE_BIN, all);
        EXPECT_EQ(result.status, 2) << line;
        EXPECT_EQ(result.err, "drovik-compare: " + line + "\n");
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fs::exists(mark.path));
}

}  // namespace
}  // namespace drovik
