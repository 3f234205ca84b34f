#pragma once
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "system/udp_port.hpp"

namespace drovik::test {

// A UDP socket bound to an ephemeral port on 127.0.0.1.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return socket_fd; }
    std::uint16_t port() const;
    sockaddr_in address() const;
    void send_to(std::uint16_t port, const std::string& datagram) const;
    void send_to(const sockaddr_in& peer, const std::string& datagram) const;

    struct Datagram {
        std::string bytes;
        sockaddr_in sender;
    };
    // The next datagram, or nothing when none came within `limit`.
    std::optional<Datagram> receive(std::chrono::milliseconds limit) const;

private:
    int socket_fd;
};

sockaddr_in loopback_address(std::uint16_t port);

using drovik::free_udp_port;

// Waits until some socket has bound UDP `port`; false after `limit`.
bool wait_udp_bound(std::uint16_t port, std::chrono::milliseconds limit);

// A drovik-server (or `program`, given `options` before the port) that has bound
// `port`, or nothing when it could not.
std::unique_ptr<Process> start_server_on(std::uint16_t port, const std::string& program = DROVIK_SERVER_BIN,
                                         const std::vector<std::string>& options = {});

// A drovik-server (or `program`, given `options` before the port) started on a free
// port and known to have bound it.
struct RunningServer {
    std::unique_ptr<Process> process;
    std::uint16_t port;
};
RunningServer start_server(const std::string& program = DROVIK_SERVER_BIN,
                           const std::vector<std::string>& options = {});

}  // namespace drovik::test
