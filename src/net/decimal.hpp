#pragma once
#include <CLI/CLI.hpp>

#include <string>

namespace drovik {

// Numbers on the new programs' command lines are plain decimals. Left to itself, CLI11
// reads 010 as 8 and 0x10 as 16; whoever writes 010 means ten. Use as ->transform(decimal())
// before any range check.
inline CLI::Validator decimal() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
                return "not a decimal number: " + text;
            }
            const std::size_t digit = text.find_first_not_of('0');
            text = digit == std::string::npos ? "0" : text.substr(digit);
            return {};
        },
        "");
}

}  // namespace drovik
