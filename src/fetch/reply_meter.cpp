#include "reply_meter.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
constexpr Nanos BIN = 10 * MS;
constexpr std::uint64_t LEAST_DELAYS = 50;
// The least of this many delays lies within a fiftieth of their spread of the floor; of
// fewer than QUEUE_LEAST, too far above it to tell. Spans older than QUEUE_SPAN say
// nothing of the queue now.
constexpr double QUEUE_REPLIES = 50;
constexpr double QUEUE_LEAST = 20;
constexpr Nanos QUEUE_SPAN = 1000 * MS;
// While GETs or replies wait this long, the line stands: it passes what it holds at its own
// rate, measured between spans this far apart.
constexpr Nanos QUEUE_STANDING = 100 * MS;
constexpr Nanos PASSING_SPAN = 300 * MS;
// Spans answered last longer ago than the least delay and this: the GETs since are not known.
constexpr Nanos QUEUE_STALE = 2000 * MS;
constexpr Nanos HALF_LIFE = 5000 * MS;
constexpr std::uint64_t FORGET_FROM = 4 * LEAST_DELAYS;
}  // namespace

std::optional<double> ReplyMeter::Yield::per_get() const {
    if (expected <= 0) {
        return std::nullopt;
    }
    return replies / expected;
}

ReplyMeter::ReplyMeter(Nanos now) : first_index(now / BIN), started(now / BIN) {}

ReplyMeter::Bin& ReplyMeter::bin_at(Nanos at) {
    const std::int64_t index = std::max(at / BIN, first_index);
    while (static_cast<std::int64_t>(bins.size()) <= index - first_index) {
        bins.emplace_back();
    }
    return bins[static_cast<std::size_t>(index - first_index)];
}

void ReplyMeter::sent(Nanos at, bool fresh) {
    Bin& bin = bin_at(at);
    ++bin.sent;
    bin.fresh += fresh ? 1 : 0;
}

void ReplyMeter::replied(Nanos at) {
    ++bin_at(at).replies;
}

void ReplyMeter::exact(Nanos sent_at, Nanos age, bool fresh) {
    if (sent_at / BIN >= first_index) {
        Bin& bin = bin_at(sent_at);
        bin.exact_replies += fresh ? 1 : 0;
        ++bin.known_replies;
        bin.least = std::min(bin.least, age);
    }
    if (fresh) {
        least_ever = std::min(least_ever, age);
    }
    // Older delays count for less, half each HALF_LIFE: a line that came and went no longer
    // spreads what the GETs of now are expected to bring.
    if (sent_at + age >= halved_at + HALF_LIFE && delay_count >= FORGET_FROM) {
        halved_at = sent_at + age;
        delay_count = 0;
        for (std::uint32_t& count : delays) {
            delay_count += count /= 2;
        }
    }
    const auto index = static_cast<std::size_t>(std::max<Nanos>(age, 0) / BIN);
    if (delays.size() <= index) {
        delays.resize(index + 1);
    }
    ++delays[index];
    ++delay_count;
    at_most.clear();
}

double ReplyMeter::delay_share(Nanos age) const {
    if (age < 0) {
        return 0;
    }
    if (at_most.empty()) {
        std::uint64_t sum = 0;
        for (const std::uint32_t count : delays) {
            at_most.push_back(sum += count);
        }
    }
    const auto last = std::min(static_cast<std::size_t>(age / BIN), at_most.size() - 1);
    return static_cast<double>(at_most[last]) / static_cast<double>(delay_count);
}

std::optional<ReplyMeter::Yield> ReplyMeter::yield(Nanos from, Nanos to) const {
    if (delay_count < LEAST_DELAYS || to <= from) {
        return std::nullopt;
    }
    const auto longest = static_cast<Nanos>(delays.size()) * BIN;
    Yield result;
    for (std::int64_t i = std::max(first_index, (from - longest) / BIN);
         i < to / BIN && i - first_index < static_cast<std::int64_t>(bins.size()); ++i) {
        const Bin& bin = bins[static_cast<std::size_t>(i - first_index)];
        const Nanos sent_at = i * BIN + BIN / 2;
        if (i >= from / BIN) {
            result.replies += bin.replies;
        }
        result.expected += bin.sent * (delay_share(to - sent_at) - delay_share(from - sent_at));
    }
    result.sent_per_second = result.expected * 1e9 / static_cast<double>(to - from);
    return result;
}

std::optional<Nanos> ReplyMeter::delay_quantile(double share) const {
    if (delay_count < LEAST_DELAYS) {
        return std::nullopt;
    }
    delay_share(0);  // builds the running sums
    const auto wanted =
        std::max<std::uint64_t>(1, static_cast<std::uint64_t>(share * static_cast<double>(delay_count)));
    const auto at = std::lower_bound(at_most.begin(), at_most.end(), wanted);
    return static_cast<Nanos>(at - at_most.begin() + 1) * BIN;
}

std::optional<ReplyMeter::Yield> ReplyMeter::first_yield(std::uint64_t count, Nanos complete_before) const {
    Yield result;
    for (std::int64_t i = started; i - first_index < static_cast<std::int64_t>(bins.size()); ++i) {
        if (i < first_index || (i + 1) * BIN > complete_before) {
            return std::nullopt;
        }
        const Bin& bin = bins[static_cast<std::size_t>(i - first_index)];
        result.expected += bin.fresh;
        result.replies += bin.exact_replies;
        if (result.expected >= static_cast<double>(count)) {
            return result;
        }
    }
    return std::nullopt;
}

ReplyMeter::Yield ReplyMeter::sent_yield(Nanos from, Nanos to) const {
    Yield result;
    for (std::int64_t i = std::max(first_index, from / BIN);
         i < to / BIN && i - first_index < static_cast<std::int64_t>(bins.size()); ++i) {
        const Bin& bin = bins[static_cast<std::size_t>(i - first_index)];
        result.expected += bin.fresh;
        result.replies += bin.exact_replies;
    }
    result.sent_per_second = result.expected * 1e9 / static_cast<double>(to - from);
    return result;
}

std::optional<ReplyMeter::Floor> ReplyMeter::floor_from(std::int64_t from) const {
    Floor floor;
    for (std::int64_t i = from; i >= 0 && floor.known < QUEUE_REPLIES && from - i < QUEUE_SPAN / BIN; --i) {
        const Bin& bin = bins[static_cast<std::size_t>(i)];
        floor.known += bin.known_replies;
        if (bin.least < floor.least) {
            floor.least = bin.least;
            floor.at = i;
        }
    }
    if (floor.known < QUEUE_LEAST) {
        return std::nullopt;
    }
    return floor;
}

// The least delay above the least ever, less what the least of n draws lies above the least
// of all lately, and twice as much again, which it rarely exceeds: the delays' own spread near
// their floor, the 3 / (n + 1) quantile above the lowest. A server's even spread and the sum of a
// path's draws both, and a wait that shifts them all changes nothing.
Nanos ReplyMeter::wait_of(const Floor& floor) const {
    const Nanos lowest = delay_quantile(0).value_or(least_ever);
    const Nanos low = delay_quantile(3.0 / (floor.known + 1)).value_or(lowest);
    return std::max<Nanos>(0, floor.least - least_ever - (low - lowest));
}

std::optional<ReplyMeter::Queue> ReplyMeter::queue(Nanos now) const {
    auto newest = static_cast<std::int64_t>(bins.size()) - 1;
    while (newest >= 0 && bins[static_cast<std::size_t>(newest)].known_replies == 0) {
        --newest;
    }
    // GETs whose fastest replies should have come long since, and did not, say nothing now.
    const Nanos fresh_after = now - least_ever - QUEUE_STALE;
    if (newest < 0 || (first_index + newest) * BIN < fresh_after || delay_count < LEAST_DELAYS) {
        return std::nullopt;
    }
    const auto latest = floor_from(newest);
    if (!latest) {
        return std::nullopt;
    }
    Queue queue{wait_of(*latest), std::nullopt, (first_index + latest->at) * BIN};
    const auto before = floor_from(latest->at - PASSING_SPAN / BIN);
    if (!before || queue.wait < QUEUE_STANDING || wait_of(*before) < QUEUE_STANDING) {
        return queue;
    }
    // Left plus waited: when the fastest GET of each span passed the line.
    const Nanos passed = (latest->at - before->at) * BIN + queue.wait - wait_of(*before);
    double sent = 0;
    for (std::int64_t i = before->at + 1; i <= latest->at; ++i) {
        sent += bins[static_cast<std::size_t>(i)].sent;
    }
    if (passed >= PASSING_SPAN / 2) {
        queue.passing = sent * 1e9 / static_cast<double>(passed);
    }
    return queue;
}

void ReplyMeter::forget_before(Nanos at) {
    while (first_index < at / BIN && !bins.empty()) {
        bins.pop_front();
        ++first_index;
    }
}

}  // namespace drovik::fetch
