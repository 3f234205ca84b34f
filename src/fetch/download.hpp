#pragma once
#include "options.hpp"
#include "system/stop_signals.hpp"

namespace drovik::fetch {

// The whole download the options ask for: resolves and connects the servers, opens the
// output (output.hpp) and fills it. Returns the exit status: 0 when the file is
// complete, 128 + the signal when one of `stop` stopped it. Failures, a stall
// included, leave as exceptions with the .part and its record kept.
int fetch_file(const Options& options, const StopSignals& stop);

}  // namespace drovik::fetch
