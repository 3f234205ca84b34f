#include "client.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "system/datagram.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "transfer.hpp"
#include "wire/protocol.hpp"

namespace drovik {

namespace {

// Port and size share one conversion: base 10, signed 32-bit, sign allowed.
std::int32_t to_int(const std::string& text) {
    return std::stoi(text);
}

// Takes in every datagram already waiting; true when any filled a missing chunk.
bool drain(const Client& client, Transfer& transfer) {
    bool took = false;
    while (wait_for_datagram(client.socket_fd, 0).ready) {
        if (auto reply = get_datagram_as_chunk(client.socket_fd, client.file_size)) {
            took = transfer.take(std::move(*reply)) || took;
        }
    }
    return took;
}

}  // namespace

Client::Client(const std::vector<std::string>& args) : server_addr{}, socket_fd(0), file_size(0) {
    if (args.size() != 4) {
        throw std::invalid_argument("Usage: ./drovik-client ip port output_file bytes");
    }
    server_addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, args[0].c_str(), &server_addr.sin_addr) != 1) {
        throw std::invalid_argument("Invalid IP address.");
    }
    const auto port = static_cast<std::uint32_t>(to_int(args[1]));
    if (port == 0 || port >= 65536) {
        throw std::invalid_argument("Invalid port.");
    }
    server_addr.sin_port = htons(static_cast<std::uint16_t>(port));
    output_file = args[2];
    const std::int32_t size = to_int(args[3]);
    // A negative size would truncate the output and then ask for ~10^16 chunks.
    if (size <= 0) {
        throw std::invalid_argument("Invalid file size.");
    }
    file_size = static_cast<std::uint64_t>(size);
}

void send_chunk_request(int socket_fd, std::uint64_t file_size, std::uint64_t chunk_index) {
    const std::string text = encode_chunk_request(file_size, chunk_index);
    const Sent sent =
        send_datagram(text.size(), "sendto", [&] { return send(socket_fd, text.data(), text.size(), 0); });
    if (sent != Sent::whole) {
        throw_send_error("sendto", sent);
    }
}

std::optional<ChunkReply> get_datagram_as_chunk(int socket_fd, std::uint64_t file_size) {
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE, 0);
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    const ssize_t received = recvfrom(socket_fd, buffer.data(), RECEIVE_LIMIT, 0,
                                      reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0) {
        throw_syscall_error("recvfrom");
    }
    return decode_chunk_reply(buffer.data(), static_cast<std::size_t>(received), file_size);
}

void download_file(Client& client, std::uint64_t window_size, std::ostream& progress) {
    client.socket_fd = connected_udp_socket(client.server_addr);
    std::ofstream out;
    out.exceptions(std::ios_base::failbit);
    out.open(client.output_file, std::ios_base::out | std::ios_base::binary | std::ios_base::trunc);
    // From here a failed write must not pass silently either.
    out.exceptions(std::ios_base::failbit | std::ios_base::badbit);
    Transfer transfer(client.file_size, window_size);
    while (!transfer.done()) {
        const WaitResult waited = wait_for_datagram(client.socket_fd, transfer.wait_time());
        transfer.age(waited.elapsed_ms);
        const bool took = drain(client, transfer);
        transfer.write_ready(out);
        transfer.request_due(
            [&client](std::uint64_t j) { send_chunk_request(client.socket_fd, client.file_size, j); });
        if (took) {
            progress << format("{:.3f}% done\n", transfer.percent_done());
        }
    }
    out.close();
}

}  // namespace drovik
