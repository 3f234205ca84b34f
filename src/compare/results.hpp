#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compare/options.hpp"
#include "compare/trace_counts.hpp"

namespace drovik::compare {

// One run of a client on a path in front of a server, as measured.
struct RunResult {
    std::size_t server = 0;  // indices into the options' lists
    std::size_t path = 0;
    std::size_t client = 0;
    std::uint32_t run = 0;  // from 1
    std::optional<std::uint64_t> seed;
    std::string failure;  // empty: ok
    double seconds = 0;   // the client's wall time
    std::optional<long> peak_rss_kb;
    std::optional<TraceCounts> counts;  // none without a relay
    std::string trace;                  // the file name of the kept trace, if any
};

// The median, smallest and largest of some values.
struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};
std::optional<Spread> spread(std::vector<double> values);

// What the runs of one client on one path in front of one server came to: times and the
// counts of the runs that were ok.
struct Cell {
    std::size_t ok = 0;
    std::size_t runs = 0;
    std::optional<Spread> seconds;
    std::optional<Spread> bytes_per_second;
    std::optional<Spread> gets_per_chunk;
    std::optional<Spread> useful_percent;
    std::optional<Spread> dropped;
};
Cell summarise(const std::vector<RunResult>& results, std::size_t server, std::size_t path,
               std::size_t client, std::uint64_t size);

// The comparison as Markdown: a line on what was run, the table (one row per server, path and
// client, in the order given; a server column only for several servers), the paths' options,
// then the failed runs with their reasons. `planned` runs were due.
std::string markdown(const Options& options, const std::vector<RunResult>& results, std::size_t planned);

// One CSV row per run, under the header
// server,path,client,run,seed,result,reason,seconds,bytes_per_second,gets,replies,useful,dropped,peak_rss_kb,trace
std::string runs_csv(const Options& options, const std::vector<RunResult>& results);

// A gnuplot script that draws `png`: a bar per client within each path (and server), the median
// time of the runs that were ok with whiskers from the fastest to the slowest, and the failed
// runs marked above.
std::string plot_script(const Options& options, const std::vector<RunResult>& results,
                        const std::string& png);

}  // namespace drovik::compare
