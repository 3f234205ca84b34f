#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "trace/classify.hpp"
#include "trace/csv.hpp"

namespace drovik::trace {

// The ranges a client has been answered: a bit per whole chunk (1000 bytes at a multiple of
// 1000, up to the largest offset a server accepts); any other range in a set, which an
// ordinary download touches once, for its last, shorter chunk.
class AnsweredRanges {
public:
    // True when the range had not been answered before.
    bool insert(std::uint64_t offset, std::uint64_t length);
    // Gives the memory back.
    void clear();

private:
    std::vector<bool> chunks;
    std::set<std::pair<std::uint64_t, std::uint64_t>> others;
};

// What one client's datagrams came to, in both directions, as the client sees them: up, what
// it sent (lost or dropped on the way included, the path's extra copies not); down, what
// reached it.
class ClientTally {
public:
    // Counts a datagram at `now_ns` with its fate. For a DATA reply that reached the client:
    // true when it is the client's first reply for that offset and length (the useful one),
    // false for every later one.
    std::optional<bool> count(Direction direction, const Classified& what, Fate fate, std::int64_t now_ns);

    // A send or receive for this client failed in a way that loses a datagram.
    void count_network_error() { ++network_errors; }

    // "IP:PORT: up U down D, GETs G, replies R (useful N, duplicates R-N), G/N GETs per chunk,
    // N/R % useful, S s"; a share without a denominator is written "-". On a shaped path,
    // then "; up: lost L, copied C, overflow O; down: ..."; then "; network errors E" if any.
    std::string summary_line(std::string_view client, bool shaped) const;

    // Frees the record of the ranges answered, for a client that is gone; the counts stay.
    void forget_ranges() { answered.clear(); }

    // Adds a gone client's counts to these, for a summary line of several clients together:
    // from the first one's first datagram to the last one's last.
    void add(const ClientTally& other);

private:
    struct Shaped {
        std::uint64_t lost = 0;
        std::uint64_t copied = 0;
        std::uint64_t overflow = 0;
    };

    bool counted_any = false;
    std::uint64_t up = 0;
    std::uint64_t down = 0;
    std::uint64_t gets = 0;
    std::uint64_t replies = 0;
    std::uint64_t useful = 0;
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    std::array<Shaped, 2> shaped{};  // up, down
    std::uint64_t network_errors = 0;
    AnsweredRanges answered;  // while the client is there
};

}  // namespace drovik::trace
