#include <exception>
#include <iostream>
#include <optional>

#include "system/standard_descriptors.hpp"
#include "system/stop_signals.hpp"
#include "trace/command_line.hpp"
#include "trace/relay.hpp"

int main(int argc, char* argv[]) {
    try {
        // First, so that no socket of the relay takes the place of its trace or summary; then
        // the stop signals, so that one from the first moment on ends the relay in order.
        drovik::hold_standard_descriptors();
        const drovik::StopSignals signals;
        drovik::trace::RelayOptions options;
        if (const std::optional<int> status = drovik::trace::parse_command_line(argc, argv, options)) {
            return *status;
        }
        drovik::trace::run_relay(options, signals, std::cerr);
    } catch (const drovik::trace::UsageError& error) {
        std::cerr << error.what() << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
    return 0;
}
