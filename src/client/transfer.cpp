#include "transfer.hpp"

#include <algorithm>
#include <cassert>

namespace drovik {

namespace {
std::uint64_t last_of_window(std::uint64_t n, std::uint64_t first, std::uint64_t window_size) {
    return std::min(n, first + window_size) - 1;
}
}  // namespace

Transfer::Transfer(std::uint64_t file_size, std::uint64_t window_size)
    : window_size(window_size),
      chunks(chunk_count(file_size)),
      window_last(last_of_window(chunks.size(), 0, window_size)) {}

std::int32_t Transfer::wait_time() const {
    assert(chunks[first].data.empty());
    std::int32_t wait_ms = chunks[first].timer_ms;
    for (std::uint64_t j = first + 1; j <= window_last; ++j) {
        if (chunks[j].data.empty()) {
            wait_ms = std::min(wait_ms, chunks[j].timer_ms);
        }
    }
    return wait_ms;
}

void Transfer::age(std::int32_t elapsed_ms) {
    for (std::uint64_t j = first; j <= window_last; ++j) {
        if (chunks[j].data.empty()) {
            chunks[j].timer_ms -= elapsed_ms;
        }
    }
}

bool Transfer::take(ChunkReply&& reply) {
    if (reply.chunk_index < first || reply.chunk_index >= chunks.size() ||
        !chunks[reply.chunk_index].data.empty()) {
        return false;
    }
    chunks[reply.chunk_index].data = std::move(reply.data);
    ++received;
    return true;
}

void Transfer::write_ready(std::ostream& out) {
    while (first < chunks.size() && !chunks[first].data.empty()) {
        std::vector<std::uint8_t>& data = chunks[first].data;
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        std::vector<std::uint8_t>().swap(data);
        ++first;
    }
    window_last = last_of_window(chunks.size(), first, window_size);
}

double Transfer::percent_done() const {
    return static_cast<double>(received) * 100.0 / static_cast<double>(chunks.size());
}

}  // namespace drovik
