#pragma once
#include <bit>
#include <cassert>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace drovik::fetch {

// Which chunks of a download are held: one bit per chunk, chunk i in bit i % 8 of
// byte i / 8, so that the bytes can be stored as they are.
class ChunkSet {
public:
    explicit ChunkSet(std::uint64_t chunks = 0) : total(chunks), bits((chunks + 7) / 8) {}
    // The set that bytes() gave: exactly (chunks + 7) / 8 of them, no bit past the last chunk.
    ChunkSet(std::uint64_t chunks, std::vector<std::uint8_t> stored)
        : total(chunks),
          bits(std::move(stored)),
          held(std::accumulate(
              bits.begin(), bits.end(), std::uint64_t{0},
              [](std::uint64_t sum, std::uint8_t byte) { return sum + std::popcount(byte); })) {
        assert(bits.size() == (chunks + 7) / 8 && (chunks % 8 == 0 || bits.back() >> (chunks % 8) == 0));
    }

    std::uint64_t size() const { return total; }
    std::uint64_t count() const { return held; }
    bool complete() const { return held == total; }
    bool contains(std::uint64_t chunk) const { return (bits[chunk / 8] >> (chunk % 8) & 1U) != 0; }
    // False when the chunk was held already.
    bool insert(std::uint64_t chunk) {
        if (contains(chunk)) {
            return false;
        }
        bits[chunk / 8] = static_cast<std::uint8_t>(bits[chunk / 8] | 1U << (chunk % 8));
        ++held;
        return true;
    }
    const std::vector<std::uint8_t>& bytes() const { return bits; }

private:
    std::uint64_t total;
    std::vector<std::uint8_t> bits;
    std::uint64_t held = 0;
};

}  // namespace drovik::fetch
