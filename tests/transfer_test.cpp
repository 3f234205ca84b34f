#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <vector>

#include "client/transfer.hpp"

namespace drovik {
namespace {

ChunkReply reply(std::uint64_t chunk_index, std::size_t length = 1000) {
    return ChunkReply{chunk_index,
                      std::vector<std::uint8_t>(length, static_cast<std::uint8_t>('a' + chunk_index))};
}

// The chunks a request step asks for.
std::vector<std::uint64_t> requested(Transfer& transfer) {
    std::vector<std::uint64_t> chunks;
    transfer.request_due([&chunks](std::uint64_t j) { chunks.push_back(j); });
    return chunks;
}

using Chunks = std::vector<std::uint64_t>;

TEST(Transfer, WaitTimeCountsOnlyTheMissingChunksOfTheWindow) {
    // Four chunks, a window of three.
    Transfer transfer(3500, 3);
    EXPECT_EQ(transfer.wait_time(), 0);
    EXPECT_EQ(requested(transfer), (Chunks{0, 1, 2}));
    // Chunk 3 lies beyond the window with its timer at 0: it must not shorten the wait.
    EXPECT_EQ(transfer.wait_time(), 100);
    transfer.age(50);
    EXPECT_EQ(transfer.wait_time(), 50);

    std::ostringstream out;
    ASSERT_TRUE(transfer.take(reply(0)));
    transfer.write_ready(out);
    EXPECT_EQ(requested(transfer), (Chunks{3}));  // entered the window
    transfer.age(50);
    EXPECT_EQ(requested(transfer), (Chunks{1, 2}));  // ran out
    // Timers now: 1 and 2 at 100, 3 at 50. Chunk 3 held: its timer no longer counts.
    ASSERT_TRUE(transfer.take(reply(3, 500)));
    EXPECT_EQ(transfer.wait_time(), 100);
}

TEST(Transfer, AgeingLeavesHeldChunksAndChunksBeyondTheWindow) {
    // Two chunks, window of one: chunk 1 must not age while chunk 0 is awaited,
    // or it would never be due once it enters the window.
    Transfer transfer(1500, 1);
    EXPECT_EQ(requested(transfer), (Chunks{0}));
    transfer.age(60);
    EXPECT_EQ(transfer.wait_time(), 40);
    std::ostringstream out;
    ASSERT_TRUE(transfer.take(reply(0)));
    transfer.write_ready(out);
    EXPECT_EQ(transfer.wait_time(), 0);
    EXPECT_EQ(requested(transfer), (Chunks{1}));

    // A held chunk is never asked for again while the others keep coming due.
    Transfer held(3000, 3);
    EXPECT_EQ(requested(held), (Chunks{0, 1, 2}));
    held.age(30);
    ASSERT_TRUE(held.take(reply(1)));
    held.age(70);
    EXPECT_EQ(requested(held), (Chunks{0, 2}));
    EXPECT_EQ(held.wait_time(), 100);
    held.age(100);
    EXPECT_EQ(requested(held), (Chunks{0, 2}));
}

TEST(Transfer, TakesOnlyMissingChunksAtOrAfterFirst) {
    Transfer transfer(5000, 2);  // five chunks, window of two
    std::ostringstream out;
    ASSERT_TRUE(transfer.take(reply(1)));
    EXPECT_FALSE(transfer.take(reply(1)));  // held, not yet written
    ASSERT_TRUE(transfer.take(reply(4)));   // beyond the window, still a chunk of the file
    EXPECT_EQ(transfer.taken(), 2u);
    ASSERT_TRUE(transfer.take(reply(0)));
    transfer.write_ready(out);
    EXPECT_EQ(transfer.written_chunks(), 2u);
    EXPECT_FALSE(transfer.take(reply(0)));  // already written
    EXPECT_FALSE(transfer.take(reply(1)));
    EXPECT_FALSE(transfer.take(reply(5)));  // no such chunk
    EXPECT_FALSE(transfer.take(reply(UINT64_MAX)));
    EXPECT_EQ(transfer.taken(), 3u);
    EXPECT_DOUBLE_EQ(transfer.percent_done(), 60.0);
    EXPECT_EQ(out.str(), std::string(1000, 'a') + std::string(1000, 'b'));
}

TEST(Transfer, WindowSlidesUpToTheLastChunk) {
    struct Case {
        std::uint64_t file_size;
        std::uint64_t window_size;
        std::vector<std::uint64_t> last_after_each_write;  // window_last at start, then after each chunk
    };
    const Case cases[] = {
        {5000, 3, {2, 3, 4, 4, 4, 4}},
        {3000, 1000, {2, 2, 2, 2}},
        {2500, 1, {0, 1, 2, 2}},
        {1, 1000, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_size);
        Transfer transfer(c.file_size, c.window_size);
        std::ostringstream out;
        const std::uint64_t n = c.last_after_each_write.size() - 1;
        EXPECT_EQ(transfer.last_in_window(), c.last_after_each_write[0]);
        for (std::uint64_t i = 0; i < n; ++i) {
            ASSERT_FALSE(transfer.done());
            transfer.age(transfer.wait_time());  // a wait that saw nothing
            for (const std::uint64_t j : requested(transfer)) {
                EXPECT_GE(j, i);
                EXPECT_LE(j, transfer.last_in_window());
            }
            ASSERT_TRUE(transfer.take(reply(i, i + 1 < n ? 1000 : c.file_size - i * 1000)));
            transfer.write_ready(out);
            EXPECT_EQ(transfer.last_in_window(), c.last_after_each_write[i + 1]);
        }
        EXPECT_TRUE(transfer.done());
        EXPECT_EQ(out.str().size(), c.file_size);
    }
}

}  // namespace
}  // namespace drovik
