#include "options.hpp"

#include <CLI/CLI.hpp>

#include <charconv>
#include <sstream>

#include "cli/decimal.hpp"
#include "system/format.hpp"

#ifndef DROVIK_VERSION
#error "DROVIK_VERSION must be set by the build"
#endif

namespace drovik::fetch {

namespace {

constexpr std::uint32_t MAX_BYTES = 2147483647;

// The raw values as CLI11 fills them.
struct Fields {
    std::string host;
    std::uint16_t port = 0;
    std::vector<std::string> mirrors;
    Options options;
};

CLI::Validator endpoint_validator() {
    return CLI::Validator(
        [](const std::string& text) {
            return parse_endpoint(text) ? std::string()
                                        : format("'{}' is not HOST:PORT with a port of 1..65535", text);
        },
        "");
}

void describe(CLI::App& app, Fields& fields) {
    Options& options = fields.options;
    app.add_option("HOST", fields.host, "server host name or IPv4 address")->required();
    app.add_option("PORT", fields.port, "server UDP port")
        ->required()
        ->transform(decimal())
        ->check(CLI::Range(1, 65535));
    app.add_option("OUTPUT_FILE", options.output_file,
                   "written as OUTPUT_FILE.part, renamed to OUTPUT_FILE when complete; a device, a FIFO, "
                   "- (standard output) or what a symbolic link leads to is written in order")
        ->required()
        ->check(CLI::Validator(
            [](const std::string& name) { return name.empty() ? "an empty name names no file" : ""; }, ""));
    app.add_option("BYTES", options.bytes, "how many bytes to download")
        ->required()
        ->transform(decimal())
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{MAX_BYTES}));
    app.add_option("-m,--mirror", fields.mirrors, "another server of the same file (repeatable)")
        ->type_name("HOST:PORT")
        ->check(endpoint_validator());
    CLI::Option* resume = app.add_flag("-r,--resume", options.resume,
                                       "continue from OUTPUT_FILE.part, keeping every chunk it holds");
    app.add_flag("--restart", options.restart, "discard what OUTPUT_FILE.part holds and start over")
        ->excludes(resume);
    app.add_flag("-q,--quiet", options.quiet, "no progress display");
    app.add_flag("-s,--stats", options.stats, "one summary line on standard error at the end");
    app.add_option("--stall-timeout", options.stall_timeout_s,
                   "give up when no new chunk has come for SEC seconds (0: never)")
        ->type_name("SEC")
        ->transform(decimal())
        ->capture_default_str();
    app.set_version_flag("--version", "drovik-fetch " DROVIK_VERSION);
}

Options collect(Fields fields) {
    Options options = std::move(fields.options);
    options.servers.push_back({fields.host, fields.port});
    for (const std::string& mirror : fields.mirrors) {
        options.servers.push_back(*parse_endpoint(mirror));
    }
    return options;
}

EarlyExit early_exit(const CLI::App& app, const CLI::Error& error) {
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(error, out, err);
    // Help and version end well; every other error is a usage error.
    return {code == 0 ? 0 : 2, out.str(), err.str()};
}

}  // namespace

std::string Endpoint::name() const {
    return format("{}:{}", host, port);
}

std::optional<Endpoint> parse_endpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    const std::string_view digits = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return Endpoint{std::string(text.substr(0, colon)), static_cast<std::uint16_t>(port)};
}

std::variant<Options, EarlyExit> parse_options(const std::vector<std::string>& args) {
    CLI::App app(
        "Downloads the first BYTES bytes served by drovik-server, pacing itself to what the server "
        "can deliver.",
        "drovik-fetch");
    Fields fields;
    describe(app, fields);
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::Error& error) {
        return early_exit(app, error);
    }
    return collect(std::move(fields));
}

}  // namespace drovik::fetch
