#include "reorder_buffer.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <utility>

#include "system/network.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

namespace {
// A small file never needs the whole window.
std::uint64_t ring_slots(std::uint64_t file_size, std::uint64_t window) {
    return std::min(window, chunk_count(file_size));
}
}  // namespace

ReorderBuffer::ReorderBuffer(int fd, std::string name, std::uint64_t file_size, std::uint64_t window)
    : out(fd),
      name(std::move(name)),
      file_size(file_size),
      chunks(chunk_count(file_size)),
      slots(ring_slots(file_size, window)),
      bytes(slots * MAX_CHUNK_SIZE),
      held(slots, false) {}

std::uint64_t ReorderBuffer::written_bytes() const {
    return std::min(next * MAX_CHUNK_SIZE + offset, file_size);
}

std::uint8_t* ReorderBuffer::slot(std::uint64_t chunk) {
    return bytes.data() + (chunk % slots) * MAX_CHUNK_SIZE;
}

void ReorderBuffer::put(std::uint64_t chunk, std::span<const std::uint8_t> data) {
    assert(chunk >= next && chunk < room_end() && !held[chunk % slots]);
    assert(data.size() == chunk_length(file_size, chunk * MAX_CHUNK_SIZE));
    std::copy(data.begin(), data.end(), slot(chunk));
    held[chunk % slots] = true;
    held_bytes += data.size();
}

// Ready for a chunk without blocking: a pipe that polls writable has room for
// PIPE_BUF bytes, more than a chunk. A reader gone away polls ready too, and the
// write then says so.
bool ReorderBuffer::writable() const {
    pollfd entry{out, POLLOUT, 0};
    const int ready = poll(&entry, 1, 0);
    if (ready < 0 && errno != EINTR) {
        throw_syscall_error("poll " + name);
    }
    return ready > 0;
}

void ReorderBuffer::write_ready() {
    while (waiting() && writable()) {
        const std::uint64_t length = chunk_length(file_size, next * MAX_CHUNK_SIZE);
        const ssize_t written = write(out, slot(next) + offset, length - offset);
        if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (written <= 0) {
            throw_write_error("write " + name, written);
        }
        offset += static_cast<std::size_t>(written);
        held_bytes -= static_cast<std::uint64_t>(written);
        if (offset == length) {
            held[next % slots] = false;
            ++next;
            offset = 0;
        }
    }
}

}  // namespace drovik::fetch
