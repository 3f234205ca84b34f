#include "part_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <vector>

#include "chunk_map.hpp"
#include "report.hpp"
#include "system/format.hpp"
#include "system/network.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

int open_or_throw(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
        throw std::runtime_error(format("{} is a symbolic link, which drovik-fetch does not follow", path));
    }
    if (fd < 0) {
        throw_syscall_error(format("open {}", path));
    }
    return fd;
}

namespace {

constexpr Nanos SAVE_SPACING = SECOND;
// The longest name the program makes beside OUTPUT_FILE.
constexpr std::string_view LONGEST_SUFFIX = ".part.map.tmp";

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
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw_write_error(format("pwrite {}", path), written);
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
// The temporary is made anew, never opened through whatever has its name: a link planted
// there is removed, not followed.
void replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        throw_syscall_error(format("unlink {}", temporary));
    }
    Descriptor file(open_or_throw(temporary, O_WRONLY | O_CREAT | O_EXCL));
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

// At most `limit` bytes of the record at `path`, or nothing when there is none. Only a
// regular file is read, and never further than a record of the download goes: neither a
// FIFO, a device nor a huge file holds the program up.
std::optional<std::string> read_record(const std::string& path, std::size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        return std::nullopt;
    }
    if (fd < 0 && errno != ELOOP) {
        throw_syscall_error(format("open {}", path));
    }
    const Descriptor file(fd);
    if (fd < 0 || !S_ISREG(status_of(fd).st_mode)) {
        throw std::runtime_error(format("{} is not a regular file; --restart starts over", path));
    }
    std::string content(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t part = read(fd, content.data() + got, limit - got);
        if (part < 0) {
            throw_syscall_error(format("read {}", path));
        }
        if (part == 0) {
            break;
        }
        got += static_cast<std::size_t>(part);
    }
    content.resize(got);
    return content;
}

// The run id a .part of `size` bytes ends with, if it ends with one.
std::optional<std::string> trailer_run_id(int fd, std::uint64_t size, const std::string& path) {
    if (size < PART_TRAILER_SIZE) {
        return std::nullopt;
    }
    std::string trailer(PART_TRAILER_SIZE, '\0');
    const ssize_t got =
        pread(fd, trailer.data(), trailer.size(), static_cast<off_t>(size - PART_TRAILER_SIZE));
    if (got < 0) {
        throw_syscall_error(format("pread {}", path));
    }
    trailer.resize(static_cast<std::size_t>(got));
    return decode_part_trailer(trailer);
}

// OUTPUT_FILE itself, once it is known to leave room for every name made beside it.
const std::string& with_room_for_suffixes(const std::string& output) {
    const std::filesystem::path path(output);
    const std::string parent = path.parent_path().empty() ? "." : path.parent_path().string();
    const long most = pathconf(parent.c_str(), _PC_NAME_MAX);
    const std::size_t name_room =
        (most > 0 ? static_cast<std::size_t>(most) : NAME_MAX) - LONGEST_SUFFIX.size();
    const std::size_t path_room = PATH_MAX - 1 - LONGEST_SUFFIX.size();
    if (path.filename().string().size() > name_room || output.size() > path_room) {
        throw std::runtime_error(
            format("{} is too long: a name of at most {} bytes (a path of {}) leaves room for {}", output,
                   name_room, path_room, LONGEST_SUFFIX));
    }
    return output;
}

// `path` names the file open as `fd`, and no other, not even through a link.
bool still_named(int fd, const std::string& path) {
    struct stat named {};
    const struct stat opened = status_of(fd);
    return lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

Descriptor open_locked(const std::string& path) {
    for (;;) {
        Descriptor file(open_or_throw(path, O_RDWR | O_CREAT | O_NOFOLLOW));
        if (!S_ISREG(status_of(file.get()).st_mode)) {
            throw std::runtime_error(format("{} is not a regular file", path));
        }
        if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) {
                throw std::runtime_error(format("{} is in use by another drovik-fetch", path));
            }
            throw_syscall_error(format("flock {}", path));
        }
        // The other run may have renamed the .part away (finished) between our open and our lock.
        if (still_named(file.get(), path)) {
            return file;
        }
    }
}

// The first `count` chunks of an older .part that hold data. Such a .part grew as it was
// written and has no holes; a newer one cut short and parted from its record has, and they
// read as zeros: a chunk of zeros is not taken, only asked again.
ChunkSet written_chunks(int fd, std::uint64_t count, std::uint64_t file_size, const std::string& path) {
    constexpr std::uint64_t PER_READ = 1024;
    ChunkSet held(chunk_count(file_size));
    std::vector<std::uint8_t> block(PER_READ * MAX_CHUNK_SIZE);
    for (std::uint64_t first = 0; first < count; first += PER_READ) {
        const std::uint64_t wanted = std::min(PER_READ, count - first) * MAX_CHUNK_SIZE;
        const ssize_t got = pread(fd, block.data(), wanted, static_cast<off_t>(first * MAX_CHUNK_SIZE));
        if (got < 0) {
            throw_syscall_error(format("pread {}", path));
        }
        for (std::uint64_t chunk = 0; chunk < static_cast<std::uint64_t>(got) / MAX_CHUNK_SIZE; ++chunk) {
            const auto data = std::span(block).subspan(chunk * MAX_CHUNK_SIZE, MAX_CHUNK_SIZE);
            if (std::any_of(data.begin(), data.end(), [](std::uint8_t byte) { return byte != 0; })) {
                held.insert(first + chunk);
            }
        }
        if (static_cast<std::uint64_t>(got) < wanted) {
            break;
        }
    }
    return held;
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
      part_path(with_room_for_suffixes(output_file) + ".part"),
      map_path(part_path + ".map"),
      file_size(file_size),
      file(open_locked(part_path)),
      seam(std::move(seam)) {
    if (earlier == EarlierChunks::discard && ftruncate(file.get(), 0) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
    ChunkMap kept = kept_chunks(earlier);
    run_id = kept.run_id.empty() ? new_run_id() : kept.run_id;
    before = std::move(kept.held);
    held = before;
    bytes = bytes_of(held, file_size);
    // The record exists before the .part grows.
    save();
    sync_directory_of(map_path);
    if (ftruncate(file.get(), static_cast<off_t>(file_size + PART_TRAILER_SIZE)) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
    const std::string trailer = encode_part_trailer(run_id);
    write_at(file.get(), {reinterpret_cast<const std::uint8_t*>(trailer.data()), trailer.size()}, file_size,
             part_path);
}

ChunkMap PartFile::kept_chunks(EarlierChunks earlier) const {
    ChunkMap found = found_chunks();
    if (found.held.count() > 0 && earlier == EarlierChunks::refuse) {
        throw std::runtime_error(
            format("{} holds {} of {} bytes: --resume continues it, --restart starts over", part_path,
                   bytes_of(found.held, file_size), file_size));
    }
    return found;
}

// What an earlier run left: the chunks of the record when it is the .part's own (the
// same run id at the .part's end), or the whole chunks of an older .part, which has no
// record, that hold data.
ChunkMap PartFile::found_chunks() const {
    const auto size = static_cast<std::uint64_t>(status_of(file.get()).st_size);
    ChunkMap found{file_size, "", ChunkSet(chunk_count(file_size))};
    // An empty .part holds nothing, whatever a record left by a finished run says.
    if (size == 0) {
        return found;
    }
    const std::optional<std::string> record = read_record(map_path, chunk_map_length(file_size) + 1);
    const std::optional<std::string> own_id = trailer_run_id(file.get(), size, part_path);
    if (record) {
        ChunkMap map = recorded_chunks(*record);
        if (own_id != map.run_id || size != file_size + PART_TRAILER_SIZE) {
            throw std::runtime_error(
                format("{} is not the record of {}; --restart starts over", map_path, part_path));
        }
        return map;
    }
    // A full-size .part may have holes anywhere: only its record could tell where.
    if (own_id || size == file_size) {
        throw std::runtime_error(format("{} has no record of the chunks it holds ({}); --restart starts over",
                                        part_path, map_path));
    }
    found.held = written_chunks(file.get(), whole_chunks(size, file_size, part_path), file_size, part_path);
    return found;
}

ChunkMap PartFile::recorded_chunks(const std::string& record) const {
    std::optional<ChunkMap> map = decode_chunk_map(record);
    const std::optional<std::uint64_t> size = map ? map->file_size : recorded_size(record);
    if (size && *size != file_size) {
        throw std::runtime_error(
            format("{} is the record of a download of {} bytes, not {}; --restart starts over", map_path,
                   *size, file_size));
    }
    if (!map) {
        throw std::runtime_error(format("{} is damaged; --restart starts over", map_path));
    }
    return std::move(*map);
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
    const std::string record = encode_chunk_map({file_size, run_id, held});
    sync_data(file.get(), part_path);
    if (seam) {
        seam();
    }
    replace_file(map_path, record);
    dirty = false;
}

void PartFile::finish() {
    // The run id goes: the file is the download, byte for byte.
    if (ftruncate(file.get(), static_cast<off_t>(file_size)) != 0) {
        throw_syscall_error(format("ftruncate {}", part_path));
    }
    sync_data(file.get(), part_path);
    if (!still_named(file.get(), part_path)) {
        throw std::runtime_error(
            format("{} was replaced by another file during the download; {} is left as it was", part_path,
                   output_path));
    }
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
