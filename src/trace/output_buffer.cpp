#include "trace/output_buffer.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>

namespace drovik::trace {

void OutputBuffer::add(std::string_view row, std::int64_t now_ns) {
    assert(row.size() < MAX_WRITE && row.ends_with('\n'));
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

std::size_t OutputBuffer::next_write() const {
    const std::size_t window = std::min(bytes.size() - head, MAX_WRITE);
    return bytes.rfind('\n', head + window - 1) + 1 - head;
}

void OutputBuffer::write_some() {
    while (!empty() && open) {
        const ssize_t written = write(bytes.data() + head, next_write());
        if (written > 0) {
            const std::string_view taken(bytes.data() + head, static_cast<std::size_t>(written));
            const std::size_t row_end = taken.rfind('\n');
            begun = row_end == std::string_view::npos ? begun + taken.size() : taken.size() - row_end - 1;
            head += taken.size();
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
    if (begun > 0) {
        cut(begun);
        begun = 0;
    }
    bytes.clear();
    head = 0;
    open = false;
}

}  // namespace drovik::trace
