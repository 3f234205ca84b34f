#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace drovik {

// A GET datagram as the server decoded it. Never fails: the verdict is `valid`.
struct request {
    bool valid;
    std::uint32_t offset;
    std::uint32_t byte_count;
    sockaddr_in source;
    // The local address the datagram was sent to, where its replies leave from;
    // INADDR_ANY lets the kernel choose.
    in_addr destination;

    request(const sockaddr_in& sender, const std::string& text, in_addr local = {INADDR_ANY});
};

}  // namespace drovik
