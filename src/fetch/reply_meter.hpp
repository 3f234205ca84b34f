#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "nanos.hpp"

namespace drovik::fetch {

// How many replies one server returns per GET. Every GET that the server admits
// and its path does not lose brings its replies whatever became of its chunk, so
// counting needs no knowledge of which GET a reply answers: the replies that
// arrived in a span are set against the replies that the GETs sent before it
// would bring if each brought one, spread over time by the server's delays.
class ReplyMeter {
public:
    struct Yield {
        double replies = 0;   // received in the span
        double expected = 0;  // due in the span at one reply per GET
        std::optional<double> per_get() const;
        double sent_per_second = 0;  // the GET rate that fed the span
    };

    explicit ReplyMeter(Nanos now);

    // `fresh`: the first GET for its chunk.
    void sent(Nanos at, bool fresh);
    void replied(Nanos at);
    // A reply whose GET is known, sent at `sent_at`: to a chunk asked once (`fresh`), or to
    // a GET asked alone.
    void exact(Nanos sent_at, Nanos age, bool fresh = true);

    // What the replies received in [from, to) say; nothing until enough delays are known.
    std::optional<Yield> yield(Nanos from, Nanos to) const;
    // The age by which `share` of all replies have come; nothing until enough delays are known.
    std::optional<Nanos> delay_quantile(double share) const;
    // Replies per GET of the first `count` fresh GETs, once all their replies are in.
    std::optional<Yield> first_yield(std::uint64_t count, Nanos complete_before) const;
    // Replies per fresh GET of those sent in [from, to), by when they left: sharp in time,
    // and complete once the largest delay has passed since `to`.
    Yield sent_yield(Nanos from, Nanos to) const;
    // A line on the path: how long GETs or replies wait in it lately, and, while it stands,
    // how many of this client's GETs a second it passes.
    struct Queue {
        Nanos wait = 0;
        std::optional<double> passing;
        Nanos sent_at = 0;  // when the GETs that tell the wait left
    };
    // The wait is how much later than the least delay ever the fastest replies to the newest
    // GETs came. The fastest reply to GETs that left together comes first, so a span's least
    // delay is known with its first reply. A line passes its GETs in order: those sent
    // between two spans passed between the times they left plus their waits. Nothing until
    // enough replies to recent GETs are known to answer them.
    std::optional<Queue> queue(Nanos now) const;
    void forget_before(Nanos at);

private:
    struct Bin {
        std::uint32_t sent = 0;
        std::uint32_t replies = 0;
        std::uint32_t fresh = 0;          // first GETs for their chunk sent in the bin
        std::uint32_t exact_replies = 0;  // replies to chunks asked once, by when the GET left
        std::uint32_t known_replies = 0;  // replies known to answer their GET, by when it left
        Nanos least = INT64_MAX;          // the least delay of those
    };
    // The least delay of the spans from bin `from` back, until enough replies are known.
    struct Floor {
        Nanos least = INT64_MAX;
        std::int64_t at = 0;  // the bin it is in
        double known = 0;
    };
    std::optional<Floor> floor_from(std::int64_t from) const;
    Nanos wait_of(const Floor& floor) const;
    Bin& bin_at(Nanos at);
    double delay_share(Nanos age) const;  // the share of delays at most `age`

    std::deque<Bin> bins;
    std::int64_t first_index;
    std::int64_t started;
    std::vector<std::uint32_t> delays;  // how many exact delays fell in each bin of age
    std::uint64_t delay_count = 0;
    Nanos halved_at = 0;  // when the counts were last halved
    Nanos least_ever = INT64_MAX;
    mutable std::vector<std::uint64_t>
        at_most;  // running sums of `delays`, rebuilt when asked after a change
};

}  // namespace drovik::fetch
