#include "delivery.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "packet_info.hpp"
#include "system/datagram.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "wire/virtual_file.hpp"

namespace drovik {

std::string encode_data_reply(std::uint32_t offset, std::uint32_t byte_count) {
    std::string datagram = format("DATA {} {}\n", offset, byte_count);
    const std::vector<std::uint8_t> payload = virtual_file_bytes(offset, byte_count);
    datagram.append(payload.begin(), payload.end());
    return datagram;
}

void send_reply(const request& r, int socket_fd, SendCall send_call) {
    std::string datagram = encode_data_reply(r.offset, r.byte_count);
    sockaddr_in to = r.source;
    iovec payload{datagram.data(), datagram.size()};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;
    PacketInfoControl control{};
    if (r.destination.s_addr != htonl(INADDR_ANY)) {
        send_from(message, control, r.destination);
    }
    // A reply its destination refuses is lost like the path's own losses.
    const Sent sent =
        send_datagram(datagram.size(), "sendto", [&] { return send_call(socket_fd, &message, 0); });
    if (sent == Sent::cut) {
        throw_send_error("sendto", sent);
    }
}

}  // namespace drovik
