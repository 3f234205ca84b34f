#include "trace/listener.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "system/descriptor.hpp"
#include "system/format.hpp"
#include "system/network.hpp"

namespace drovik::trace {

namespace {
// Only an address of this machine can be bound.
bool is_local(in_addr address) {
    const Descriptor probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in any_port{};
    any_port.sin_family = AF_INET;
    any_port.sin_addr = address;
    return probe.get() >= 0 &&
           bind(probe.get(), reinterpret_cast<const sockaddr*>(&any_port), sizeof any_port) == 0;
}
}  // namespace

int listening_socket(const sockaddr_in& address) {
    Descriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        throw_syscall_error("socket");
    }
    enlarge_socket_buffers(fd.get());
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw_syscall_error("bind");
    }
    return fd.release();
}

bool reaches(const sockaddr_in& listening, sockaddr_in destination) {
    if (destination.sin_port != listening.sin_port) {
        return false;
    }
    if (destination.sin_addr.s_addr == htonl(INADDR_ANY)) {
        destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    return destination.sin_addr.s_addr == listening.sin_addr.s_addr ||
           (listening.sin_addr.s_addr == htonl(INADDR_ANY) && is_local(destination.sin_addr));
}

std::string address_name(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return format("{}:{}", text, ntohs(address.sin_port));
}

}  // namespace drovik::trace
