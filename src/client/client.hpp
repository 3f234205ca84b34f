#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "wire/chunk_reply.hpp"
#include "wire/chunk_request.hpp"

namespace drovik {

// Everything one download works on, filled from the command line.
struct Client {
    sockaddr_in server_addr;
    int socket_fd;
    std::uint64_t file_size;
    std::string output_file;

    // Arguments after the program name: ip port output_file bytes.
    explicit Client(const std::vector<std::string>& args);
};

void send_chunk_request(int socket_fd, std::uint64_t file_size, std::uint64_t chunk_index);

// Receives one datagram; nothing when it is not a usable reply.
std::optional<ChunkReply> get_datagram_as_chunk(int socket_fd, std::uint64_t file_size);

// Downloads the whole file with `window_size` chunks in flight, printing progress to `progress`.
void download_file(Client& client, std::uint64_t window_size, std::ostream& progress = std::cout);

}  // namespace drovik
