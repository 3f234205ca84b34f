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
#include "net/format.hpp"
#include "net/network.hpp"

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

// Runs the whole matrix in rounds, each round every server, path and client once.
void run_all(const Options& options, const std::string& work, const StopSignals& stop,
             std::vector<RunResult>& results) {
    const std::size_t planned =
        options.runs * options.servers.size() * options.paths.size() * options.clients.size();
    Progress progress(planned);
    const std::string run_directory = work + "/run";
    for (std::uint32_t run = 1; run <= options.runs; ++run) {
        for (std::size_t server = 0; server < options.servers.size(); ++server) {
            for (std::size_t path = 0; path < options.paths.size(); ++path) {
                for (std::size_t client = 0; client < options.clients.size(); ++client) {
                    std::vector<std::string> names = {options.paths[path].name, options.clients[client].name};
                    if (options.servers.size() > 1) {
                        names.insert(names.begin(), options.servers[server].name);
                    }
                    names.push_back(format("run{}", run));
                    const std::string trace =
                        options.keep_traces ? options.out + "/traces/" + trace_name(results.size() + 1, names)
                                            : run_directory + "/trace.csv";
                    fs::create_directories(run_directory);
                    progress.start(results.size() + 1,
                                   names[0] + " / " + names[1] + (names.size() > 3 ? " / " + names[2] : ""));
                    results.push_back(run_once(options, {server, path, client, run, run_directory, trace},
                                               stop, [&] { progress.show(); }));
                    if (options.keep_traces && results.back().counts) {
                        results.back().trace = fs::path(trace).filename().string();
                    }
                    fs::remove_all(run_directory);
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
    const std::size_t planned =
        options.runs * options.servers.size() * options.paths.size() * options.clients.size();
    const std::string table = markdown(options, results, planned);
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
