#pragma once
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "system/format.hpp"

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

// A whole number of digits only, from `min` to `max`, for options that take apart a text of
// their own; anything else is a usage error of `option`.
inline std::int64_t whole_number(const std::string& option, std::string_view text, std::int64_t min,
                                 std::int64_t max) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
        error != std::errc{} || stop != end || value < min || value > max) {
        throw CLI::ValidationError(option, format("not a whole number from {} to {}", min, max));
    }
    return value;
}

}  // namespace drovik
