#include "compare/comparison.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "compare/child.hpp"
#include "compare/results.hpp"
#include "compare/run.hpp"
#include "system/clock.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

namespace drovik::compare {

namespace {
namespace fs = std::filesystem;

constexpr std::int64_t PLOT_LIMIT_NS = 60LL * 1000000000;

// A directory of its own under TMPDIR (or /tmp) for the runs' files, removed with all it holds.
class WorkDirectory {
public:
    WorkDirectory() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/drovik-compare.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw_syscall_error("mkdtemp " + pattern);
        }
        path = pattern;
    }
    ~WorkDirectory() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    std::string path;
};

// The one line that says where the comparison is, redrawn in place on a terminal only.
class Progress {
public:
    explicit Progress(std::size_t planned) : planned(planned), shown(isatty(STDERR_FILENO) == 1) {}
    ~Progress() {
        if (shown) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void start(std::size_t run, std::string label) {
        number = run;
        cell = std::move(label);
        show();
    }
    void show() const {
        if (shown) {
            const std::int64_t seconds = (monotonic_ns() - start_ns) / 1000000000;
            std::cerr << format("\r\033[Kdrovik-compare: run {} of {}: {}, {}:{:02} elapsed", number, planned,
                                cell, seconds / 60, seconds % 60)
                      << std::flush;
        }
    }

private:
    std::size_t planned;
    bool shown;
    std::int64_t start_ns = monotonic_ns();
    std::size_t number = 0;
    std::string cell;
};

void write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
}

// A file name for a kept trace: the run's number and names, with only safe characters.
std::string trace_name(std::size_t number, const std::vector<std::string>& names) {
    std::string name = format("{:03}", number);
    for (const std::string& part : names) {
        name += '-';
        for (const char c : part) {
            name += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ? c : '_';
        }
    }
    return name + ".csv";
}

std::size_t planned_runs(const Options& options) {
    return options.runs * options.servers.size() * options.paths.size() * options.clients.size();
}

// Runs `plan` as run `number` of the comparison, its trace kept with --keep-traces.
RunResult run_numbered(const Options& options, RunPlan plan, std::size_t number, Progress& progress,
                       const StopSignals& stop) {
    std::vector<std::string> names = {options.paths[plan.path].name, options.clients[plan.client].name};
    if (options.servers.size() > 1) {
        names.insert(names.begin(), options.servers[plan.server].name);
    }
    std::string label = names[0];
    for (std::size_t k = 1; k < names.size(); ++k) {
        label += " / " + names[k];
    }
    names.push_back(format("run{}", plan.run));
    const std::string kept = options.out + "/traces/" + trace_name(number, names);
    plan.trace = options.keep_traces ? kept : plan.directory + "/trace.csv";
    fs::create_directories(plan.directory);
    progress.start(number, label);
    RunResult result = run_once(options, plan, stop, [&] { progress.show(); });
    if (options.keep_traces && result.counts) {
        result.trace = fs::path(kept).filename().string();
    }
    fs::remove_all(plan.directory);
    return result;
}

// Runs the whole matrix in rounds, each round every server, path and client once.
void run_all(const Options& options, const std::string& work, const StopSignals& stop,
             std::vector<RunResult>& results) {
    Progress progress(planned_runs(options));
    for (std::uint32_t run = 1; run <= options.runs; ++run) {
        for (std::size_t server = 0; server < options.servers.size(); ++server) {
            for (std::size_t path = 0; path < options.paths.size(); ++path) {
                for (std::size_t client = 0; client < options.clients.size(); ++client) {
                    const RunPlan plan{server, path, client, run, work + "/run", ""};
                    results.push_back(run_numbered(options, plan, results.size() + 1, progress, stop));
                }
            }
        }
    }
}

// Draws compare.png with gnuplot.
void draw(const Options& options, const std::vector<RunResult>& results, const std::string& work,
          const StopSignals& stop) {
    const std::string script = work + "/compare.gp";
    const std::string err = work + "/gnuplot.err";
    write_file(script, plot_script(options, results, options.out + "/compare.png"));
    Child gnuplot({options.gnuplot, script}, "", err);
    const bool ended = wait_for_end(gnuplot, stop, monotonic_ns() + PLOT_LIMIT_NS);
    const Ended end = gnuplot.reap();
    if (!ended || end.status != 0) {
        throw std::runtime_error("gnuplot did not draw compare.png: " +
                                 (ended ? ending(end.status, err) : std::string("it took too long")));
    }
}
}  // namespace

int run_comparison(const Options& options, std::ostream& out) {
    const StopSignals stop;
    const WorkDirectory work;
    if (!options.out.empty()) {
        fs::create_directories(options.keep_traces ? options.out + "/traces" : options.out);
        if (options.gnuplot.empty()) {
            std::cerr << "drovik-compare: gnuplot not found (Debian package gnuplot-nox): no compare.png\n";
        }
    }
    std::vector<RunResult> results;
    int stopped = 0;
    try {
        run_all(options, work.path, stop, results);
    } catch (const Interrupted& interrupted) {
        stopped = interrupted.signal;
    }
    const std::string table = markdown(options, results, planned_runs(options));
    if (!options.out.empty()) {
        write_file(options.out + "/runs.csv", runs_csv(options, results));
        write_file(options.out + "/table.md", table);
    }
    out << table << std::flush;
    if (stopped == 0 && !options.out.empty() && !options.gnuplot.empty()) {
        try {
            draw(options, results, work.path, stop);
        } catch (const Interrupted& interrupted) {
            stopped = interrupted.signal;
        }
    }
    const bool failed = std::any_of(results.begin(), results.end(),
                                    [](const RunResult& result) { return !result.failure.empty(); });
    return stopped != 0 ? 128 + stopped : failed ? 1 : 0;
}

}  // namespace drovik::compare
