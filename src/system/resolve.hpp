#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace drovik {

// The first IPv4 address of `host` (a name or a dotted address), with `port`.
sockaddr_in resolve_ipv4(const std::string& host, std::uint16_t port);

}  // namespace drovik
