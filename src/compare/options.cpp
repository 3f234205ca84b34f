#include "compare/options.hpp"

#include <CLI/CLI.hpp>

#include <set>
#include <sstream>
#include <stdexcept>

#include "cli/decimal.hpp"
#include "compare/command.hpp"
#include "system/format.hpp"
#include "trace/command_line.hpp"

#ifndef DROVIK_VERSION
#error "DROVIK_VERSION must be set by the build"
#endif

namespace drovik::compare {

namespace {
constexpr std::uint64_t MAX_BYTES = 2147483647;

struct Named {
    const char* name;
    const char* text;
};
constexpr Named BUILT_IN_CLIENTS[] = {
    {"fast", "drovik-client-fast {host} {port} {output} {size}"},
    {"slow", "drovik-client-slow {host} {port} {output} {size}"},
    {"fetch", "drovik-fetch --quiet {host} {port} {output} {size}"},
};
// direct, then the relay alone and one classic trouble each: loss, delay, a narrow link.
constexpr Named DEFAULT_PATHS[] = {
    {"relay", ""},
    {"loss", "--loss 0.1"},
    {"delay", "--delay 50-200"},
    {"rate", "--rate 600 --queue 100"},
};
constexpr const char* DIRECT = "direct";
constexpr Named DEFAULT_SERVER = {"drovik-server", "drovik-server {port}"};

const Placeholders CLIENT_PLACEHOLDERS = {{"host", ""}, {"port", ""}, {"output", ""}, {"size", ""}};
const Placeholders SERVER_PLACEHOLDERS = {{"port", ""}};

// A bad argument, said in one line.
struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The raw values as CLI11 fills them.
struct Fields {
    std::vector<std::string> clients;
    std::vector<std::string> paths;
    std::vector<std::string> servers;
    Options options;
};

void describe(CLI::App& app, Fields& fields) {
    Options& options = fields.options;
    app.add_option("CLIENT", fields.clients,
                   "NAME=COMMAND with {host}, {port}, {output} and {size}, or fast, slow or fetch "
                   "(default: fast fetch)");
    app.add_option("--path", fields.paths,
                   "NAME='drovik-trace options', direct (no relay), or relay, loss, delay or rate "
                   "(repeatable; default: all five)")
        ->type_name("PATH")
        ->allow_extra_args(false);
    app.add_option("--server", fields.servers,
                   "NAME=COMMAND with {port} (repeatable; default: drovik-server {port})")
        ->type_name("NAME=COMMAND")
        ->allow_extra_args(false);
    app.add_option("--runs", options.runs, "runs of each client on each path")
        ->type_name("N")
        ->transform(decimal())
        ->check(CLI::Range(1, 100000))
        ->capture_default_str();
    app.add_option("--size", options.size, "bytes each client downloads")
        ->type_name("BYTES")
        ->transform(decimal())
        ->check(CLI::Range(std::uint64_t{1}, MAX_BYTES))
        ->capture_default_str();
    app.add_option("--seed", options.seed,
                   "seed the relays' draws: run r of every path and client gets N + r - 1")
        ->type_name("N")
        ->transform(decimal());
    app.add_option("--timeout", options.timeout_s, "kill a client still running after SEC seconds")
        ->type_name("SEC")
        ->transform(decimal())
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    CLI::Option* out =
        app.add_option("--out", options.out, "write runs.csv, table.md and compare.png into DIR")
            ->type_name("DIR");
    app.add_flag("--keep-traces", options.keep_traces, "keep each run's trace in DIR/traces")->needs(out);
    app.set_version_flag("--version", "drovik-compare " DROVIK_VERSION);
}

// NAME and TEXT of NAME=TEXT; nothing when there is no = or no name before it.
std::optional<std::pair<std::string, std::string>> name_and_text(const std::string& argument) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) {
        return std::nullopt;
    }
    return std::pair(argument.substr(0, equals), argument.substr(equals + 1));
}

Command command(const std::string& what, const Named& named, const Placeholders& placeholders,
                const ProgramPlaces& places) {
    const std::string context = format("{} {}: ", what, named.name);
    std::vector<std::string> words;
    try {
        words = split_words(named.text);
        expand(words, placeholders);
    } catch (const std::invalid_argument& error) {
        throw UsageError(context + error.what());
    }
    if (words.empty()) {
        throw UsageError(context + "empty command");
    }
    const auto program = find_program(words[0], places.first_directory, places.search_path);
    if (!program) {
        throw UsageError(context + words[0] + " not found beside drovik-compare nor on PATH");
    }
    words[0] = *program;
    return {named.name, words};
}

Command client(const std::string& argument, const ProgramPlaces& places) {
    for (const Named& built_in : BUILT_IN_CLIENTS) {
        if (argument == built_in.name) {
            return command("client", built_in, CLIENT_PLACEHOLDERS, places);
        }
    }
    const auto named = name_and_text(argument);
    if (!named) {
        throw UsageError(format("client '{}' is neither NAME=COMMAND nor fast, slow or fetch", argument));
    }
    return command("client", {named->first.c_str(), named->second.c_str()}, CLIENT_PLACEHOLDERS, places);
}

Path path(const std::string& argument) {
    if (argument == DIRECT) {
        return {DIRECT, std::nullopt};
    }
    std::optional<std::pair<std::string, std::string>> named = name_and_text(argument);
    for (const Named& path : DEFAULT_PATHS) {
        named = argument == path.name ? std::pair(argument, std::string(path.text)) : named;
    }
    if (!named) {
        throw UsageError(
            format("path '{}' is neither NAME='OPTIONS' nor direct, relay, loss, delay or rate", argument));
    }
    const std::string context = format("path {}: ", named->first);
    trace::RelayOptions relay;
    std::vector<std::string> words;
    try {
        words = split_words(named->second);
        trace::parse_shaping(words, relay);
    } catch (const CLI::ParseError& error) {
        throw UsageError(context + error.what());
    } catch (const std::invalid_argument& error) {
        throw UsageError(context + error.what());
    }
    if (relay.seed) {
        throw UsageError(context + "--seed is drovik-compare's own, for every path at once");
    }
    return {named->first, std::move(words), relay.shape.draws()};
}

template <typename Item>
void check_unique(const std::vector<Item>& items, const std::string& what) {
    std::set<std::string> names;
    for (const Item& item : items) {
        if (!names.insert(item.name).second) {
            throw UsageError(format("two {} named {}", what, item.name));
        }
    }
}

Options collect(Fields fields, const ProgramPlaces& places) {
    Options options = std::move(fields.options);
    if (fields.clients.empty()) {
        fields.clients = {"fast", "fetch"};
    }
    for (const std::string& argument : fields.clients) {
        options.clients.push_back(client(argument, places));
    }
    if (fields.paths.empty()) {
        fields.paths.emplace_back(DIRECT);
        for (const Named& path : DEFAULT_PATHS) {
            fields.paths.emplace_back(path.name);
        }
    }
    for (const std::string& argument : fields.paths) {
        options.paths.push_back(path(argument));
    }
    for (const std::string& argument : fields.servers) {
        const auto named = name_and_text(argument);
        if (!named) {
            throw UsageError(format("server '{}' is not NAME=COMMAND", argument));
        }
        options.servers.push_back(
            command("server", {named->first.c_str(), named->second.c_str()}, SERVER_PLACEHOLDERS, places));
    }
    if (options.servers.empty()) {
        options.servers.push_back(command("server", DEFAULT_SERVER, SERVER_PLACEHOLDERS, places));
    }
    check_unique(options.clients, "clients");
    check_unique(options.paths, "paths");
    check_unique(options.servers, "servers");
    options.trace_program =
        find_program("drovik-trace", places.first_directory, places.search_path).value_or("");
    options.gnuplot = find_program("gnuplot", "", places.search_path).value_or("");
    const bool relayed = std::any_of(options.paths.begin(), options.paths.end(),
                                     [](const Path& path) { return path.shaping.has_value(); });
    if (relayed && options.trace_program.empty()) {
        throw UsageError("drovik-trace not found beside drovik-compare nor on PATH");
    }
    return options;
}
}  // namespace

std::variant<Options, EarlyExit> parse_options(const std::vector<std::string>& args,
                                               const ProgramPlaces& places) {
    CLI::App app(
        "Races download clients across paths that drovik-trace plays in front of a fresh server per run, "
        "checks every byte, and prints one table.",
        "drovik-compare");
    Fields fields;
    describe(app, fields);
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
        return collect(std::move(fields), places);
    } catch (const CLI::Success& success) {
        std::ostringstream out;
        std::ostringstream err;
        return EarlyExit{app.exit(success, out, err), out.str(), err.str()};
    } catch (const CLI::Error& error) {
        return EarlyExit{2, "", format("drovik-compare: {}\n", error.what())};
    } catch (const UsageError& error) {
        return EarlyExit{2, "", format("drovik-compare: {}\n", error.what())};
    }
}

}  // namespace drovik::compare
