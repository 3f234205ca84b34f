#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

#include "net/chunk_reply.hpp"
#include "net/descriptor.hpp"
#include "net/format.hpp"
#include "net/network.hpp"
#include "part_file.hpp"
#include "reorder_buffer.hpp"
#include "report.hpp"
#include "window.hpp"

namespace drovik::fetch {

namespace {

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
    Descriptor owned;  // none for standard output
    std::string name;
    std::uint64_t file_size;
    ChunkSet none;
    ReorderBuffer buffer;
};

std::unique_ptr<Output> open_stream(int fd, Descriptor owned, const std::string& name,
                                    const Options& options) {
    if (options.resume) {
        throw std::runtime_error(format("--resume needs a file; {} is a stream", name));
    }
    if (isatty(fd) == 1) {
        throw std::runtime_error(format("{} is a terminal: redirect it or name a file", name));
    }
    return std::make_unique<StreamOutput>(fd, std::move(owned), name, options.bytes);
}

}  // namespace

std::unique_ptr<Output> open_output(const Options& options) {
    const std::string& path = options.output_file;
    if (path == "-") {
        return open_stream(STDOUT_FILENO, Descriptor(), "standard output", options);
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        const EarlierChunks earlier = options.restart  ? EarlierChunks::discard
                                      : options.resume ? EarlierChunks::keep
                                                       : EarlierChunks::refuse;
        return std::make_unique<PartFile>(path, options.bytes, earlier);
    }
    if (S_ISDIR(status.st_mode)) {
        throw std::runtime_error(format("{} is a directory", path));
    }
    if (!S_ISCHR(status.st_mode) && !S_ISFIFO(status.st_mode)) {
        throw std::runtime_error(format("{} is neither a file, a character device nor a FIFO", path));
    }
    // A FIFO opens once something reads it.
    Descriptor device(open_or_throw(path, O_WRONLY));
    const int fd = device.get();
    return open_stream(fd, std::move(device), path, options);
}

}  // namespace drovik::fetch
