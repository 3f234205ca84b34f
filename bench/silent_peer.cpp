// A bound loopback socket that never reads: requests sent to it are neither
// answered nor refused, so a client keeps its whole window outstanding.
// Usage: bench-silent-peer PORT (runs until killed)
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>

#include "bench_socket.hpp"

int main(int argc, char* argv[]) {
    try {
        if (argc != 2) {
            throw std::invalid_argument("Usage: bench-silent-peer PORT");
        }
        drovik::bench::bound_socket(INADDR_LOOPBACK, static_cast<std::uint16_t>(std::stoi(argv[1])));
        for (;;) {
            pause();
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
