#include "packet_info.hpp"

#include <cstring>

namespace drovik {

void expect_packet_info(msghdr& message, PacketInfoControl& control) {
    std::memset(&control, 0, sizeof control);
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
}

in_addr destination_of(msghdr& message) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            return info.ipi_spec_dst;
        }
    }
    return in_addr{htonl(INADDR_ANY)};
}

void send_from(msghdr& message, PacketInfoControl& control, in_addr from) {
    expect_packet_info(message, control);
    cmsghdr* const header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    // The interface stays 0: routing picks it, the source address is all that is fixed.
    in_pktinfo info{};
    info.ipi_spec_dst = from;
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
}

}  // namespace drovik
