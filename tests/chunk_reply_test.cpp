#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "wire/chunk_reply.hpp"
#include "wire/protocol.hpp"

namespace drovik {
namespace {

// The decoder sees what a receive leaves: the datagram at the front of a
// zero-filled 65536-byte buffer, and the count of bytes received.
std::optional<ChunkReply> decode(const std::string& datagram, std::uint64_t file_size) {
    EXPECT_LE(datagram.size(), 65535u);
    std::vector<std::uint8_t> buffer(65536, 0);
    std::copy(datagram.begin(), datagram.end(), buffer.begin());
    return decode_chunk_reply(buffer.data(), datagram.size(), file_size);
}

// `length` payload bytes that are easy to tell apart, LF and zero included.
std::string payload(std::size_t length, unsigned seed = 7) {
    std::string bytes(length, '\0');
    for (std::size_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<char>((k * 31 + seed) % 256);
    }
    return bytes;
}

std::string as_string(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

struct AcceptedCase {
    const char* what;
    std::string header;  // up to and including the first LF
    std::string body;    // everything after it
    std::uint64_t file_size;
    std::uint64_t chunk_index;
    std::size_t data_length;  // the leading bytes of `body` that make the chunk
};

TEST(DecodeChunkReply, AcceptsWellFormedReplies) {
    const std::string lf_payload(500, '\n');
    const std::string zero_payload(1000, '\0');
    const AcceptedCase cases[] = {
        {"last chunk of a 1500-byte file", "DATA 1000 500\n", payload(500), 1500, 1, 500},
        {"first chunk", "DATA 0 1000\n", payload(1000), 1500, 0, 1000},
        {"one-byte file", "DATA 0 1\n", payload(1), 1, 0, 1},
        {"last chunk of 1001 bytes", "DATA 1000 1\n", payload(1), 1001, 1, 1},
        {"full last chunk", "DATA 1000 1000\n", payload(1000), 2000, 1, 1000},
        {"white space before the keyword", " \t DATA 1000 500\n", payload(500), 1500, 1, 500},
        {"several spaces between fields", "DATA   1000    500\n", payload(500), 1500, 1, 500},
        {"tabs between fields", "DATA\t1000\t\t500\n", payload(500), 1500, 1, 500},
        {"text after the length", "DATA 1000 500 whatever follows\n", payload(500), 1500, 1, 500},
        {"text glued to the length", "DATA 1000 500xyz\n", payload(500), 1500, 1, 500},
        {"payload of LF bytes", "DATA 1000 500\n", lf_payload, 1500, 1, 500},
        {"payload of zero bytes", "DATA 0 1000\n", zero_payload, 1500, 0, 1000},
        {"bytes beyond the length are not taken", "DATA 1000 500\n", payload(600), 1500, 1, 500},
        {"largest accepted size", "DATA 2147483000 647\n", payload(647), 2147483647, 2147483, 647},
    };
    for (const AcceptedCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<ChunkReply> reply = decode(c.header + c.body, c.file_size);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->chunk_index, c.chunk_index);
        EXPECT_EQ(as_string(reply->data), c.body.substr(0, c.data_length));
    }
}

struct RefusedCase {
    const char* what;
    std::string datagram;
    std::uint64_t file_size;
};

TEST(DecodeChunkReply, RefusesBrokenReplies) {
    const RefusedCase cases[] = {
        {"length of a full chunk for the short last one", "DATA 1000 1000\n" + payload(1000), 1500},
        {"start not a multiple of 1000", "DATA 500 1000\n" + payload(1000), 1500},
        {"start not a multiple, right length", "DATA 1500 500\n" + payload(500), 2000},
        {"keyword in lower case", "data 1000 500\n" + payload(500), 1500},
        {"keyword with more letters", "DATAX 1000 500\n" + payload(500), 1500},
        {"keyword glued to the start", "DATA1000 500\n" + payload(500), 1500},
        {"keyword cut short", "DAT 1000 500\n" + payload(500), 1500},
        {"GET instead of DATA", "GET 1000 500\n" + payload(500), 1500},
        {"unreadable start", "DATA x 500\n" + payload(500), 1500},
        {"unreadable length", "DATA 1000 y\n" + payload(500), 1500},
        {"length missing", "DATA 1000\n" + payload(500), 1500},
        {"both numbers missing", "DATA\n" + payload(500), 1500},
        {"empty header", "\n" + payload(500), 1500},
        {"start beyond 64 bits", "DATA 18446744073709552000 500\n" + payload(500), 1500},
        {"zero byte in the keyword", std::string("DATA\0 1000 500\n", 15) + payload(500), 1500},
        {"no LF at all", "DATA 1000 500", 1500},
        {"no LF, payload without one", "DATA 0 3 abc", 3},
        {"empty datagram", "", 1500},
        {"payload one byte short", "DATA 1000 500\n" + payload(499), 1500},
        {"payload missing", "DATA 1000 500\n", 1500},
        {"payload of a full chunk cut short", "DATA 0 1000\n" + payload(600), 1500},
        {"start at the end of the file, length 0", "DATA 2000 0\n", 2000},
        {"start beyond the file, length 1000", "DATA 2000 1000\n" + payload(1000), 1500},
        {"start far beyond the file", "DATA 7000 1000\n" + payload(1000), 1500},
        {"header filling the buffer", std::string(65400, ' ') + "DATA 0 1000\n" + payload(100), 1500},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<ChunkReply> reply;
        EXPECT_NO_THROW(reply = decode(c.datagram, c.file_size));
        EXPECT_FALSE(reply.has_value());
    }
}

TEST(DecodeChunkReply, WhateverComesInItNeverThrowsAndOnlyGivesWholeChunks) {
    // Headers built from fragments near the rules' edges, with payloads of every awkward
    // length; anything accepted must be exactly one chunk of the file.
    const std::vector<std::string> keywords = {"DATA", "DATA", " DATA", "\tDATA", "data", "DATAX", "", "\n"};
    const std::vector<std::string> gaps = {" ", " ", "\t", "  ", "", "x", "\n"};
    const std::vector<std::string> numbers = {
        "0",    "1",     "500", "1000", "1500", "2000", "-1", "+1000", "1e3", "", "99999999999999999999999",
        "0x10", "01000", "3000"};
    const std::vector<std::uint64_t> sizes = {1, 1000, 1001, 1500, 2000, 3000};
    std::mt19937 random(12345);
    auto pick = [&random](const auto& list) { return list[random() % list.size()]; };
    int accepted = 0;
    for (int round = 0; round < 50000; ++round) {
        const std::uint64_t file_size = pick(sizes);
        const std::string header =
            pick(keywords) + pick(gaps) + pick(numbers) + pick(gaps) + pick(numbers) + pick(gaps) + "\n";
        const std::string datagram = header + payload(random() % 1100, round);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.data());
        std::optional<ChunkReply> reply;
        ASSERT_NO_THROW(reply = decode_chunk_reply(bytes, datagram.size(), file_size)) << header;
        if (!reply) {
            continue;
        }
        ++accepted;
        const std::uint64_t start = reply->chunk_index * 1000;
        ASSERT_LT(start, file_size) << header;
        const std::size_t body = datagram.find('\n') + 1;
        ASSERT_EQ(reply->data.size(), chunk_length(file_size, start)) << header;
        ASSERT_EQ(as_string(reply->data), datagram.substr(body, reply->data.size())) << header;
    }
    // The mix must reach the accepting side too, or the checks above prove little.
    EXPECT_GT(accepted, 100);
}

TEST(ChunkArithmetic, CountsAndLengths) {
    struct Case {
        std::uint64_t file_size;
        std::uint64_t count;
        std::uint64_t last_length;
    };
    const Case cases[] = {{1, 1, 1},      {999, 1, 999},   {1000, 1, 1000},           {1001, 2, 1},
                          {1500, 2, 500}, {3000, 3, 1000}, {2147483647, 2147484, 647}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file_size);
        EXPECT_EQ(chunk_count(c.file_size), c.count);
        EXPECT_EQ(chunk_length(c.file_size, (c.count - 1) * 1000), c.last_length);
        if (c.count > 1) {
            EXPECT_EQ(chunk_length(c.file_size, 0), 1000u);
        }
    }
    // A start beyond the end wraps round in unsigned arithmetic: the rule then asks for 1000.
    EXPECT_EQ(chunk_length(1500, 2000), 1000u);
    EXPECT_EQ(chunk_length(2000, 2000), 0u);
}

}  // namespace
}  // namespace drovik
