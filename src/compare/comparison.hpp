#pragma once
#include <ostream>

#include "compare/options.hpp"

namespace drovik::compare {

// Runs every client on every path in front of every server, options.runs times, one run at
// a time; then prints the table on `out` and writes the files of --out, for what was measured
// even after a stop signal. On a terminal, one progress line on standard error meanwhile. The
// exit status: 0 when every run was ok, 1 when any failed, 128 + the signal after a stop signal.
int run_comparison(const Options& options, std::ostream& out);

}  // namespace drovik::compare
