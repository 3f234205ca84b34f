#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

namespace drovik {

// Room for the one IP_PKTINFO control message that tells a datagram's local address.
union PacketInfoControl {
    cmsghdr header;
    unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Lets `message` receive its IP_PKTINFO into `control`.
void expect_packet_info(msghdr& message, PacketInfoControl& control);

// The local address a received datagram was sent to; INADDR_ANY when `message` tells none.
in_addr destination_of(msghdr& message);

// Makes `message` leave from the local address `from`, with the control message in `control`.
void send_from(msghdr& message, PacketInfoControl& control, in_addr from);

}  // namespace drovik
