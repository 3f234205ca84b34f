#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/descriptor.hpp"

namespace drovik::fetch {

// A UDP socket connected to one server, so that only that server's datagrams come in.
// A refusal (nothing listens there) is an answer, not a failure: it is reported and
// remembered until the server sends something again.
class ServerSocket {
public:
    ServerSocket(const sockaddr_in& address, std::string name);

    int fd() const { return socket.get(); }
    const std::string& name() const { return server_name; }
    // True while the latest word from the server's host was a refusal.
    bool refused() const { return refusing; }

    // Sends one datagram; false when the host refused it (or an earlier one). A send
    // that only loses its datagram counts as sent.
    bool send(std::string_view datagram);

    // One waiting datagram, without blocking, into `buffer`.
    struct Received {
        enum Kind { datagram, refused, nothing } kind;
        std::size_t size = 0;
    };
    Received receive(std::vector<std::uint8_t>& buffer);

private:
    Descriptor socket;
    std::string server_name;
    bool refusing = false;
};

}  // namespace drovik::fetch
