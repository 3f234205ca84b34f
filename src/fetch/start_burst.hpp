#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "nanos.hpp"

namespace drovik::fetch {

// Whether a server was already full when a client started on it. The client's first
// GETs leave at once: an empty server admits them all, so the second half of that
// burst is answered like the GETs paced after it; a full one has room for a few
// only, and the second half goes unanswered while the later ones are not.
class StartBurst {
public:
    explicit StartBurst(std::size_t size);

    // A fresh GET left: the first ones make the burst and those to compare it with.
    void sent(std::uint64_t chunk);
    // A chunk was asked again before its first GET was answered: the replies for it no
    // longer tell which GET they answer, and it leaves the test.
    void asked_again(std::uint64_t chunk);
    // A reply to a chunk asked once, at `now`. Once enough replies have come, and only then:
    // whether the server was full, and, apart, whether a line passed the burst in order.
    struct Told {
        std::optional<bool> full;
        std::optional<double> line;  // the GETs a second a line on the way passes
    };
    Told replied(std::uint64_t chunk, Nanos now);
    // Still waiting for replies to tell whether the server was full.
    bool open() const { return !told && chunks.size() == size + after_count; }

private:
    std::optional<std::size_t> tested(std::uint64_t chunk) const;
    std::optional<double> ordered(std::size_t index, Nanos now);

    std::size_t size;
    std::size_t after_count;
    std::size_t second_testable;  // GETs of the second half, and after it, asked only once
    std::size_t after_testable;
    std::vector<std::uint64_t> chunks;  // in the order sent, so ascending
    std::uint32_t second_half = 0;      // replies to the burst's second half
    std::uint32_t after = 0;            // replies to the GETs after the burst
    bool told = false;
    // The burst's GETs left together: on an empty path their replies come in any order, through
    // a line in the order it passed them.
    std::uint32_t burst_replies = 0;
    std::uint64_t positions = 0;  // their places in the burst, summed
    std::size_t farthest = 0;
    std::uint32_t after_early = 0;  // replies to the GETs after the burst meanwhile
    std::optional<Nanos> first_reply;
    bool order_told = false;
};

}  // namespace drovik::fetch
