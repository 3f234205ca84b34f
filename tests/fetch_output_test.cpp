#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fetch/chunk_map.hpp"
#include "fetch/part_file.hpp"
#include "fetch/reorder_buffer.hpp"
#include "support/output_file.hpp"
#include "support/wire.hpp"

namespace drovik::fetch {
namespace {

constexpr std::uint64_t FILE_SIZE = 4500;  // five chunks, the last of 500 bytes

template <typename Sink>
void put(Sink& sink, std::uint64_t chunk) {
    const std::string bytes =
        test::served_bytes(chunk * 1000, std::min<std::uint64_t>(1000, FILE_SIZE - chunk * 1000));
    sink.put(chunk, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

ChunkSet chunks(std::uint64_t total, const std::vector<std::uint64_t>& members) {
    ChunkSet set(total);
    for (const std::uint64_t chunk : members) {
        set.insert(chunk);
    }
    return set;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Why opening the .part is refused ("" when it is not).
std::string refusal(const test::DownloadFiles& files, EarlierChunks earlier) {
    try {
        const PartFile part(files.output.path, FILE_SIZE, earlier);
        return "";
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

TEST(ReorderBuffer, WritesEachChunkOnceAllBeforeItHaveCome) {
    const test::OutputFile file("reorder");
    const int fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ReorderBuffer buffer(fd, file.path, FILE_SIZE, 3);  // a window of 3 slots wraps around
    struct Step {
        std::uint64_t chunk, written, taken;
    };
    const Step steps[] = {{2, 0, 1000}, {1, 0, 2000}, {0, 3000, 3000}, {4, 3000, 3500}, {3, 4500, 4500}};
    for (const Step& step : steps) {
        put(buffer, step.chunk);
        buffer.write_ready();
        EXPECT_EQ(buffer.written_bytes(), step.written) << "after chunk " << step.chunk;
        EXPECT_EQ(buffer.taken_bytes(), step.taken) << "after chunk " << step.chunk;
        EXPECT_TRUE(file.bytes() == test::served_bytes(0, step.written)) << "after chunk " << step.chunk;
    }
    EXPECT_FALSE(buffer.waiting());
    close(fd);
}

TEST(ChunkMap, RoundTripsAndRefusesEveryDamage) {
    for (const std::uint64_t size : {1, 999, 4500, 8001, 2147483647}) {
        const std::uint64_t total = (size + 999) / 1000;
        const ChunkMap map{size, new_run_id(), chunks(total, {0, total / 3, total - 1})};
        const auto decoded = decode_chunk_map(encode_chunk_map(map));
        ASSERT_TRUE(decoded) << size;
        EXPECT_EQ(decoded->file_size, size);
        EXPECT_EQ(decoded->run_id, map.run_id);
        EXPECT_EQ(decoded->held.bytes(), map.held.bytes()) << size;
        EXPECT_EQ(decoded->held.count(), map.held.count()) << size;
    }
    const std::string id = "0123456789abcdef0123456789abcdef";
    const std::string record = encode_chunk_map({FILE_SIZE, id, chunks(5, {1, 4})});
    EXPECT_EQ(record.substr(0, 63), "drovik-fetch chunk map 2 4500 " + id + "\n");
    EXPECT_EQ(decode_part_trailer(encode_part_trailer(id)), id);
    EXPECT_FALSE(decode_part_trailer(encode_part_trailer(id).substr(1)));
    for (std::size_t at = 0; at < record.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string damaged = record;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
            EXPECT_FALSE(decode_chunk_map(damaged)) << "byte " << at << " bit " << bit;
        }
        EXPECT_FALSE(decode_chunk_map(record.substr(0, at))) << "cut to " << at;
    }
    EXPECT_FALSE(decode_chunk_map(record + '\0'));
}

TEST(PartFile, ChunksTakenOutOfOrderAreKeptAcrossAReopen) {
    const test::DownloadFiles files("part-kept");
    {
        PartFile part(files.output.path, FILE_SIZE, EarlierChunks::refuse);
        EXPECT_EQ(part.held_before().count(), 0u);
        for (const std::uint64_t chunk : {4, 0, 2}) {
            put(part, chunk);
        }
        EXPECT_EQ(part.stop(), "interrupted with 2500 of 4500 bytes (55.6 %) kept in " + files.part.path +
                                   "; --resume continues from there");
    }
    EXPECT_EQ(files.part.size(), FILE_SIZE + PART_TRAILER_SIZE);
    PartFile part(files.output.path, FILE_SIZE, EarlierChunks::keep);
    EXPECT_EQ(part.held_before().bytes(), chunks(5, {0, 2, 4}).bytes());
    EXPECT_EQ(part.taken_bytes(), 2500u);
    put(part, 3);
    put(part, 1);
    part.finish();
    EXPECT_TRUE(files.complete(FILE_SIZE));
}

TEST(PartFile, TheRecordIsNeverAheadOfTheData) {
    const test::DownloadFiles files("part-seam");
    bool dies = false;
    {
        PartFile part(files.output.path, FILE_SIZE, EarlierChunks::refuse, [&] {
            if (dies) {
                throw std::runtime_error("killed between the flush and the record");
            }
        });
        put(part, 1);
        part.save();
        put(part, 3);
        dies = true;
        EXPECT_THROW(part.save(), std::runtime_error);
    }  // its last attempt to record dies at the same point
    const PartFile part(files.output.path, FILE_SIZE, EarlierChunks::keep);
    EXPECT_EQ(part.held_before().bytes(), chunks(5, {1}).bytes());
}

TEST(PartFile, ADamagedOrForeignRecordIsRefusedAndLeftAsItIs) {
    const test::DownloadFiles files("part-refused");
    const std::string own = encode_chunk_map({FILE_SIZE, new_run_id(), chunks(5, {4})});
    const std::string foreign = encode_chunk_map({FILE_SIZE + 1000, new_run_id(), chunks(6, {5})});
    struct Case {
        std::string record;
        std::string message;
    };
    const Case cases[] = {
        {own.substr(0, own.size() - 1) + 'x', files.map.path + " is damaged; --restart starts over"},
        {foreign,
         files.map.path + " is the record of a download of 5500 bytes, not 4500; --restart starts over"},
    };
    write_file(files.part.path, test::served_bytes(0, FILE_SIZE));
    for (const Case& c : cases) {
        write_file(files.map.path, c.record);
        for (const EarlierChunks earlier : {EarlierChunks::keep, EarlierChunks::refuse}) {
            EXPECT_EQ(refusal(files, earlier), c.message);
            EXPECT_TRUE(files.part.bytes() == test::served_bytes(0, FILE_SIZE));
            EXPECT_EQ(files.map.bytes(), c.record);
        }
    }
    const PartFile part(files.output.path, FILE_SIZE, EarlierChunks::discard);
    EXPECT_EQ(part.held_before().count(), 0u);
}

TEST(PartFile, AnOlderPrefixIsResumedAndNeverEmptiedUnasked) {
    const test::DownloadFiles files("part-prefix");
    write_file(files.part.path, test::served_bytes(0, 2500));
    EXPECT_EQ(refusal(files, EarlierChunks::refuse),
              files.part.path + " holds 2000 of 4500 bytes: --resume continues it, --restart starts over");
    EXPECT_EQ(files.part.size(), 2500u);
    {
        PartFile part(files.output.path, FILE_SIZE, EarlierChunks::keep);
        EXPECT_EQ(part.held_before().bytes(), chunks(5, {0, 1}).bytes());
        EXPECT_THROW(PartFile(files.output.path, FILE_SIZE, EarlierChunks::keep), std::runtime_error)
            << "locked while the first is open";
        for (const std::uint64_t chunk : {4, 2, 3}) {
            put(part, chunk);
        }
        part.finish();
    }
    EXPECT_TRUE(files.complete(FILE_SIZE));
}

TEST(PartFile, WholeChunksOfAnOlderPart) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 0}, {999, 0}, {1000, 1}, {4499, 4}, {4500, 5}};
    for (const auto& [part_size, chunks] : cases) {
        EXPECT_EQ(whole_chunks(part_size, FILE_SIZE, "x.part"), chunks) << part_size;
    }
    EXPECT_THROW(whole_chunks(FILE_SIZE + 1, FILE_SIZE, "x.part"), std::runtime_error);
}

}  // namespace
}  // namespace drovik::fetch
