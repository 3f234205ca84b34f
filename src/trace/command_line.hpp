#pragma once
#include <optional>
#include <string>
#include <vector>

#include "trace/relay.hpp"

namespace drovik::trace {

// Reads drovik-trace's command line into `options`. For --help, --version and usage errors it
// prints what is due and returns the exit status: 0, or 2 for a usage error.
std::optional<int> parse_command_line(int argc, char** argv, RelayOptions& options);

// Reads shaping options alone (--loss, --dup, --delay, --rate, --queue, --shape, --seed) into
// `options`, for a program that runs drovik-trace with them; anything else, or a value
// drovik-trace refuses, raises CLI::ParseError.
void parse_shaping(const std::vector<std::string>& words, RelayOptions& options);

}  // namespace drovik::trace
