#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include "download.hpp"
#include "options.hpp"
#include "output.hpp"
#include "system/standard_descriptors.hpp"
#include "system/stop_signals.hpp"

int main(int argc, char* argv[]) {
    try {
        // First, so that the stop signals' own descriptor cannot take standard output's place;
        // then the stop signals, so that none ends the program without its orderly end.
        drovik::hold_standard_descriptors();
        const drovik::StopSignals stop;
        // A reader that goes away is a failed write with its own line, not a silent death.
        std::signal(SIGPIPE, SIG_IGN);
        const auto parsed = drovik::fetch::parse_options(std::vector<std::string>(argv + 1, argv + argc));
        if (const auto* early = std::get_if<drovik::fetch::EarlyExit>(&parsed)) {
            std::cout << early->out << std::flush;
            std::cerr << early->err << std::flush;
            return early->status;
        }
        return drovik::fetch::fetch_file(std::get<drovik::fetch::Options>(parsed), stop);
    } catch (const std::exception& error) {
        std::cerr << "drovik-fetch: " << error.what() << std::endl;
        return 1;
    }
}
