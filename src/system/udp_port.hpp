#pragma once
#include <cstdint>

namespace drovik {

// A UDP port that nothing had bound on any address a moment ago (the kernel's choice).
std::uint16_t free_udp_port();

// True when some socket of this network namespace, IPv4 or IPv6, has `port` as its local UDP
// port: the kernel's socket table is the only witness of another process's bind (a socket
// only connected to that port does not count).
bool udp_port_bound(std::uint16_t port);

}  // namespace drovik
