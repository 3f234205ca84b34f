#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "compare/options.hpp"
#include "compare/results.hpp"
#include "system/stop_signals.hpp"

namespace drovik::compare {

// One run of the comparison: which server, path and client, which time, and where its files go.
struct RunPlan {
    std::size_t server = 0;
    std::size_t path = 0;
    std::size_t client = 0;
    std::uint32_t run = 0;  // from 1
    std::string directory;  // for the download and the programs' errors
    std::string trace;      // the file the relay writes its trace to
};

// Starts a fresh server on a free loopback port, then (but for a direct path) a fresh relay
// in front of it, runs the client against them, stops both and checks the download. A
// failure of any of them is the run's; a stop signal raises Interrupted once every program
// started is gone. `tick` runs about once a second while the client runs.
RunResult run_once(const Options& options, const RunPlan& plan, const StopSignals& stop,
                   const std::function<void()>& tick);

}  // namespace drovik::compare
