#include "part_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "net/chunk_reply.hpp"
#include "net/format.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"

namespace drovik::fetch {

namespace {

int open_or_throw(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw_syscall_error(format("open {}", path));
    }
    return fd;
}

std::uint64_t size_of(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        throw_syscall_error("fstat");
    }
    return static_cast<std::uint64_t>(status.st_size);
}

// A rename is durable only once the directory that holds the name is.
void sync_directory_of(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const int fd = open_or_throw(parent.empty() ? "." : parent.string(), O_RDONLY | O_DIRECTORY);
    const int status = fsync(fd);
    close(fd);
    if (status != 0) {
        throw_syscall_error("fsync");
    }
}

}  // namespace

std::uint64_t whole_chunks(std::uint64_t part_size, std::uint64_t file_size, const std::string& path) {
    if (part_size > file_size) {
        throw std::runtime_error(
            format("{} holds {} bytes, more than the {} asked for", path, part_size, file_size));
    }
    return part_size == file_size ? chunk_count(file_size) : part_size / MAX_CHUNK_SIZE;
}

PartFile::PartFile(const std::string& output_file, std::uint64_t file_size, bool resume)
    : output_path(output_file),
      part_path(output_file + ".part"),
      file(open_or_throw(part_path, O_WRONLY | O_CREAT | (resume ? 0 : O_TRUNC))) {
    kept = whole_chunks(size_of(file.get()), file_size, part_path);
    const auto kept_bytes = static_cast<off_t>(std::min(kept * MAX_CHUNK_SIZE, file_size));
    if (ftruncate(file.get(), kept_bytes) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
    if (lseek(file.get(), kept_bytes, SEEK_SET) != kept_bytes) {
        throw_syscall_error(format("lseek {}", part_path));
    }
}

void PartFile::sync() const {
    if (fsync(file.get()) != 0) {
        throw_syscall_error(format("fsync {}", part_path));
    }
}

void PartFile::finish() {
    sync();
    const int status = close(file.release());
    if (status != 0) {
        throw_syscall_error(format("close {}", part_path));
    }
    if (std::rename(part_path.c_str(), output_path.c_str()) != 0) {
        throw_syscall_error(format("rename {} to {}", part_path, output_path));
    }
    sync_directory_of(output_path);
}

}  // namespace drovik::fetch
