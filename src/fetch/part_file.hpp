#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "chunk_map.hpp"
#include "output.hpp"
#include "system/descriptor.hpp"
#include "window.hpp"

namespace drovik::fetch {

// open(2) with O_CLOEXEC (and mode 0644 for a new file); a failure is "open PATH".
int open_or_throw(const std::string& path, int flags);

// What to do with the chunks an earlier run left in the .part.
enum class EarlierChunks { refuse, keep, discard };

// OUTPUT_FILE.part, sized to the download and sparse where chunks are missing, each
// chunk written at its offset as it comes, and the run id after them; beside it
// OUTPUT_FILE.part.map, the record of the chunks held and of the same run id
// (chunk_map.hpp). The record never claims a chunk whose bytes are not durable: the
// .part is flushed first. A .part shorter than the download and without a record is the
// older form that holds a prefix of whole chunks. One process at a time holds the .part
// (flock). Neither the .part nor the record is ever opened through a symbolic link.
class PartFile final : public Output {
public:
    // Called between the flush of the .part and the write of the record: the tests
    // stop there.
    using Seam = std::function<void()>;

    PartFile(const std::string& output_file, std::uint64_t file_size, EarlierChunks earlier, Seam seam = {});
    // Records what was taken when the download ends with neither finish() nor stop().
    ~PartFile() override;
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    const ChunkSet& held_before() const override { return before; }
    std::uint64_t taken_bytes() const override { return bytes; }
    std::uint64_t written_bytes() const override { return bytes; }
    std::uint64_t window() const override { return FILE_WINDOW; }
    void put(std::uint64_t chunk, std::span<const std::uint8_t> data) override;
    // At most once a second, and only when a chunk came.
    void flush_if_due(Nanos now) override;
    // Cuts the run id off, renames the .part to OUTPUT_FILE, if the name is still the
    // file this run wrote, and drops the record.
    void finish() override;
    std::string stop() override;

    // Flushes the .part, then records the chunks it holds.
    void save();

private:
    ChunkMap found_chunks() const;
    ChunkMap recorded_chunks(const std::string& record) const;
    ChunkMap kept_chunks(EarlierChunks earlier) const;

    std::string output_path;
    std::string part_path;
    std::string map_path;
    std::uint64_t file_size;
    Descriptor file;
    Seam seam;
    std::string run_id;
    ChunkSet before;
    ChunkSet held;
    std::uint64_t bytes = 0;
    bool dirty = false;
    bool finished = false;
    std::optional<Nanos> last_save;
};

// How many whole chunks of a `file_size`-byte download a .part of `part_size` bytes
// in the older form holds; a .part longer than the download is an error.
std::uint64_t whole_chunks(std::uint64_t part_size, std::uint64_t file_size, const std::string& path);

}  // namespace drovik::fetch
