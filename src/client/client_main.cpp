#include <exception>
#include <ios>
#include <iostream>
#include <string>
#include <vector>

#include "client.hpp"

#ifndef DROVIK_WINDOW_SIZE
#error "DROVIK_WINDOW_SIZE must be set by the build: 1000 (fast) or 1 (slow)"
#endif

int main(int argc, char* argv[]) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        drovik::Client client(args);
        drovik::download_file(client, DROVIK_WINDOW_SIZE);
    } catch (const std::ios_base::failure&) {
        std::cerr << "Error while opening/writing to file" << std::endl;
        return 1;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 1;
    }
    return 0;
}
