#include "part_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "chunk_map.hpp"
#include "net/chunk_reply.hpp"
#include "net/format.hpp"
#include "net/network.hpp"
#include "net/protocol.hpp"
#include "report.hpp"

namespace drovik::fetch {

int open_or_throw(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw_syscall_error(format("open {}", path));
    }
    return fd;
}

namespace {

constexpr Nanos SAVE_SPACING = SECOND;

struct stat status_of(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        throw_syscall_error("fstat");
    }
    return status;
}

// A rename is durable only once the directory that holds the name is.
void sync_directory_of(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const Descriptor directory(open_or_throw(parent.empty() ? "." : parent.string(), O_RDONLY | O_DIRECTORY));
    if (fsync(directory.get()) != 0) {
        throw_syscall_error("fsync");
    }
}

void write_at(int fd, std::span<const std::uint8_t> data, std::uint64_t offset, const std::string& path) {
    while (!data.empty()) {
        const ssize_t written = pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
        if (written <= 0) {
            throw_syscall_error(format("pwrite {}", path));
        }
        data = data.subspan(static_cast<std::size_t>(written));
        offset += static_cast<std::uint64_t>(written);
    }
}

void sync_data(int fd, const std::string& path) {
    if (fdatasync(fd) != 0) {
        throw_syscall_error(format("fdatasync {}", path));
    }
}

// Written beside, made durable, then renamed over: `path` always holds a whole record.
void replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    Descriptor file(open_or_throw(temporary, O_WRONLY | O_CREAT | O_TRUNC));
    write_at(file.get(), {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()}, 0,
             temporary);
    sync_data(file.get(), temporary);
    if (close(file.release()) != 0) {
        throw_syscall_error(format("close {}", temporary));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw_syscall_error(format("rename {} to {}", temporary, path));
    }
}

// The whole file, or nothing when there is none.
std::optional<std::string> read_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        return std::nullopt;
    }
    if (fd < 0) {
        throw_syscall_error(format("open {}", path));
    }
    const Descriptor file(fd);
    std::string content;
    char buffer[1 << 16];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(got));
    }
    if (got < 0) {
        throw_syscall_error(format("read {}", path));
    }
    return content;
}

// The other run may have renamed the .part away (finished) between our open and our lock.
bool still_named(int fd, const std::string& path) {
    struct stat named {};
    const struct stat opened = status_of(fd);
    return stat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

Descriptor open_locked(const std::string& path) {
    for (;;) {
        Descriptor file(open_or_throw(path, O_RDWR | O_CREAT));
        if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                throw std::runtime_error(format("{} is in use by another drovik-fetch", path));
            }
            throw_syscall_error(format("flock {}", path));
        }
        if (still_named(file.get(), path)) {
            return file;
        }
    }
}

std::uint64_t bytes_of(const ChunkSet& chunks, std::uint64_t file_size) {
    const std::uint64_t last = chunks.size() - 1;
    const std::uint64_t short_by = MAX_CHUNK_SIZE - chunk_length(file_size, last * MAX_CHUNK_SIZE);
    return chunks.count() * MAX_CHUNK_SIZE - (chunks.contains(last) ? short_by : 0);
}

}  // namespace

std::uint64_t whole_chunks(std::uint64_t part_size, std::uint64_t file_size, const std::string& path) {
    if (part_size > file_size) {
        throw std::runtime_error(
            format("{} holds {} bytes, more than the {} asked for; --restart starts over", path, part_size,
                   file_size));
    }
    return part_size == file_size ? chunk_count(file_size) : part_size / MAX_CHUNK_SIZE;
}

PartFile::PartFile(const std::string& output_file, std::uint64_t file_size, EarlierChunks earlier, Seam seam)
    : output_path(output_file),
      part_path(output_file + ".part"),
      map_path(part_path + ".map"),
      file_size(file_size),
      file(open_locked(part_path)),
      seam(std::move(seam)) {
    if (earlier == EarlierChunks::discard && ftruncate(file.get(), 0) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
    before = kept_chunks(earlier);
    held = before;
    bytes = bytes_of(held, file_size);
    // The record exists before the .part grows: a full-size .part never lacks one.
    save();
    sync_directory_of(map_path);
    if (ftruncate(file.get(), static_cast<off_t>(file_size)) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
}

ChunkSet PartFile::kept_chunks(EarlierChunks earlier) const {
    ChunkSet found = found_chunks();
    if (found.count() > 0 && earlier == EarlierChunks::refuse) {
        throw std::runtime_error(
            format("{} holds {} of {} bytes: --resume continues it, --restart starts over", part_path,
                   bytes_of(found, file_size), file_size));
    }
    return found;
}

ChunkSet PartFile::found_chunks() const {
    const auto size = static_cast<std::uint64_t>(status_of(file.get()).st_size);
    // An empty .part holds nothing, whatever a record left by a finished run says.
    if (size == 0) {
        return ChunkSet(chunk_count(file_size));
    }
    const std::optional<std::string> record = read_file(map_path);
    ChunkSet found = record ? recorded_chunks(*record) : ChunkSet(chunk_count(file_size));
    const std::uint64_t prefix = whole_chunks(size, file_size, part_path);
    for (std::uint64_t chunk = 0; !record && chunk < prefix; ++chunk) {
        found.insert(chunk);
    }
    return found;
}

ChunkSet PartFile::recorded_chunks(const std::string& record) const {
    std::optional<ChunkMap> map = decode_chunk_map(record);
    if (!map) {
        throw std::runtime_error(format("{} is damaged; --restart starts over", map_path));
    }
    if (map->file_size != file_size) {
        throw std::runtime_error(
            format("{} is the record of a download of {} bytes, not {}; --restart starts over", map_path,
                   map->file_size, file_size));
    }
    return std::move(map->held);
}

PartFile::~PartFile() {
    if (finished || !dirty) {
        return;
    }
    try {
        save();
    } catch (...) {
        // Best effort: the error that ends the run is already on its way.
    }
}

void PartFile::put(std::uint64_t chunk, std::span<const std::uint8_t> data) {
    assert(!held.contains(chunk) && data.size() == chunk_length(file_size, chunk * MAX_CHUNK_SIZE));
    write_at(file.get(), data, chunk * MAX_CHUNK_SIZE, part_path);
    held.insert(chunk);
    bytes += data.size();
    dirty = true;
}

void PartFile::flush_if_due(Nanos now) {
    if (dirty && (!last_save || now - *last_save >= SAVE_SPACING)) {
        save();
        last_save = now;
    }
}

void PartFile::save() {
    const std::string record = encode_chunk_map({file_size, held});
    sync_data(file.get(), part_path);
    if (seam) {
        seam();
    }
    replace_file(map_path, record);
    dirty = false;
}

void PartFile::finish() {
    sync_data(file.get(), part_path);
    // A complete .part needs no record; gone first, it cannot outlive the name it describes.
    if (std::remove(map_path.c_str()) != 0) {
        throw_syscall_error(format("remove {}", map_path));
    }
    if (std::rename(part_path.c_str(), output_path.c_str()) != 0) {
        throw_syscall_error(format("rename {} to {}", part_path, output_path));
    }
    finished = true;  // nothing left to record, whatever fails from here
    sync_directory_of(output_path);
    // The lock goes last, once the .part's name is gone.
    if (close(file.release()) != 0) {
        throw_syscall_error(format("close {}", output_path));
    }
}

std::string PartFile::stop() {
    save();
    return interrupted_message(bytes, file_size, part_path);
}

}  // namespace drovik::fetch
