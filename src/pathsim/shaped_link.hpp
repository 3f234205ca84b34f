#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pathsim/delivery_queue.hpp"
#include "pathsim/fate.hpp"
#include "pathsim/path_model.hpp"

namespace drovik {

// A path that delivers every datagram at once, once: decisions in millionths, none lost.
inline constexpr PathModel UNSHAPED{1000000, 0, 0, 0, 1000, 1000000};

// The path drovik-trace plays: the server's kind of draws and queue bound, a rate, and the
// directions they apply to. Without loss, copies, delays or a rate, it is no path at all.
struct PathShape {
    PathModel path = UNSHAPED;
    std::optional<std::uint32_t> rate;  // datagrams a second in each direction
    bool up = true;
    bool down = true;

    // Whether a datagram meets a random draw (loss, copies, delays): what a seed is for.
    bool draws() const {
        return path.lost_from < path.decisions || path.duplicate_below > 0 || path.max_delay_ms > 0;
    }
    bool active() const { return draws() || rate; }
};

// One direction of the played path. Each arriving datagram meets the path's draws: lost, or
// copies that each wait for a delay of their own in the delivery queue, then, with a rate, in
// line for a token bucket; at most `max_pending` copies wait at once. Time is an argument, so
// that it runs on any clock.
class ShapedLink {
public:
    ShapedLink(const PathModel& path, std::optional<std::uint32_t> rate);

    // What became of an arriving datagram: lost or overflow (dropped at once: the queue is
    // full), or relayed, with `copies` copies now held (those drawn that fit in the queue).
    struct Taken {
        Fate fate;
        std::size_t copies;
    };
    // Draws the fate of `datagram` from `client`, arrived at `now_ns`, from that client's stream.
    Taken take(std::size_t client, std::string_view datagram, std::mt19937& stream, std::int64_t now_ns);

    // Lets go every held copy that may leave at `now_ns`, the earliest due first, through
    // send(client, datagram, fate): relayed for the first copy of a datagram to leave, copy
    // for the others.
    template <class Send>
    void release(std::int64_t now_ns, Send send);

    // When a held copy may leave next; nothing while none is held.
    std::optional<std::int64_t> next_ns() const;
    std::size_t held() const { return queue.size() + line.size(); }
    // The wait for the rate (not the delay) by which `share` of the copies that left had left,
    // in whole milliseconds, rounded up to within 1/64 of it; nothing before the first.
    std::optional<std::int64_t> wait_quantile_ms(double share) const;

private:
    struct Held {
        std::size_t client;
        std::string bytes;
        bool left = false;  // one of its copies has left
    };
    using Copy = std::shared_ptr<Held>;

    template <class Send>
    static void leave(const Copy& copy, Send& send) {
        send(copy->client, std::string_view(copy->bytes), copy->left ? Fate::copy : Fate::relayed);
        copy->left = true;
    }
    // Takes a token when the rate allows one at `now_ns`.
    bool token(std::int64_t now_ns);
    void count_wait(std::int64_t wait_ns);

    PathModel path;
    std::int64_t interval_ns = 0;   // between tokens; 0 without a rate
    std::int64_t tolerance_ns = 0;  // how far ahead of the rate a burst may run
    std::int64_t theoretical_ns = 0;
    DeliveryQueue<Copy> queue;                       // waiting for their delay
    std::deque<std::pair<Copy, std::int64_t>> line;  // due, waiting for a token since then
    // Copies that left after each wait in line, on a log scale of whole milliseconds: exact
    // below WAIT_EXACT_MS, then WAIT_STEPS buckets for each doubling, up to about 24 days.
    static constexpr std::int64_t WAIT_EXACT_MS = 128;
    static constexpr std::int64_t WAIT_STEPS = 64;
    static constexpr std::size_t WAIT_BUCKETS = WAIT_EXACT_MS + 24 * WAIT_STEPS;
    std::array<std::uint64_t, WAIT_BUCKETS> waits_ms{};
    std::uint64_t waits = 0;
};

template <class Send>
void ShapedLink::release(std::int64_t now_ns, Send send) {
    deliver_due(
        queue, [now_ns] { return now_ns; },
        [&](const Copy& copy) {
            if (interval_ns == 0) {
                leave(copy, send);
            } else {
                line.emplace_back(copy, now_ns);
            }
        });
    while (!line.empty() && token(now_ns)) {
        count_wait(now_ns - line.front().second);
        leave(line.front().first, send);
        line.pop_front();
    }
}

}  // namespace drovik
