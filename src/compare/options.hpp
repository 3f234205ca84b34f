#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace drovik::compare {

// A client or a server: its name and its words, the first the program's full path.
struct Command {
    std::string name;
    std::vector<std::string> words;
};

// A path: drovik-trace's shaping options, or none for `direct` (no relay at all).
struct Path {
    std::string name;
    std::optional<std::vector<std::string>> shaping;
    bool draws = false;  // whether its relay draws at random: only then is it given a seed
};

struct Options {
    std::vector<Command> clients;
    std::vector<Path> paths;
    std::vector<Command> servers;
    std::uint32_t runs = 3;
    std::uint64_t size = 1000000;
    std::optional<std::uint64_t> seed;  // none: every relay seeded from the system
    std::uint32_t timeout_s = 120;
    std::string out;  // empty: the table on standard output only
    bool keep_traces = false;
    std::string trace_program;  // drovik-trace's full path
    std::string gnuplot;        // its full path; empty when there is none
};

// What the program prints and its exit status when it ends before any run: help, version or
// a usage error.
struct EarlyExit {
    int status = 0;
    std::string out;
    std::string err;
};

// Where the programs the commands name are looked for first, then on `search_path` (PATH).
struct ProgramPlaces {
    std::string first_directory;
    std::string search_path;
};

// The arguments after the program name, every command checked and its program found.
std::variant<Options, EarlyExit> parse_options(const std::vector<std::string>& args,
                                               const ProgramPlaces& places);

}  // namespace drovik::compare
