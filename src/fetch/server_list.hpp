#pragma once
#include <netinet/in.h>

#include <string>
#include <vector>

#include "options.hpp"

namespace drovik::fetch {

// A server to use: where it is, and what the user called it.
struct NamedServer {
    sockaddr_in address{};
    std::string name;  // "127.0.0.1:4000", or "127.0.0.1:4000 (also localhost:4000)"
};

// The servers after lookup, each address and port once, in the order first given and
// named so: one server given twice would be paced as two and flooded.
std::vector<NamedServer> distinct_servers(const std::vector<Endpoint>& endpoints);

}  // namespace drovik::fetch
