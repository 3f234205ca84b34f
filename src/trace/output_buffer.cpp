#include "trace/output_buffer.hpp"

#include <algorithm>
#include <cerrno>

namespace drovik::trace {

void OutputBuffer::add(std::string_view row, std::int64_t now_ns) {
    if (!open || bytes.size() - head + row.size() > capacity) {
        ++rows_unwritten;
        return;
    }
    if (empty()) {
        bytes.clear();
        head = 0;
        waiting_since_ns = now_ns;
    }
    bytes += row;
}

std::optional<std::int64_t> OutputBuffer::write_due_ns() const {
    if (empty() || !open) {
        return std::nullopt;
    }
    return bytes.size() - head >= BATCH_BYTES ? waiting_since_ns : waiting_since_ns + BATCH_NS;
}

void OutputBuffer::write_some() {
    while (!empty() && open) {
        const ssize_t written = write(bytes.data() + head, bytes.size() - head);
        if (written > 0) {
            head += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EPIPE) {
            gone = true;
        } else if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = errno;
        }
        break;
    }
    if (gone || failed) {
        abandon();
    } else if (head >= bytes.size() / 2) {
        // Written bytes are let go once they are half the buffer, so that it never grows past twice its room.
        bytes.erase(0, head);
        head = 0;
    }
}

void OutputBuffer::abandon() {
    // A row never holds a line feed of its own: client names are addresses.
    const auto waiting = bytes.begin() + static_cast<std::ptrdiff_t>(head);
    rows_unwritten += static_cast<std::uint64_t>(std::count(waiting, bytes.end(), '\n'));
    bytes.clear();
    head = 0;
    open = false;
}

}  // namespace drovik::trace
