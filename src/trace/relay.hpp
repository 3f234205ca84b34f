#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace drovik::trace {

struct RelayOptions {
    std::uint16_t listen_port = 0;
    std::string server_host;
    std::uint16_t server_port = 0;
    std::string output;  // empty: standard output
    std::string bind_address = "127.0.0.1";
    std::optional<double> idle_s;  // none: run until SIGINT or SIGTERM
    double forget_s = 60;          // a client quiet this long is gone: its socket is closed
};

// Relays datagrams between clients and the server, writing every one to the trace, until
// `idle_s` pass without a datagram or SIGINT or SIGTERM comes; then flushes the trace and
// prints one summary line per client on standard error.
void run_relay(const RelayOptions& options);

}  // namespace drovik::trace
