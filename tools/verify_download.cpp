// Checks a downloaded file against the served file's formula.
// Usage: verify-download FILE BYTES; exit status 0 when every byte is right.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "wire/virtual_file.hpp"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::cerr << "Usage: verify-download FILE BYTES\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cout << "FAIL: cannot open " << argv[1] << "\n";
        return 1;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::uint64_t expected = std::stoull(argv[2]);
    if (bytes.size() != expected) {
        std::cout << "FAIL: " << bytes.size() << " bytes, expected " << expected << "\n";
        return 1;
    }
    for (std::uint64_t p = 0; p < expected; ++p) {
        if (static_cast<std::uint8_t>(bytes[p]) != drovik::virtual_file_byte(p)) {
            std::cout << "FAIL: first wrong byte at offset " << p << "\n";
            return 1;
        }
    }
    std::cout << "OK: all " << expected << " bytes match the served file\n";
    return 0;
}
