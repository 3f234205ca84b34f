#include "compare/run.hpp"

#include <signal.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <variant>

#include "compare/child.hpp"
#include "compare/command.hpp"
#include "compare/output_check.hpp"
#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/udp_port.hpp"

namespace drovik::compare {

namespace {
constexpr std::int64_t SECOND_NS = 1000000000;
// A server or relay that has not bound its port by then never will.
constexpr std::int64_t START_LIMIT_S = 10;
// Another program may take the free port first: the one started then ends at once.
constexpr int START_ATTEMPTS = 3;
// How long a server or relay gets to end after SIGTERM (a relay writes out its trace).
constexpr std::int64_t STOP_GRACE_NS = 5 * SECOND_NS;
constexpr const char* HOST = "127.0.0.1";

// A server or relay that has bound its port.
struct Bound {
    std::unique_ptr<Child> child;
    std::uint16_t port = 0;
};

// Starts the program `words_on` gives for a free port and waits for it to bind that port; the
// reason when it could not.
std::variant<Bound, std::string> start_bound(
    const std::string& what, const std::function<std::vector<std::string>(std::uint16_t)>& words_on,
    const std::string& err_path, const StopSignals& stop) {
    std::string reason;
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        const std::uint16_t port = free_udp_port();
        auto child = std::make_unique<Child>(words_on(port), "", err_path);
        switch (wait_for_port(*child, port, stop, monotonic_ns() + START_LIMIT_S * SECOND_NS)) {
        case Binding::bound:
            return Bound{std::move(child), port};
        case Binding::ended:
            reason = format("{} {}", what, ending(child->reap().status, err_path));
            break;
        case Binding::timed_out:
            return format("{} did not bind UDP port {} within {} s", what, port, START_LIMIT_S);
        }
    }
    return reason;
}

// Runs the client against `port` and checks what it wrote.
void run_client(const Options& options, const RunPlan& plan, std::uint16_t port, RunResult& result,
                const StopSignals& stop, const std::function<void()>& tick) {
    const std::string output = plan.directory + "/download";
    const std::string err = plan.directory + "/client.err";
    const std::vector<std::string> words =
        expand(options.clients[plan.client].words, {{"host", HOST},
                                                    {"port", std::to_string(port)},
                                                    {"output", output},
                                                    {"size", std::to_string(options.size)}});
    const std::int64_t start_ns = monotonic_ns();
    Child client(words, "", err);
    const bool ended = wait_for_end(client, stop, start_ns + options.timeout_s * SECOND_NS, tick);
    result.seconds = static_cast<double>(monotonic_ns() - start_ns) / 1e9;
    const Ended end = client.reap();
    result.peak_rss_kb = end.usage.ru_maxrss;
    result.failure = !ended            ? format("killed after {} s", options.timeout_s)
                     : end.status != 0 ? ending(end.status, err)
                                       : check_output(output, options.size);
}

// Stops the relay and counts its trace.
void count_relayed(Bound& relay, const RunPlan& plan, RunResult& result, const StopSignals& stop) {
    const std::string err = plan.directory + "/relay.err";
    const Ended end = stop_child(*relay.child, SIGTERM, STOP_GRACE_NS, stop);
    if (end.status != 0) {
        result.failure = result.failure.empty() ? "drovik-trace " + ending(end.status, err) : result.failure;
        return;
    }
    std::ifstream trace(plan.trace);
    try {
        result.counts = count_trace(trace);
    } catch (const std::runtime_error& error) {
        result.failure = result.failure.empty() ? format("{}: {}", plan.trace, error.what()) : result.failure;
    }
}

void run_relayed(const Options& options, const RunPlan& plan, Bound& server, RunResult& result,
                 const StopSignals& stop, const std::function<void()>& tick) {
    const Path& path = options.paths[plan.path];
    if (!path.shaping) {
        run_client(options, plan, server.port, result, stop, tick);
        return;
    }
    auto relay = start_bound(
        "drovik-trace",
        [&](std::uint16_t port) {
            std::vector<std::string> words = {options.trace_program, "-o", plan.trace};
            if (result.seed) {
                words.insert(words.end(), {"--seed", std::to_string(*result.seed)});
            }
            words.insert(words.end(), path.shaping->begin(), path.shaping->end());
            words.insert(words.end(), {std::to_string(port), HOST, std::to_string(server.port)});
            return words;
        },
        plan.directory + "/relay.err", stop);
    if (auto* reason = std::get_if<std::string>(&relay)) {
        result.failure = *reason;
        return;
    }
    run_client(options, plan, std::get<Bound>(relay).port, result, stop, tick);
    count_relayed(std::get<Bound>(relay), plan, result, stop);
}
}  // namespace

RunResult run_once(const Options& options, const RunPlan& plan, const StopSignals& stop,
                   const std::function<void()>& tick) {
    RunResult result;
    result.server = plan.server;
    result.path = plan.path;
    result.client = plan.client;
    result.run = plan.run;
    if (options.seed && options.paths[plan.path].draws) {
        result.seed = *options.seed + plan.run - 1;
    }
    const std::string err = plan.directory + "/server.err";
    try {
        auto server = start_bound(
            "server",
            [&](std::uint16_t port) {
                return expand(options.servers[plan.server].words, {{"port", std::to_string(port)}});
            },
            err, stop);
        if (auto* reason = std::get_if<std::string>(&server)) {
            result.failure = *reason;
            return result;
        }
        Bound& running = std::get<Bound>(server);
        run_relayed(options, plan, running, result, stop, tick);
        if (running.child->ended() && !result.failure.empty()) {
            result.failure = "server ended during the run: " + ending(running.child->reap().status, err);
        } else {
            stop_child(*running.child, SIGTERM, STOP_GRACE_NS, stop);
        }
    } catch (const std::system_error& error) {
        result.failure = error.what();
    }
    return result;
}

}  // namespace drovik::compare
