#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "server.hpp"

int main(int argc, char* argv[]) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        drovik::Server server(drovik::server_port(args));
        server.run();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
}
