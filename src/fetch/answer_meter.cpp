#include "answer_meter.hpp"

#include <algorithm>
#include <utility>

namespace drovik::fetch {

namespace {
constexpr Nanos BIN = 10000000;  // 10 ms of send time
constexpr std::uint64_t LEAST_WATCHED = 30;
}  // namespace

AnswerMeter::AnswerMeter(Nanos now) : first_index(now / BIN), window_start(now / BIN) {}

std::int64_t AnswerMeter::index_of(Nanos at) const {
    return at / BIN;
}

AnswerMeter::Bin* AnswerMeter::bin_of(Nanos at) {
    const std::int64_t index = index_of(at);
    if (index < first_index) {
        return nullptr;
    }
    while (static_cast<std::int64_t>(bins.size()) <= index - first_index) {
        bins.emplace_back();
    }
    return &bins[static_cast<std::size_t>(index - first_index)];
}

void AnswerMeter::sent(Nanos at, bool clean) {
    if (Bin* bin = bin_of(at)) {
        ++bin->all;
        bin->clean += clean ? 1 : 0;
    }
}

void AnswerMeter::answered(Nanos sent_at, Nanos age) {
    if (Bin* bin = bin_of(sent_at)) {
        bin->answered_ages.push_back(age);
    }
}

void AnswerMeter::censored(Nanos sent_at, Nanos age) {
    if (Bin* bin = bin_of(sent_at)) {
        bin->censored_ages.push_back(age);
    }
}

// Kaplan-Meier over the bins [from, to): one minus the share never answered.
std::optional<double> AnswerMeter::share(std::int64_t from, std::int64_t to, Nanos largest_delay) const {
    std::vector<std::pair<Nanos, bool>> events;  // (age, censored)
    std::uint64_t at_risk = 0;
    for (std::int64_t i = std::max(from, first_index);
         i < to && i - first_index < static_cast<std::int64_t>(bins.size()); ++i) {
        const Bin& bin = bins[static_cast<std::size_t>(i - first_index)];
        at_risk += bin.clean;
        for (const Nanos age : bin.answered_ages) {
            events.emplace_back(age, false);
        }
        for (const Nanos age : bin.censored_ages) {
            events.emplace_back(age, true);
        }
    }
    std::sort(events.begin(), events.end());
    const std::uint64_t total = at_risk;
    const Nanos late = largest_delay - largest_delay / 20;
    std::optional<std::uint64_t> watched_late;
    double never = 1.0;
    for (const auto& [age, censored] : events) {
        if (!watched_late && age >= late) {
            watched_late = at_risk;
        }
        if (at_risk == 0) {
            break;
        }
        if (!censored) {
            never *= 1.0 - 1.0 / static_cast<double>(at_risk);
        }
        --at_risk;
    }
    const std::uint64_t watched = watched_late.value_or(at_risk);
    if (watched < std::max(LEAST_WATCHED, total / 10)) {
        return std::nullopt;
    }
    return 1.0 - never;
}

AnswerMeter::Share AnswerMeter::recent(Nanos complete_before, std::uint64_t least_clean, Nanos longest,
                                       Nanos largest_delay) const {
    const std::int64_t to = index_of(complete_before);
    std::int64_t from = to;
    Share result;
    std::uint64_t all = 0;
    while (from > first_index && (to - from) * BIN < longest && result.clean < least_clean) {
        --from;
        if (from - first_index < static_cast<std::int64_t>(bins.size())) {
            const Bin& bin = bins[static_cast<std::size_t>(from - first_index)];
            result.clean += bin.clean;
            all += bin.all;
        }
    }
    result.span = (to - from) * BIN;
    if (to > from) {
        result.sent_per_second = static_cast<double>(all) * 1e9 / static_cast<double>((to - from) * BIN);
    }
    result.answered = share(from, to, largest_delay);
    return result;
}

std::vector<double> AnswerMeter::new_windows(Nanos complete_before, std::uint64_t clean_per_window,
                                             Nanos largest_delay) {
    std::vector<double> shares;
    const std::int64_t to = index_of(complete_before);
    std::uint64_t clean = 0;
    for (std::int64_t i = std::max(window_start, first_index); i < to; ++i) {
        if (i - first_index < static_cast<std::int64_t>(bins.size())) {
            clean += bins[static_cast<std::size_t>(i - first_index)].clean;
        }
        if (clean >= clean_per_window) {
            if (const auto answered = share(window_start, i + 1, largest_delay)) {
                shares.push_back(*answered);
            }
            window_start = i + 1;
            clean = 0;
        }
    }
    return shares;
}

void AnswerMeter::forget_before(Nanos at) {
    const std::int64_t keep_from = std::min(index_of(at), window_start);
    while (first_index < keep_from && !bins.empty()) {
        bins.pop_front();
        ++first_index;
    }
}

}  // namespace drovik::fetch
