#include "udp_port.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>

#include "descriptor.hpp"
#include "format.hpp"
#include "network.hpp"

namespace drovik {

std::uint16_t free_udp_port() {
    const Descriptor socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (socket_fd.get() < 0 ||
        bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        getsockname(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw_syscall_error("bind a free UDP port");
    }
    return ntohs(address.sin_port);
}

namespace {
bool local_port_in_table(const char* table_path, const std::string& suffix) {
    std::ifstream table(table_path);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        fields >> slot >> local;
        if (local.size() > suffix.size() && local.ends_with(suffix)) {
            return true;
        }
    }
    return false;
}
}  // namespace

bool udp_port_bound(std::uint16_t port) {
    const std::string suffix = format(":{:04X}", port);
    return local_port_in_table("/proc/net/udp", suffix) || local_port_in_table("/proc/net/udp6", suffix);
}

}  // namespace drovik
