#include <exception>
#include <iostream>
#include <optional>

#include "trace/command_line.hpp"
#include "trace/relay.hpp"

int main(int argc, char* argv[]) {
    drovik::trace::RelayOptions options;
    if (const std::optional<int> status = drovik::trace::parse_command_line(argc, argv, options)) {
        return *status;
    }
    try {
        drovik::trace::run_relay(options, std::cerr);
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
    return 0;
}
