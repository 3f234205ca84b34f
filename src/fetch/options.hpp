#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace drovik::fetch {

// A server as the user named it; resolved only when the download starts.
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;

    std::string name() const;
};

struct Options {
    std::vector<Endpoint> servers;  // the main server first, then the mirrors in order
    std::string output_file;        // "-": standard output
    std::uint64_t bytes = 0;
    bool resume = false;   // keep the chunks an earlier run left in OUTPUT_FILE.part
    bool restart = false;  // discard them
    bool quiet = false;
    bool stats = false;
    std::uint32_t stall_timeout_s = 30;  // 0: never give up
};

// What the program prints and its exit status when it ends before any download:
// help, version or a usage error.
struct EarlyExit {
    int status = 0;
    std::string out;
    std::string err;
};

// The arguments after the program name.
std::variant<Options, EarlyExit> parse_options(const std::vector<std::string>& args);

// "HOST:PORT" with a port of 1..65535; nothing when it is not that.
std::optional<Endpoint> parse_endpoint(std::string_view text);

}  // namespace drovik::fetch
