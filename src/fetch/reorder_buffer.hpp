#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace drovik::fetch {

// Holds the chunks that came out of order and writes every chunk to `fd` (a stream
// called `name`) as soon as all before it are there, strictly in order.
class ReorderBuffer {
public:
    // The caller never puts a chunk at or beyond `written_chunks() + window`.
    ReorderBuffer(int fd, std::string name, std::uint64_t file_size, std::uint64_t window);

    // Takes a missing chunk's bytes (exactly its length) and writes what is now in order.
    void put(std::uint64_t chunk, std::span<const std::uint8_t> data);

    // Chunks before this one are written.
    std::uint64_t written_chunks() const { return next; }
    std::uint64_t written_bytes() const;
    // Bytes written or held here.
    std::uint64_t taken_bytes() const { return written_bytes() + held_bytes; }

private:
    // Its length.
    std::uint64_t write_chunk(std::uint64_t chunk);
    std::uint8_t* slot(std::uint64_t chunk);

    int fd;
    std::string name;
    std::uint64_t file_size;
    std::uint64_t next;
    std::uint64_t slots;  // a ring of chunk-sized slots over [next, next + slots)
    std::vector<std::uint8_t> bytes;
    std::vector<bool> held;
    std::uint64_t held_bytes = 0;
};

}  // namespace drovik::fetch
