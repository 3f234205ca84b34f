#include "trace/command_line.hpp"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <string>

#include "net/decimal.hpp"

#ifndef DROVIK_VERSION
#error "DROVIK_VERSION must be set by the build"
#endif

namespace drovik::trace {

namespace {
// Eleven days and a half: far beyond any transfer, and safe in nanoseconds and poll's milliseconds.
constexpr double MAX_SECONDS = 1e6;

CLI::Validator seconds() {
    return CLI::Validator(
        [](const std::string& text) {
            // Plain decimals only: strtod would also take hexadecimal and exponents.
            const bool plain = text.find_first_not_of("0123456789.") == std::string::npos;
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            return plain && *end == '\0' && value > 0 && value <= MAX_SECONDS
                       ? ""
                       : "must be a number of seconds above 0, at most 1000000";
        },
        "");
}
}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, RelayOptions& options) {
    CLI::App app("Relays UDP datagrams between clients and a drovik server and records every one as CSV.",
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
                   "end after SEC seconds without a datagram (default: run until SIGINT or SIGTERM)")
        ->option_text("SEC")
        ->check(seconds());
    app.add_option("--forget", options.forget_s,
                   "close the socket of a client after SEC seconds without a datagram from or to it "
                   "(default 60)")
        ->option_text("SEC")
        ->check(seconds());
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    return std::nullopt;
}

}  // namespace drovik::trace
