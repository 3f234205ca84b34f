#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace drovik::fetch {

// Holds the chunks that came out of order and writes them to `fd` (a stream called
// `name`) strictly in order, as fast as the stream takes them and never faster: a
// reader that stops reading holds the download back, not the program.
class ReorderBuffer {
public:
    ReorderBuffer(int fd, std::string name, std::uint64_t file_size, std::uint64_t window);

    // Takes a missing chunk's bytes (exactly its length); never one at or beyond room_end().
    void put(std::uint64_t chunk, std::span<const std::uint8_t> data);
    // Writes the chunks in order for as long as the stream takes them without waiting.
    void write_ready();
    // True while a chunk in order waits for the stream to take it.
    bool waiting() const { return next < chunks && held[next % slots]; }
    int fd() const { return out; }
    // Chunks from here on do not fit yet.
    std::uint64_t room_end() const { return next + slots; }

    std::uint64_t written_bytes() const;
    // Bytes written or held here.
    std::uint64_t taken_bytes() const { return written_bytes() + held_bytes; }

private:
    bool writable() const;
    std::uint8_t* slot(std::uint64_t chunk);

    int out;
    std::string name;
    std::uint64_t file_size;
    std::uint64_t chunks;
    std::uint64_t next = 0;  // the chunk to write next...
    std::size_t offset = 0;  // ...and how much of it is written
    std::uint64_t slots;     // a ring of chunk-sized slots over [next, next + slots)
    std::vector<std::uint8_t> bytes;
    std::vector<bool> held;
    std::uint64_t held_bytes = 0;
};

}  // namespace drovik::fetch
