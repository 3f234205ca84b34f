// Sends one ICMP "destination unreachable" about a UDP flow on loopback, as a router or
// a firewall would: the socket that sent from LOCAL_PORT to REMOTE_PORT hears of it on
// its next call. Needs root (a raw socket).
// Usage: bench-icmp-unreachable LOCAL_PORT REMOTE_PORT [CODE]
//   CODE 13 (the default): administratively prohibited, a firewall's reject: EHOSTUNREACH
//   CODE 3: port unreachable: ECONNREFUSED
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "system/descriptor.hpp"
#include "system/network.hpp"

namespace {

std::uint16_t checksum(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return htons(static_cast<std::uint16_t>(~sum));
}

// The error and, as its body, the start of the datagram it is about.
struct Message {
    icmphdr icmp;
    iphdr ip;
    udphdr udp;
};

Message unreachable(std::uint16_t local_port, std::uint16_t remote_port, std::uint8_t code) {
    Message message{};
    message.icmp.type = ICMP_DEST_UNREACH;
    message.icmp.code = code;
    message.ip.version = 4;
    message.ip.ihl = 5;
    message.ip.tot_len = htons(sizeof(iphdr) + sizeof(udphdr));
    message.ip.ttl = 64;
    message.ip.protocol = IPPROTO_UDP;
    message.ip.saddr = message.ip.daddr = htonl(INADDR_LOOPBACK);
    message.ip.check = checksum(&message.ip, sizeof message.ip);
    message.udp.source = htons(local_port);
    message.udp.dest = htons(remote_port);
    message.udp.len = htons(sizeof(udphdr));
    message.icmp.checksum = checksum(&message, sizeof message);
    return message;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        if (argc != 3 && argc != 4) {
            throw std::invalid_argument("Usage: bench-icmp-unreachable LOCAL_PORT REMOTE_PORT [CODE]");
        }
        const auto code = static_cast<std::uint8_t>(argc == 4 ? std::stoi(argv[3]) : ICMP_PKT_FILTERED);
        const Message message = unreachable(static_cast<std::uint16_t>(std::stoi(argv[1])),
                                            static_cast<std::uint16_t>(std::stoi(argv[2])), code);
        const drovik::Descriptor raw(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
        if (raw.get() < 0) {
            drovik::throw_syscall_error("socket");
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (sendto(raw.get(), &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to) != static_cast<ssize_t>(sizeof message)) {
            drovik::throw_syscall_error("sendto");
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
