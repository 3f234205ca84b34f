#include "server_list.hpp"

#include <algorithm>

#include "system/resolve.hpp"

namespace drovik::fetch {

std::vector<NamedServer> distinct_servers(const std::vector<Endpoint>& endpoints) {
    std::vector<NamedServer> servers;
    std::vector<std::vector<std::string>> also(endpoints.size());
    for (const Endpoint& endpoint : endpoints) {
        const sockaddr_in address = resolve_ipv4(endpoint.host, endpoint.port);
        const auto same = std::find_if(servers.begin(), servers.end(), [&](const NamedServer& server) {
            return server.address.sin_addr.s_addr == address.sin_addr.s_addr &&
                   server.address.sin_port == address.sin_port;
        });
        if (same == servers.end()) {
            servers.push_back({address, endpoint.name()});
        } else {
            also[static_cast<std::size_t>(same - servers.begin())].push_back(endpoint.name());
        }
    }
    for (std::size_t k = 0; k < servers.size(); ++k) {
        for (std::size_t n = 0; n < also[k].size(); ++n) {
            servers[k].name += (n == 0 ? " (also " : ", ") + also[k][n];
        }
        servers[k].name += also[k].empty() ? "" : ")";
    }
    return servers;
}

}  // namespace drovik::fetch
