#include "support/output_file.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "support/wire.hpp"

namespace drovik::test {

OutputFile::OutputFile(const std::string& name, const std::string& suffix)
    : path((std::filesystem::temp_directory_path() / (name + "." + std::to_string(getpid()) + suffix))
               .string()) {}

OutputFile::~OutputFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::uint64_t OutputFile::size() const {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path, error);
    return error ? 0 : bytes;
}

std::string OutputFile::bytes() const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool DownloadFiles::complete(std::uint64_t bytes) const {
    return !std::filesystem::exists(part.path) && !std::filesystem::exists(map.path) &&
           output.bytes() == served_bytes(0, bytes);
}

}  // namespace drovik::test
