#pragma once
#include <cstdint>
#include <string>

#include "net/descriptor.hpp"

namespace drovik::fetch {

// OUTPUT_FILE.part: the download while it is not complete. It always holds a prefix
// of whole chunks, so a later run can go on from where this one stopped.
class PartFile {
public:
    // Opens (creates) OUTPUT_FILE.part for a download of `file_size` bytes. With
    // `resume` it keeps the whole chunks already there (cutting off a partial last
    // one); without, it starts empty.
    PartFile(const std::string& output_file, std::uint64_t file_size, bool resume);

    int fd() const { return file.get(); }
    const std::string& path() const { return part_path; }
    // Whole chunks found at the start (0 without resume).
    std::uint64_t kept_chunks() const { return kept; }

    // Makes what was written durable; the .part stays.
    void sync() const;
    // The download is complete: makes it durable and gives it its final name.
    void finish();

private:
    std::string output_path;
    std::string part_path;
    Descriptor file;
    std::uint64_t kept = 0;
};

// How many whole chunks of a `file_size`-byte download a .part of `part_size` bytes
// holds; a .part longer than the download is an error.
std::uint64_t whole_chunks(std::uint64_t part_size, std::uint64_t file_size, const std::string& path);

}  // namespace drovik::fetch
