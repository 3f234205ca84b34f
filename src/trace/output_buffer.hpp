#pragma once
#include <limits.h>
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
// What is given up is given up at a row boundary: each write is of whole rows and at most
// PIPE_BUF bytes, which a pipe takes whole or not at all, and a row begun on an output that
// takes no more (a full disk) is cut back.
class OutputBuffer {
public:
    // One write(2) on a non-blocking output: the bytes taken, or -1 with errno set.
    using Write = std::function<ssize_t(const char* data, std::size_t size)>;
    // Takes back the last `bytes` written, the start of a row that will not be finished.
    using Cut = std::function<void(std::size_t bytes)>;

    // Rows are written in batches of this many bytes, or after this long at the latest.
    static constexpr std::size_t BATCH_BYTES = 16384;
    static constexpr std::int64_t BATCH_NS = 100000000;
    static constexpr std::size_t MAX_WRITE = PIPE_BUF;

    OutputBuffer(std::size_t capacity, Write write, Cut cut)
        : capacity(capacity), write(std::move(write)), cut(std::move(cut)) {}

    // Takes one whole row (LF included, shorter than MAX_WRITE) at `now_ns`, or drops it when
    // it does not fit.
    void add(std::string_view row, std::int64_t now_ns);
    // When a write is due, or nothing while there is nothing to write.
    std::optional<std::int64_t> write_due_ns() const;
    // Writes what the output takes now.
    void write_some();
    bool empty() const { return head == bytes.size(); }
    // The rows still waiting count as not written, a row begun included; the output takes no more.
    void abandon();

    std::uint64_t unwritten() const { return rows_unwritten; }
    // The reader went away (EPIPE).
    bool reader_gone() const { return gone; }
    // The errno of a write that failed otherwise, such as on a full disk.
    std::optional<int> failure() const { return failed; }

private:
    // The bytes from `head` to the end of the last whole row within MAX_WRITE.
    std::size_t next_write() const;

    std::size_t capacity;
    Write write;
    Cut cut;
    std::string bytes;
    std::size_t head = 0;   // bytes before it are written
    std::size_t begun = 0;  // bytes written of the row at `head`
    std::int64_t waiting_since_ns = 0;
    std::uint64_t rows_unwritten = 0;
    bool open = true;
    bool gone = false;
    std::optional<int> failed;
};

}  // namespace drovik::trace
