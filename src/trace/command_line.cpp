#include "trace/command_line.hpp"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/decimal.hpp"
#include "system/format.hpp"

#ifndef DROVIK_VERSION
#error "DROVIK_VERSION must be set by the build"
#endif

namespace drovik::trace {

namespace {
// Eleven days and a half: far beyond any transfer, and safe in nanoseconds and poll's milliseconds.
constexpr double MAX_SECONDS = 1e6;
// A minute: far beyond any path, and within what a client waits.
constexpr std::int64_t MAX_DELAY_MS = 60000;
constexpr std::int64_t MAX_COUNT = 1000000;
constexpr std::string_view MAX_SEED = "18446744073709551615";

CLI::Validator seconds() {
    return CLI::Validator(
        [](const std::string& text) {
            // Plain decimals only: strtod would also take hexadecimal and exponents.
            const bool plain = text.find_first_not_of("0123456789.") == std::string::npos;
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            return plain && *end == '\0' && value >= MIN_QUIET_S && value <= MAX_SECONDS
                       ? ""
                       : "must be a number of seconds from 2 to 1000000: a server may take 1.5 s to reply "
                         "(drovik-server does), and a shorter wait drops its late replies";
        },
        "");
}

// A probability below 1 written as 0 or 0. and one to six decimals, in millionths, the
// path's decisions.
std::int32_t millionths(const std::string& option, const std::string& text) {
    const bool plain = text == "0" || (text.starts_with("0.") && text.size() >= 3 && text.size() <= 8 &&
                                       text.find_first_not_of("0123456789", 2) == std::string::npos);
    if (!plain) {
        throw CLI::ValidationError(option, "not a probability from 0 to 0.999999 (at most six decimals)");
    }
    std::string digits = text == "0" ? "0" : text.substr(2);
    digits.resize(6, '0');
    return static_cast<std::int32_t>(whole_number(option, digits, 0, UNSHAPED.decisions - 1));
}

void set_delays(PathModel& path, const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        throw CLI::ValidationError("--delay", "not MIN-MAX in milliseconds");
    }
    path.min_delay_ms =
        static_cast<std::int32_t>(whole_number("--delay", text.substr(0, dash), 0, MAX_DELAY_MS));
    path.max_delay_ms =
        static_cast<std::int32_t>(whole_number("--delay", text.substr(dash + 1), 0, MAX_DELAY_MS));
    if (path.min_delay_ms > path.max_delay_ms) {
        throw CLI::ValidationError("--delay", "MIN is above MAX");
    }
}

// An option given as text to `take`, shown in the help as NAME TYPE.
void text_option(CLI::App& app, const std::string& name, const std::string& type, const std::string& help,
                 const std::function<void(const std::string&)>& take) {
    app.add_option_function<std::string>(name, take, help)->type_name(type);
}

void add_shaping(CLI::App& app, RelayOptions& options) {
    PathShape& shape = options.shape;
    text_option(app, "--loss", "P", "drop each datagram with probability P (0 <= P < 1)",
                [&](const std::string& text) {
                    shape.path.lost_from = shape.path.decisions - millionths("--loss", text);
                });
    text_option(app, "--dup", "P", "after each copy sent, send another with probability P (0 <= P < 1)",
                [&](const std::string& text) { shape.path.duplicate_below = millionths("--dup", text); });
    text_option(app, "--delay", "MIN-MAX",
                "hold each copy for its own uniform delay of MIN to MAX ms, at most 60000 (so they reorder)",
                [&](const std::string& text) { set_delays(shape.path, text); });
    text_option(app, "--rate", "N", "at most N datagrams a second leave in each direction (token bucket)",
                [&](const std::string& text) { shape.rate = whole_number("--rate", text, 1, MAX_COUNT); });
    text_option(app, "--queue", "N",
                "at most N datagrams held for --delay and --rate in each direction, extra copies included; "
                "beyond it, dropped (default 1000)",
                [&](const std::string& text) {
                    shape.path.max_pending = whole_number("--queue", text, 1, MAX_COUNT);
                });
    text_option(app, "--shape", "up|down|both", "which direction the options above apply to (default both)",
                [&](const std::string& text) {
                    if (text != "up" && text != "down" && text != "both") {
                        throw CLI::ValidationError("--shape", "not up, down or both");
                    }
                    shape.up = text != "down";
                    shape.down = text != "up";
                });
    app.add_option("--seed", options.seed,
                   "draw each client's directions from streams seeded from N, so that the same datagrams "
                   "arriving in the same order meet the same draws (default: seeded from the system)")
        ->option_text("N")
        ->transform(decimal())
        ->check(CLI::Validator(
            [](const std::string& digits) {
                // Compared as text: read as a number, a larger one would saturate.
                return digits.size() < MAX_SEED.size() ||
                               (digits.size() == MAX_SEED.size() && digits <= MAX_SEED)
                           ? ""
                           : "not a whole number from 0 to " + std::string(MAX_SEED);
            },
            ""));
}

// Shaping options that would do nothing without others are refused.
void check_shaping(const CLI::App& app, const PathShape& shape) {
    const PathModel& path = shape.path;
    if (app.count("--shape") > 0 && !shape.active()) {
        throw CLI::ValidationError("--shape", "no path to play without --loss, --dup, --delay or --rate");
    }
    if (app.count("--queue") > 0 && path.max_delay_ms == 0 && !shape.rate) {
        throw CLI::ValidationError("--queue", "nothing waits without --delay or --rate");
    }
    if (app.count("--seed") > 0 && !shape.draws()) {
        throw CLI::ValidationError("--seed", "nothing is drawn without --loss, --dup or --delay");
    }
}
}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, RelayOptions& options) {
    CLI::App app(
        "Relays UDP datagrams between clients and a drovik server, records every one as CSV, "
        "and can play a path of its own between them.",
        "drovik-trace");
    app.set_version_flag("--version", "drovik-trace " DROVIK_VERSION);
    app.add_option("LISTEN_PORT", options.listen_port, "UDP port the clients talk to")
        ->required()
        ->transform(decimal())
        ->check(CLI::Range(1, 65535));
    app.add_option("SERVER_HOST", options.server_host, "the server's IPv4 address or host name")->required();
    app.add_option("SERVER_PORT", options.server_port, "the server's UDP port")
        ->required()
        ->transform(decimal())
        ->check(CLI::Range(1, 65535));
    app.add_option("-o,--output", options.output, "the trace as CSV (default: standard output)")
        ->option_text("FILE");
    app.add_option("-b,--bind", options.bind_address, "address to listen on (default 127.0.0.1)")
        ->option_text("ADDR");
    app.add_option("--idle", options.idle_s,
                   "end after SEC seconds without a datagram, at least 2 (default: run until SIGINT, SIGTERM "
                   "or SIGHUP)")
        ->option_text("SEC")
        ->check(seconds());
    app.add_option(
           "--forget", options.forget_s,
           "close the socket of a client after SEC seconds without a datagram from or to it, at least 2 "
           "(default 60)")
        ->option_text("SEC")
        ->check(seconds());
    add_shaping(app, options);
    try {
        app.parse(argc, argv);
        check_shaping(app, options.shape);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    return std::nullopt;
}

void parse_shaping(const std::vector<std::string>& words, RelayOptions& options) {
    CLI::App app("", "drovik-trace");
    app.set_help_flag();
    add_shaping(app, options);
    std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them last first
    app.parse(reversed);
}

}  // namespace drovik::trace
