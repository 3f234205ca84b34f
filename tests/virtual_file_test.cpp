#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

#include "wire/virtual_file.hpp"

namespace drovik {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The formula evaluated directly, by square-and-multiply rather than a running product.
std::uint8_t reference_byte(std::uint64_t p) {
    std::uint64_t result = 1;
    std::uint64_t base = 166;
    for (std::uint64_t e = p; e > 0; e >>= 1) {
        if (e & 1) {
            result = result * base % 251;
        }
        base = base * base % 251;
    }
    return static_cast<std::uint8_t>((result + p) % 256);
}

struct Vector {
    std::uint32_t start;
    Bytes bytes;
};

void PrintTo(const Vector& v, std::ostream* out) {
    *out << "start_" << v.start << "_length_" << v.bytes.size();
}

class VirtualFileVectors : public testing::TestWithParam<Vector> {};

TEST_P(VirtualFileVectors, PayloadHasTheKnownBytes) {
    const Vector& v = GetParam();
    EXPECT_EQ(virtual_file_bytes(v.start, static_cast<std::uint32_t>(v.bytes.size())), v.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Known, VirtualFileVectors,
    testing::Values(Vector{0, {0x01, 0xa7, 0xc7, 0x4b, 0x9f, 0x85, 0xaa, 0x7b}},
                    Vector{0,
                           {0x01, 0xa7, 0xc7, 0x4b, 0x9f, 0x85, 0xaa, 0x7b, 0xbc, 0x14, 0x4f, 0xaa, 0x33,
                            0xd4, 0xa7, 0x3e}},
                    Vector{8, {0xbc, 0x14, 0x4f, 0xaa, 0x33, 0xd4, 0xa7, 0x3e}},
                    Vector{1, {0xa7, 0xc7, 0x4b, 0x9f}},
                    Vector{250, {0xfb, 0xa1, 0xc1, 0x45, 0x99, 0x7f, 0xa4, 0x75}},
                    Vector{1000, {0xe9, 0x8f, 0xaf, 0x33, 0x87, 0x6d, 0x92, 0x63}}, Vector{999, {0x25}},
                    Vector{100000000, {0x01, 0xa7, 0xc7, 0x4b, 0x9f, 0x85, 0xaa, 0x7b}}));

TEST(VirtualFile, OverlappingRangesAgreeByteForByte) {
    const Bytes whole = virtual_file_bytes(0, 16);
    EXPECT_EQ(virtual_file_bytes(8, 8), Bytes(whole.begin() + 8, whole.end()));
    const Bytes wide = virtual_file_bytes(99999000, 1000);
    for (std::uint32_t shift : {1U, 249U, 250U, 251U, 256U, 999U}) {
        const Bytes slice = virtual_file_bytes(99999000 + shift, 1000 - shift);
        EXPECT_EQ(slice, Bytes(wide.begin() + shift, wide.end())) << "shift " << shift;
    }
}

TEST(VirtualFile, LargestOffsetRepeatsTheStart) {
    EXPECT_EQ(virtual_file_bytes(100000000, 1000), virtual_file_bytes(0, 1000));
    // 250 and 256 together: the whole content repeats every 32000 bytes, and not sooner than 250.
    EXPECT_EQ(virtual_file_bytes(32000, 1000), virtual_file_bytes(0, 1000));
    EXPECT_NE(virtual_file_bytes(250, 1000), virtual_file_bytes(0, 1000));
}

TEST(VirtualFile, EveryAdmissibleRangeFollowsTheFormula) {
    for (std::uint32_t start : {0U, 1U, 249U, 250U, 251U, 255U, 256U, 999U, 1000U, 31999U, 65535U, 65536U,
                                16777215U, 99999001U, 99999999U, 100000000U}) {
        for (std::uint32_t length : {1U, 2U, 1000U}) {
            const Bytes payload = virtual_file_bytes(start, length);
            ASSERT_EQ(payload.size(), length);
            for (std::uint32_t k = 0; k < length; ++k) {
                ASSERT_EQ(payload[k], reference_byte(start + k)) << "offset " << start + k;
            }
        }
    }
}

TEST(VirtualFile, SingleBytesFollowTheFormulaBeyond32Bits) {
    for (std::uint64_t p : {0ULL, 25ULL, 308ULL, 999ULL, 100000000ULL, 4294967295ULL, 4294967296ULL,
                            1099511627779ULL, 18446744073709551615ULL}) {
        EXPECT_EQ(virtual_file_byte(p), reference_byte(p)) << "offset " << p;
    }
}

}  // namespace
}  // namespace drovik
