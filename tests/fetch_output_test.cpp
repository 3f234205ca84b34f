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

void put(ReorderBuffer& buffer, std::uint64_t chunk) {
    const std::string bytes =
        test::served_bytes(chunk * 1000, std::min<std::uint64_t>(1000, FILE_SIZE - chunk * 1000));
    buffer.put(chunk, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

ChunkSet chunks(std::uint64_t total, const std::vector<std::uint64_t>& members) {
    ChunkSet set(total);
    for (const std::uint64_t chunk : members) {
        set.insert(chunk);
    }
    return set;
}

TEST(ReorderBuffer, WritesEachChunkOnceAllBeforeItHaveCome) {
    const test::OutputFile file("reorder");
    const int fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ReorderBuffer buffer(fd, FILE_SIZE, 0, 3);  // a window of 3 slots wraps around
    struct Step {
        std::uint64_t chunk, written, taken;
    };
    const Step steps[] = {{2, 0, 1000}, {1, 0, 2000}, {0, 3000, 3000}, {4, 3000, 3500}, {3, 4500, 4500}};
    for (const Step& step : steps) {
        put(buffer, step.chunk);
        EXPECT_EQ(buffer.written_bytes(), step.written) << "after chunk " << step.chunk;
        EXPECT_EQ(buffer.taken_bytes(), step.taken) << "after chunk " << step.chunk;
        EXPECT_TRUE(file.bytes() == test::served_bytes(0, step.written)) << "after chunk " << step.chunk;
    }
    EXPECT_EQ(buffer.written_chunks(), 5u);
    close(fd);
}

TEST(ChunkMap, RoundTripsAndRefusesEveryDamage) {
    for (const std::uint64_t size : {1, 999, 4500, 8001, 2147483647}) {
        const std::uint64_t total = (size + 999) / 1000;
        const ChunkMap map{size, chunks(total, {0, total / 3, total - 1})};
        const auto decoded = decode_chunk_map(encode_chunk_map(map));
        ASSERT_TRUE(decoded) << size;
        EXPECT_EQ(decoded->file_size, size);
        EXPECT_EQ(decoded->held.bytes(), map.held.bytes()) << size;
        EXPECT_EQ(decoded->held.count(), map.held.count()) << size;
    }
    const std::string record = encode_chunk_map({FILE_SIZE, chunks(5, {1, 4})});
    EXPECT_EQ(record.substr(0, 30), "drovik-fetch chunk map 1 4500\n");
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

TEST(PartFile, WholeChunksOfAnExistingPart) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 0}, {999, 0}, {1000, 1}, {4499, 4}, {4500, 5}};
    for (const auto& [part_size, chunks] : cases) {
        EXPECT_EQ(whole_chunks(part_size, FILE_SIZE, "x.part"), chunks) << part_size;
    }
    EXPECT_THROW(whole_chunks(FILE_SIZE + 1, FILE_SIZE, "x.part"), std::runtime_error);
}

TEST(PartFile, ResumeKeepsWholeChunksAndFinishRenames) {
    const test::OutputFile output("part-resume");
    const test::OutputFile part("part-resume", ".part");
    std::ofstream(part.path, std::ios::binary) << test::served_bytes(0, 2500);
    {
        PartFile file(output.path, FILE_SIZE, true);
        ASSERT_EQ(file.kept_chunks(), 2u);
        EXPECT_EQ(part.size(), 2000u) << "the partial third chunk is cut off";
        ReorderBuffer buffer(file.fd(), FILE_SIZE, file.kept_chunks(), 10);
        for (const std::uint64_t chunk : {4, 3, 2}) {
            put(buffer, chunk);
        }
        file.finish();
    }
    EXPECT_FALSE(std::filesystem::exists(part.path));
    EXPECT_TRUE(output.bytes() == test::served_bytes(0, FILE_SIZE));
}

TEST(PartFile, WithoutResumeAnOldPartIsEmptied) {
    const test::OutputFile output("part-fresh");
    const test::OutputFile part("part-fresh", ".part");
    std::ofstream(part.path, std::ios::binary) << test::served_bytes(0, 2500);
    const PartFile file(output.path, FILE_SIZE, false);
    EXPECT_EQ(file.kept_chunks(), 0u);
    EXPECT_EQ(part.size(), 0u);
}

}  // namespace
}  // namespace drovik::fetch
