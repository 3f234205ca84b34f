#include "output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "part_file.hpp"
#include "reorder_buffer.hpp"
#include "report.hpp"
#include "system/clock.hpp"
#include "system/descriptor.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "system/standard_descriptors.hpp"
#include "window.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

namespace {

// How long a FIFO that nothing reads yet is left before it is tried again.
constexpr int READER_WAIT_MS = 20;

// Standard output, a character device or a FIFO: written in order as it is.
class StreamOutput final : public Output {
public:
    StreamOutput(int fd, Descriptor owned, std::string name, std::uint64_t file_size)
        : owned(std::move(owned)),
          name(name),
          file_size(file_size),
          none(chunk_count(file_size)),
          buffer(fd, std::move(name), file_size, STREAM_WINDOW) {}

    const ChunkSet& held_before() const override { return none; }
    std::uint64_t taken_bytes() const override { return buffer.taken_bytes(); }
    std::uint64_t written_bytes() const override { return buffer.written_bytes(); }
    std::uint64_t window() const override { return STREAM_WINDOW; }
    void put(std::uint64_t chunk, std::span<const std::uint8_t> data) override { buffer.put(chunk, data); }
    void flush_if_due(Nanos /*now*/) override { buffer.write_ready(); }
    std::uint64_t room_end() const override { return buffer.room_end(); }
    int waiting_fd() const override { return buffer.waiting() ? buffer.fd() : -1; }
    void finish() override {}
    std::string stop() override {
        return interrupted_stream_message(buffer.written_bytes(), file_size, name);
    }

private:
    Descriptor owned;  // none for standard output, or for a FIFO left before it opened
    std::string name;
    std::uint64_t file_size;
    ChunkSet none;
    ReorderBuffer buffer;
};

void refuse_resume(const Options& options, const std::string& name) {
    if (options.resume) {
        throw std::runtime_error(format("--resume needs a file; {} is a stream", name));
    }
}

// A FIFO opens for writing once something reads it: tried again and again rather than
// waited for in open(2), so that a stop signal (nothing is opened then, and the run ends
// before its first GET) or the stall limit ends the wait.
Descriptor open_fifo(const std::string& path, std::uint32_t limit_s, const StopSignals& stop) {
    const Nanos start = monotonic_ns();
    for (;;) {
        Descriptor fifo(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fifo.get() >= 0) {
            if (fcntl(fifo.get(), F_SETFL, fcntl(fifo.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
                throw_syscall_error(format("fcntl {}", path));
            }
            return fifo;
        }
        if (errno != ENXIO) {
            throw_syscall_error(format("open {}", path));
        }
        if (limit_s != 0 && monotonic_ns() - start >= Nanos{limit_s} * SECOND) {
            throw std::runtime_error(format("nothing opened {} for reading in {} s", path, limit_s));
        }
        pollfd entry{stop.fd(), POLLIN, 0};
        if (poll(&entry, 1, READER_WAIT_MS) > 0) {
            return fifo;
        }
    }
}

// A character device, a FIFO, or what a symbolic link leads to: a regular file there is
// emptied and written in order like the others, and the link stays.
Descriptor open_written_through(const std::string& path, const Options& options, const StopSignals& stop) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        throw_syscall_error(format("open {}", path));  // a link to nothing: nothing is made through it
    }
    if (S_ISDIR(status.st_mode)) {
        throw std::runtime_error(format("{} is a directory", path));
    }
    if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode) && !S_ISREG(status.st_mode)) {
        throw std::runtime_error(format("{} is neither a file, a character device nor a FIFO", path));
    }
    refuse_resume(options, path);
    if (S_ISFIFO(status.st_mode)) {
        return open_fifo(path, options.stall_timeout_s, stop);
    }
    return Descriptor(open_or_throw(path, O_WRONLY | O_TRUNC));
}

std::unique_ptr<Output> open_stream(int fd, Descriptor owned, const std::string& name,
                                    const Options& options) {
    refuse_resume(options, name);
    if (!open_for_writing(fd)) {
        throw std::runtime_error(format("{} is not open for writing", name));
    }
    if (isatty(fd) == 1) {
        throw std::runtime_error(format("{} is a terminal: redirect it or name a file", name));
    }
    return std::make_unique<StreamOutput>(fd, std::move(owned), name, options.bytes);
}

}  // namespace

std::unique_ptr<Output> open_output(const Options& options, const StopSignals& stop) {
    const std::string& path = options.output_file;
    if (path == "-") {
        return open_stream(STDOUT_FILENO, Descriptor(), "standard output", options);
    }
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        const EarlierChunks earlier = options.restart  ? EarlierChunks::discard
                                      : options.resume ? EarlierChunks::keep
                                                       : EarlierChunks::refuse;
        return std::make_unique<PartFile>(path, options.bytes, earlier);
    }
    Descriptor stream = open_written_through(path, options, stop);
    const int fd = stream.get();
    return open_stream(fd, std::move(stream), path, options);
}

}  // namespace drovik::fetch
