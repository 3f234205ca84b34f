#include <csignal>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "compare/comparison.hpp"
#include "compare/options.hpp"
#include "system/standard_descriptors.hpp"

int main(int argc, char* argv[]) {
    try {
        // First, so that no pipe or socket of a run takes the place of the table or its errors.
        drovik::hold_standard_descriptors();
        // The built-in programs are the ones installed (or built) beside this one.
        std::error_code error;
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
        const char* path = std::getenv("PATH");
        const drovik::compare::ProgramPlaces places{self.parent_path().string(),
                                                    path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin"};
        const auto parsed =
            drovik::compare::parse_options(std::vector<std::string>(argv + 1, argv + argc), places);
        if (const auto* early = std::get_if<drovik::compare::EarlyExit>(&parsed)) {
            std::cout << early->out << std::flush;
            std::cerr << early->err << std::flush;
            return early->status;
        }
        // A reader of the table that went away must not end the program before its children.
        signal(SIGPIPE, SIG_IGN);
        const int status =
            drovik::compare::run_comparison(std::get<drovik::compare::Options>(parsed), std::cout);
        // A table that went nowhere (standard output closed, or full) is no success.
        if (!std::cout.flush()) {
            throw std::runtime_error("the table could not be written to standard output");
        }
        return status;
    } catch (const std::exception& error) {
        std::cerr << "drovik-compare: " << error.what() << std::endl;
        return 1;
    }
}
