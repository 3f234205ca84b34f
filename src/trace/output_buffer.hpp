#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace drovik::trace {

// Trace rows on their way to an output that may be slow, stuck or gone, so that the relaying
// never waits for it: rows wait in a buffer of bounded size and go out only as fast as the
// output takes them; a row that does not fit is dropped and counted. Nothing here blocks.
class OutputBuffer {
public:
    // One write(2) on a non-blocking output: the bytes taken, or -1 with errno set.
    using Write = std::function<ssize_t(const char* data, std::size_t size)>;

    // Rows are written in batches of this many bytes, or after this long at the latest.
    static constexpr std::size_t BATCH_BYTES = 16384;
    static constexpr std::int64_t BATCH_NS = 100000000;

    OutputBuffer(std::size_t capacity, Write write) : capacity(capacity), write(std::move(write)) {}

    // Takes one whole row (LF included) at `now_ns`, or drops it when it does not fit.
    void add(std::string_view row, std::int64_t now_ns);
    // When a write is due, or nothing while there is nothing to write.
    std::optional<std::int64_t> write_due_ns() const;
    // Writes what the output takes now.
    void write_some();
    bool empty() const { return head == bytes.size(); }
    // The rows still waiting count as not written; the output takes no more.
    void abandon();

    std::uint64_t unwritten() const { return rows_unwritten; }
    // The reader went away (EPIPE).
    bool reader_gone() const { return gone; }
    // The errno of a write that failed otherwise, such as on a full disk.
    std::optional<int> failure() const { return failed; }

private:
    std::size_t capacity;
    Write write;
    std::string bytes;
    std::size_t head = 0;  // bytes before it are written
    std::int64_t waiting_since_ns = 0;
    std::uint64_t rows_unwritten = 0;
    bool open = true;
    bool gone = false;
    std::optional<int> failed;
};

}  // namespace drovik::trace
