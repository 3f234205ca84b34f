#include "reply_meter.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
constexpr Nanos BIN = 10 * MS;
constexpr std::uint64_t LEAST_DELAYS = 50;
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

void ReplyMeter::exact(Nanos sent_at, Nanos age) {
    if (sent_at / BIN >= first_index) {
        ++bin_at(sent_at).exact_replies;
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
    const auto wanted = static_cast<std::uint64_t>(share * static_cast<double>(delay_count));
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

void ReplyMeter::forget_before(Nanos at) {
    while (first_index < at / BIN && !bins.empty()) {
        bins.pop_front();
        ++first_index;
    }
}

}  // namespace drovik::fetch
