#include "compare/output_check.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "system/format.hpp"
#include "wire/virtual_file.hpp"

namespace drovik::compare {

namespace {
constexpr std::uint64_t BLOCK = 1 << 16;
}  // namespace

std::string check_output(const std::string& path, std::uint64_t size) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        return "no output file";
    }
    if (fs::is_directory(status)) {
        return "output is a directory";
    }
    if (!fs::is_regular_file(status)) {
        return "output is not a file";
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(BLOCK);
    std::uint64_t offset = 0;
    while (offset < size && in.read(block.data(), static_cast<std::streamsize>(block.size())).gcount() > 0) {
        const auto got = std::min(static_cast<std::uint64_t>(in.gcount()), size - offset);
        const std::vector<std::uint8_t> expected =
            virtual_file_bytes(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(got));
        const auto wrong = std::mismatch(
            expected.begin(), expected.end(), block.begin(),
            [](std::uint8_t want, char have) { return want == static_cast<std::uint8_t>(have); });
        if (wrong.first != expected.end()) {
            return format("wrong byte at offset {}",
                          offset + static_cast<std::uint64_t>(wrong.first - expected.begin()));
        }
        offset += got;
    }
    const std::uintmax_t bytes = fs::file_size(path, error);
    return bytes == size ? "" : format("{} of {} bytes", bytes, size);
}

}  // namespace drovik::compare
