#pragma once
#include <optional>

#include "trace/relay.hpp"

namespace drovik::trace {

// Reads drovik-trace's command line into `options`. For --help, --version and usage errors it
// prints what is due and returns the exit status: 0, or 2 for a usage error.
std::optional<int> parse_command_line(int argc, char** argv, RelayOptions& options);

}  // namespace drovik::trace
