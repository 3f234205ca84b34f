#pragma once
#include <cstdint>
#include <string>

namespace drovik::compare {

// What is wrong with `path` as a download of the served file's first `size` bytes: nothing
// (an empty text), or "no output file", "output is a directory", "output is not a file",
// "wrong byte at offset N" (the first one), "N of M bytes".
std::string check_output(const std::string& path, std::uint64_t size);

}  // namespace drovik::compare
