#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "request_queue.hpp"

namespace drovik {

// Serves the virtual file on one UDP port through a simulated lossy path.
class Server {
public:
    explicit Server(std::uint16_t port, const PathModel& path = {});

    // Binds the port and serves for ever; leaves only by an exception.
    [[noreturn]] void run();

    std::int32_t rq_get_min_waiting_time() const;

private:
    std::vector<std::int32_t> get_replies_times();
    void receive_request();

    int socket_fd;
    std::uint16_t port;
    RequestQueue request_queue;
    std::random_device random_source;
    std::mt19937 generator;
    PathModel path;
};

// The port from the command line arguments (program name excluded).
std::uint16_t server_port(const std::vector<std::string>& args);

}  // namespace drovik
