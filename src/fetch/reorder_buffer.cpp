#include "reorder_buffer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <utility>

#include "net/chunk_reply.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"

namespace drovik::fetch {

namespace {
// A small file never needs the whole window.
std::uint64_t ring_slots(std::uint64_t file_size, std::uint64_t window) {
    return std::min(window, chunk_count(file_size));
}
}  // namespace

ReorderBuffer::ReorderBuffer(int fd, std::string name, std::uint64_t file_size, std::uint64_t window)
    : fd(fd),
      name(std::move(name)),
      file_size(file_size),
      next(0),
      slots(ring_slots(file_size, window)),
      bytes(slots * MAX_CHUNK_SIZE),
      held(slots, false) {}

std::uint64_t ReorderBuffer::written_bytes() const {
    return std::min(next * MAX_CHUNK_SIZE, file_size);
}

std::uint8_t* ReorderBuffer::slot(std::uint64_t chunk) {
    return bytes.data() + (chunk % slots) * MAX_CHUNK_SIZE;
}

void ReorderBuffer::put(std::uint64_t chunk, std::span<const std::uint8_t> data) {
    assert(chunk >= next && chunk < next + slots && !held[chunk % slots]);
    assert(data.size() == chunk_length(file_size, chunk * MAX_CHUNK_SIZE));
    std::copy(data.begin(), data.end(), slot(chunk));
    held[chunk % slots] = true;
    held_bytes += data.size();
    while (held[next % slots]) {
        held_bytes -= write_chunk(next);
        held[next % slots] = false;
        ++next;
    }
}

std::uint64_t ReorderBuffer::write_chunk(std::uint64_t chunk) {
    const std::uint8_t* from = slot(chunk);
    const std::uint64_t length = chunk_length(file_size, chunk * MAX_CHUNK_SIZE);
    std::size_t left = length;
    while (left > 0) {
        const ssize_t written = write(fd, from, left);
        if (written <= 0) {
            throw_syscall_error("write " + name);
        }
        from += written;
        left -= static_cast<std::size_t>(written);
    }
    return length;
}

}  // namespace drovik::fetch
