#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/descriptor.hpp"

namespace drovik::fetch {

// A UDP socket connected to one server, so that only that server's datagrams come in.
// An error the socket reports about the server (ICMP: nothing listens there, no route,
// prohibited; or a passing shortage) is an answer, not a failure: it is reported and
// remembered until the server sends something again.
class ServerSocket {
public:
    ServerSocket(const sockaddr_in& address, std::string name);

    int fd() const { return socket.get(); }
    const std::string& name() const { return server_name; }
    // The errno of the latest word about the server when it was an error, else 0.
    int unreachable() const { return error; }

    // Sends one datagram; false when an error about the server came instead.
    bool send(std::string_view datagram);

    // One waiting datagram, without blocking, into `buffer`.
    struct Received {
        enum Kind { datagram, unreachable, nothing } kind;
        std::size_t size = 0;
    };
    Received receive(std::vector<std::uint8_t>& buffer);

private:
    Descriptor socket;
    std::string server_name;
    int error = 0;
};

}  // namespace drovik::fetch
