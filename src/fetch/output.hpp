#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "chunk_set.hpp"
#include "nanos.hpp"
#include "options.hpp"
#include "system/stop_signals.hpp"

namespace drovik::fetch {

// Where the chunks of a download go: a .part with its record (PartFile) or a stream
// written in order.
class Output {
public:
    Output() = default;
    virtual ~Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Chunks held before this run: only the others are asked for.
    virtual const ChunkSet& held_before() const = 0;
    // Bytes held, those from before included, whether in place yet or not.
    virtual std::uint64_t taken_bytes() const = 0;
    // Bytes in place for good, those from before included.
    virtual std::uint64_t written_bytes() const = 0;

    // How far beyond the first missing chunk others may be taken: a stream holds them in
    // memory until they can be written; a file written at offsets holds none.
    virtual std::uint64_t window() const = 0;
    // Takes a missing chunk's bytes (exactly its length).
    virtual void put(std::uint64_t chunk, std::span<const std::uint8_t> data) = 0;
    // Called every turn of the loop: makes what came durable when it is time, or
    // writes what a stream takes.
    virtual void flush_if_due(Nanos now) = 0;
    // Chunks from here on cannot be taken yet, so they are not asked for.
    virtual std::uint64_t room_end() const { return UINT64_MAX; }
    // While bytes taken wait for a stream to take them: its descriptor, to wait on
    // for writing; otherwise -1. The reader is then what holds the download back.
    virtual int waiting_fd() const { return -1; }
    // Every chunk is in: gives the output its final form.
    virtual void finish() = 0;
    // Stopped before the end: keeps what can be kept and says what that is, e.g.
    // "interrupted with 120000 of 5000000 bytes (2.4 %) kept in FILE.part; --resume continues from there".
    virtual std::string stop() = 0;
};

// The output the options name, checked and opened before anything is asked: a
// character device, a FIFO or standard output ("-") is written in order as it is,
// through a buffer of at most STREAM_WINDOW chunks; so is what a symbolic link leads
// to, the link left as it is; a regular or new file goes to its .part. A FIFO is
// waited for until something reads it: a stop signal ends the wait (the output then
// writes nothing, and the run must end before it asks for anything).
std::unique_ptr<Output> open_output(const Options& options, const StopSignals& stop);

}  // namespace drovik::fetch
