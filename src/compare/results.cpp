#include "compare/results.hpp"

#include <algorithm>
#include <functional>
#include <tuple>

#include "system/format.hpp"
#include "trace/csv.hpp"

namespace drovik::compare {

namespace {
constexpr const char* NONE = "—";
constexpr const char* COLOURS[] = {"#e8710a", "#1a5fb4", "#26a269", "#9141ac",
                                   "#a51d2d", "#5e5c64", "#c88800"};

std::string join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

// A name as a Markdown table cell.
std::string cell_text(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '|' ? "\\|" : std::string(1, c);
    }
    return escaped;
}

std::string median_range(const std::optional<Spread>& values, int decimals) {
    return values ? format("{:.{}f} ({:.{}f}–{:.{}f})", values->median, decimals, values->min, decimals,
                           values->max, decimals)
                  : NONE;
}

std::string median(const std::optional<Spread>& values, int decimals) {
    return values ? format("{:.{}f}", values->median, decimals) : NONE;
}

// Runs each (server, path, client) in the order given.
void for_each_cell(const Options& options,
                   const std::function<void(std::size_t, std::size_t, std::size_t)>& visit) {
    for (std::size_t server = 0; server < options.servers.size(); ++server) {
        for (std::size_t path = 0; path < options.paths.size(); ++path) {
            for (std::size_t client = 0; client < options.clients.size(); ++client) {
                visit(server, path, client);
            }
        }
    }
}

std::string times(std::uint32_t runs) {
    return runs == 1 ? "once" : format("{} times", runs);
}

// A string in gnuplot's data: double quotes, which it cannot hold.
std::string data_string(std::string text) {
    std::replace(text.begin(), text.end(), '"', '\'');
    return format("\"{}\"", text);
}

// A gnuplot string in a command: single quotes, with quotes doubled.
std::string quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? "''" : std::string(1, c);
    }
    return quoted + "'";
}
}  // namespace

std::optional<Spread> spread(std::vector<double> values) {
    if (values.empty()) {
        return std::nullopt;
    }
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    const double middle = values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
    return Spread{middle, values.front(), values.back()};
}

Cell summarise(const std::vector<RunResult>& results, std::size_t server, std::size_t path,
               std::size_t client, std::uint64_t size) {
    Cell cell;
    std::vector<double> seconds;
    std::vector<double> rates;
    std::vector<double> per_chunk;
    std::vector<double> useful;
    std::vector<double> dropped;
    for (const RunResult& result : results) {
        if (result.server != server || result.path != path || result.client != client) {
            continue;
        }
        ++cell.runs;
        if (!result.failure.empty()) {
            continue;
        }
        ++cell.ok;
        seconds.push_back(result.seconds);
        rates.push_back(static_cast<double>(size) / result.seconds);
        if (const auto& counts = result.counts) {
            if (counts->useful > 0) {
                per_chunk.push_back(static_cast<double>(counts->gets) / static_cast<double>(counts->useful));
            }
            if (counts->replies > 0) {
                useful.push_back(100.0 * static_cast<double>(counts->useful) /
                                 static_cast<double>(counts->replies));
            }
            dropped.push_back(static_cast<double>(counts->dropped));
        }
    }
    cell.seconds = spread(seconds);
    cell.bytes_per_second = spread(rates);
    cell.gets_per_chunk = spread(per_chunk);
    cell.useful_percent = spread(useful);
    cell.dropped = spread(dropped);
    return cell;
}

namespace {
// The table, a row per server, path and client.
std::string table(const Options& options, const std::vector<RunResult>& results) {
    const bool servers = options.servers.size() > 1;
    std::string text = servers ? "| Server " : "";
    text +=
        "| Path | Client | Runs ok | Time (s) | Goodput (kB/s) | GETs per chunk | Useful replies (%) | "
        "Dropped |\n";
    text += servers ? "|---" : "";
    text += "|---|---|---|---|---|---|---|---|\n";
    for_each_cell(options, [&](std::size_t server, std::size_t path, std::size_t client) {
        const Cell cell = summarise(results, server, path, client, options.size);
        std::optional<Spread> kb_per_second = cell.bytes_per_second;
        if (kb_per_second) {
            kb_per_second =
                Spread{kb_per_second->median / 1000, kb_per_second->min / 1000, kb_per_second->max / 1000};
        }
        text += servers ? format("| {} ", cell_text(options.servers[server].name)) : "";
        text +=
            format("| {} | {} | {} / {} | {} | {} | {} | {} | {} |\n", cell_text(options.paths[path].name),
                   cell_text(options.clients[client].name), cell.ok, cell.runs, median_range(cell.seconds, 2),
                   median_range(kb_per_second, 1), median(cell.gets_per_chunk, 2),
                   median(cell.useful_percent, 1), median(cell.dropped, 0));
    });
    return text;
}

// The failed runs, a line each, cell by cell.
std::string failures(const Options& options, const std::vector<RunResult>& results) {
    std::vector<const RunResult*> failed;
    for (const RunResult& result : results) {
        if (!result.failure.empty()) {
            failed.push_back(&result);
        }
    }
    std::stable_sort(failed.begin(), failed.end(), [](const RunResult* a, const RunResult* b) {
        return std::tie(a->server, a->path, a->client) < std::tie(b->server, b->path, b->client);
    });
    std::string text;
    for (const RunResult* result : failed) {
        text += format("- {}{}, {}, run {}: {}\n",
                       options.servers.size() > 1 ? options.servers[result->server].name + ", " : "",
                       options.paths[result->path].name, options.clients[result->client].name, result->run,
                       result->failure);
    }
    return text;
}
}  // namespace

std::string markdown(const Options& options, const std::vector<RunResult>& results, std::size_t planned) {
    std::string text = format(
        "{} bytes, each client {} on each path, a fresh server{} per run{}; median (min–max) of the runs "
        "that were ok:\n\n",
        options.size, times(options.runs),
        options.paths.size() > 1 || options.paths[0].shaping ? " and relay" : "",
        options.seed ? format(", seed {}", *options.seed) : "");
    text += table(options, results) + "\nPaths:";
    for (const Path& path : options.paths) {
        text += format(" {}: {};", path.name,
                       !path.shaping           ? "no relay"
                       : path.shaping->empty() ? "drovik-trace without options"
                                               : format("`{}`", join(*path.shaping)));
    }
    text.back() = '.';
    text +=
        " GETs per chunk, useful replies and the datagrams the path dropped (lost or over its queue, both "
        "ways) come from drovik-trace's trace.\n";
    const std::string failed = failures(options, results);
    if (!failed.empty()) {
        text += format("\nFailed runs:\n\n{}", failed);
    }
    if (results.size() < planned) {
        text += format("\nInterrupted after {} of {} runs.\n", results.size(), planned);
    }
    return text;
}

std::string runs_csv(const Options& options, const std::vector<RunResult>& results) {
    std::string csv =
        "server,path,client,run,seed,result,reason,seconds,bytes_per_second,gets,replies,useful,dropped,peak_"
        "rss_kb,"
        "trace\n";
    for (const RunResult& result : results) {
        const bool ok = result.failure.empty();
        const auto& counts = result.counts;
        csv += format(
            "{},{},{},{},{},{},{},{:.4f},{},{},{},{},{},{},{}\n",
            trace::csv_field(options.servers[result.server].name),
            trace::csv_field(options.paths[result.path].name),
            trace::csv_field(options.clients[result.client].name), result.run,
            result.seed ? std::to_string(*result.seed) : "", ok ? "ok" : "failed",
            trace::csv_field(result.failure), result.seconds,
            ok ? format("{:.0f}", static_cast<double>(options.size) / result.seconds) : "",
            counts ? std::to_string(counts->gets) : "", counts ? std::to_string(counts->replies) : "",
            counts ? std::to_string(counts->useful) : "", counts ? std::to_string(counts->dropped) : "",
            result.peak_rss_kb ? std::to_string(*result.peak_rss_kb) : "", trace::csv_field(result.trace));
    }
    return csv;
}

std::string plot_script(const Options& options, const std::vector<RunResult>& results,
                        const std::string& png) {
    const std::size_t clients = options.clients.size();
    const std::size_t groups = options.servers.size() * options.paths.size();
    std::string data;
    std::string failed;
    bool any_ok = false;
    std::size_t longest = 0;
    for_each_cell(options, [&](std::size_t server, std::size_t path, std::size_t client) {
        const std::size_t group = server * options.paths.size() + path;
        if (client == 0) {
            const std::string label = options.servers.size() > 1
                                          ? options.paths[path].name + ", " + options.servers[server].name
                                          : options.paths[path].name;
            data += format("{}{}", group == 0 ? "" : "\n", data_string(label));
            longest = std::max(longest, label.size());
        }
        const Cell cell = summarise(results, server, path, client, options.size);
        const std::optional<Spread>& time = cell.seconds;
        // A client without a run that was ok on any path is a column without a point, which
        // gnuplot refuses: an empty bar instead.
        data += time ? format(" {} {} {}", time->median, time->min, time->max) : " 0 0 0";
        any_ok = any_ok || cell.seconds.has_value();
        if (cell.ok < cell.runs) {
            // Where gnuplot puts the bar: the clusters one apart, each bar 1 / (clients + gap) wide.
            const double x = static_cast<double>(group) +
                             (static_cast<double>(client) - static_cast<double>(clients - 1) / 2) /
                                 static_cast<double>(clients + 1);
            failed += format("{} {} {}\n", x, cell.seconds ? cell.seconds->max : 0,
                             data_string(format("{} of {} failed", cell.runs - cell.ok, cell.runs)));
        }
    });
    std::string script = format(
        "set terminal pngcairo size {},540 font 'sans,11' noenhanced\n"
        "set output {}\n"
        "set title {}\n"
        "set ylabel 'download time (s), median and range of the runs that were ok'\n"
        "set yrange [0:{}]\nset grid ytics\nset key left top\nset xtics nomirror scale 0\n"
        "set style data histogram\nset style histogram errorbars gap 1 lw 1\n"
        "set style fill solid 0.75 border -1\nset boxwidth 0.9\n"
        "$data << EOD\n{}\nEOD\n$failed << EOD\n{}EOD\nplot ",
        // Room for the bars, and for each cluster's name under them.
        std::max<std::size_t>(800, 120 + groups * std::max((clients + 1) * 45, longest * 8 + 20)),
        quoted(png),
        quoted(format("drovik-compare: {} bytes, each client {} on each path", options.size,
                      times(options.runs))),
        any_ok ? "*" : "1", data, failed);
    for (std::size_t client = 0; client < clients; ++client) {
        script += format("{}$data using {}:{}:{}{} title {} lc rgb '{}'", client == 0 ? "" : ", ",
                         2 + 3 * client, 3 + 3 * client, 4 + 3 * client, client == 0 ? ":xtic(1)" : "",
                         quoted(options.clients[client].name), COLOURS[client % std::size(COLOURS)]);
    }
    script +=
        failed.empty()
            ? "\n"
            : ", $failed using 1:2:3 with labels rotate by 90 left offset 0,0.6 tc rgb '#c01c28' notitle\n";
    return script;
}

}  // namespace drovik::compare
