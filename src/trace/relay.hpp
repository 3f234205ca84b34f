#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "pathsim/shaped_link.hpp"
#include "system/stop_signals.hpp"

namespace drovik::trace {

// --idle and --forget may not be shorter: a server may hold a reply this long and more
// (drovik-server up to 1.5 s), and a shorter wait would drop its late replies.
inline constexpr double MIN_QUIET_S = 2;

struct RelayOptions {
    std::uint16_t listen_port = 0;
    std::string server_host;
    std::uint16_t server_port = 0;
    std::string output;  // empty: standard output
    std::string bind_address = "127.0.0.1";
    std::optional<double> idle_s;  // none: run until a stop signal
    double forget_s = 60;          // a client quiet this long is gone: its socket is closed
    PathShape shape;
    std::optional<std::uint64_t> seed;  // of the shaping draws; none: from the system
};

// Options each right alone that make no relay together: a usage error.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The socket calls the relay makes: sendto and recvfrom on the socket clients talk to, send
// and recv on each client's socket towards the server. Tests put failing ones in their place.
struct SocketCalls {
    ssize_t (*send)(int, const void*, std::size_t, int) = ::send;
    ssize_t (*recv)(int, void*, std::size_t, int) = ::recv;
    ssize_t (*sendto)(int, const void*, std::size_t, int, const sockaddr*, socklen_t) = ::sendto;
    ssize_t (*recvfrom)(int, void*, std::size_t, int, sockaddr*, socklen_t*) = ::recvfrom;
};

// Relays datagrams between clients and the server through the shaped path, writing every
// one to the trace, until `idle_s` pass without a datagram or one of `signals` comes; then
// writes what the output takes of the rest of the trace and prints the summary to `log`.
// A server that is the relay's own listening address raises UsageError at once; a trace that
// could not be written raises after the summary.
void run_relay(const RelayOptions& options, const StopSignals& signals, std::ostream& log,
               const SocketCalls& calls = {});

}  // namespace drovik::trace
