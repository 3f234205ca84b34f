// Serves the virtual file like drovik-server, through a simulated path of the caller's
// choosing, so that a benchmark can try clients on paths other than the shipped one.
// Usage: bench-path-server [--loss PCT] [--dup PCT] [--delay MIN-MAX] [--cap N] PORT
#include <CLI/CLI.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <iostream>
#include <limits>
#include <string>

#include "cli/decimal.hpp"
#include "pathsim/path_model.hpp"
#include "server/server.hpp"

namespace {

// The path decides with 0..9 draws, so a percentage counts in tenths.
std::int32_t tenths(const std::string& option, const std::string& text, std::int64_t max_percent) {
    const std::int64_t percent = drovik::whole_number(option, text, 0, max_percent);
    if (percent % 10 != 0) {
        throw CLI::ValidationError(option, "not a multiple of 10");
    }
    return static_cast<std::int32_t>(percent / 10);
}

void set_delays(drovik::PathModel& path, const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        throw CLI::ValidationError("--delay", "not MIN-MAX");
    }
    const std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    path.min_delay_ms =
        static_cast<std::int32_t>(drovik::whole_number("--delay", text.substr(0, dash), 0, limit));
    path.max_delay_ms =
        static_cast<std::int32_t>(drovik::whole_number("--delay", text.substr(dash + 1), 0, limit));
    if (path.min_delay_ms > path.max_delay_ms) {
        throw CLI::ValidationError("--delay", "MIN is above MAX");
    }
}

std::uint16_t port(const std::string& text) {
    const std::int64_t value = drovik::whole_number("PORT", text, 0, 65535);
    if (value == 0) {
        throw CLI::ValidationError("PORT", "not a port from 1 to 65535");
    }
    return static_cast<std::uint16_t>(value);
}

// An option given as text to `take`, shown in the help as NAME TYPE=FALLBACK.
void text_option(CLI::App& app, const std::string& name, const std::string& type, const std::string& fallback,
                 const std::string& help, const std::function<void(const std::string&)>& take) {
    app.add_option_function<std::string>(name, take, help)->type_name(type)->default_str(fallback);
}

// The command line's options, each taken straight into `path` or `server_port`.
void add_options(CLI::App& app, drovik::PathModel& path, std::uint16_t& server_port) {
    text_option(app, "--loss", "PCT", "50", "percent of admitted requests that get no reply, in steps of 10",
                [&](const std::string& text) { path.lost_from = 10 - tenths("--loss", text, 100); });
    // 100 would make every copy follow by another, for ever.
    text_option(app, "--dup", "PCT", "20", "percent chance of one more copy after each reply, at most 90",
                [&](const std::string& text) { path.duplicate_below = tenths("--dup", text, 90); });
    text_option(app, "--delay", "MIN-MAX", "500-1500", "range of each reply's delay in milliseconds",
                [&](const std::string& text) { set_delays(path, text); });
    text_option(app, "--cap", "N", "1000", "requests are admitted while fewer replies than N wait",
                [&](const std::string& text) {
                    path.max_pending = drovik::whole_number("--cap", text, 0, 1000000000);
                });
    app.add_option_function<std::string>(
           "PORT", [&](const std::string& text) { server_port = port(text); },
           "UDP port to serve, 1 to 65535")
        ->type_name("")
        ->required();
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        CLI::App app("drovik-server on a simulated path of your choosing (for benchmarks)",
                     "bench-path-server");
        drovik::PathModel path;
        std::uint16_t server_port = 0;
        add_options(app, path, server_port);
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& error) {
            // Prints the help or the usage error.
            return app.exit(error) == 0 ? 0 : 2;
        }
        drovik::Server server(server_port, path);
        server.run();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
