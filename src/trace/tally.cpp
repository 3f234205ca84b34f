#include "trace/tally.hpp"

#include "net/format.hpp"

namespace drovik::trace {

std::optional<bool> ClientTally::count(Direction direction, const Classified& what, std::int64_t now_ns) {
    if (up + down == 0) {
        first_ns = now_ns;
    }
    last_ns = now_ns;
    if (direction == Direction::up) {
        ++up;
        gets += what.kind == Kind::get ? 1 : 0;
        return std::nullopt;
    }
    ++down;
    if (what.kind != Kind::data) {
        return std::nullopt;
    }
    ++replies;
    const bool first = answered.emplace(what.offset, what.length).second;
    useful += first ? 1 : 0;
    return first;
}

std::string ClientTally::summary_line(std::string_view client) const {
    const auto share = [](std::uint64_t part, std::uint64_t whole) {
        return static_cast<double>(part) / static_cast<double>(whole);
    };
    const std::string per_chunk = useful == 0 ? "-" : format("{:.2f}", share(gets, useful));
    const std::string useful_percent = replies == 0 ? "-" : format("{:.1f}", 100 * share(useful, replies));
    return format(
        "{}: up {} down {}, GETs {}, replies {} (useful {}, duplicates {}), {} GETs per chunk, {} % useful, "
        "{:.2f} s",
        client, up, down, gets, replies, useful, replies - useful, per_chunk, useful_percent,
        static_cast<double>(last_ns - first_ns) / 1e9);
}

}  // namespace drovik::trace
