#include "trace/tally.hpp"

#include <algorithm>

#include "system/format.hpp"
#include "wire/protocol.hpp"

namespace drovik::trace {

bool AnsweredRanges::insert(std::uint64_t offset, std::uint64_t length) {
    if (length != MAX_CHUNK_SIZE || offset % MAX_CHUNK_SIZE != 0 || offset > MAX_REQUEST_OFFSET) {
        return others.emplace(offset, length).second;
    }
    const std::uint64_t chunk = offset / MAX_CHUNK_SIZE;
    if (chunk >= chunks.size()) {
        chunks.resize(chunk + 1);
    }
    const bool first = !chunks[chunk];
    chunks[chunk] = true;
    return first;
}

void AnsweredRanges::clear() {
    chunks = {};
    others = {};
}

std::optional<bool> ClientTally::count(Direction direction, const Classified& what, Fate fate,
                                       std::int64_t now_ns) {
    if (!counted_any) {
        counted_any = true;
        first_ns = now_ns;
    }
    last_ns = now_ns;
    Shaped& path = shaped[direction == Direction::up ? 0 : 1];
    path.lost += fate == Fate::lost ? 1 : 0;
    path.copied += fate == Fate::copy ? 1 : 0;
    path.overflow += fate == Fate::overflow ? 1 : 0;
    if (direction == Direction::up) {
        if (fate != Fate::copy) {
            ++up;
            gets += what.kind == Kind::get ? 1 : 0;
        }
        return std::nullopt;
    }
    if (fate == Fate::lost || fate == Fate::overflow) {
        return std::nullopt;
    }
    ++down;
    if (what.kind != Kind::data) {
        return std::nullopt;
    }
    ++replies;
    const bool first = answered.insert(what.offset, what.length);
    useful += first ? 1 : 0;
    return first;
}

void ClientTally::add(const ClientTally& other) {
    if (!other.counted_any) {
        return;
    }
    first_ns = counted_any ? std::min(first_ns, other.first_ns) : other.first_ns;
    last_ns = counted_any ? std::max(last_ns, other.last_ns) : other.last_ns;
    counted_any = true;
    up += other.up;
    down += other.down;
    gets += other.gets;
    replies += other.replies;
    useful += other.useful;
    for (std::size_t k = 0; k < shaped.size(); ++k) {
        shaped[k].lost += other.shaped[k].lost;
        shaped[k].copied += other.shaped[k].copied;
        shaped[k].overflow += other.shaped[k].overflow;
    }
    network_errors += other.network_errors;
}

std::string ClientTally::summary_line(std::string_view client, bool shaped_path) const {
    const auto share = [](std::uint64_t part, std::uint64_t whole) {
        return static_cast<double>(part) / static_cast<double>(whole);
    };
    const std::string per_chunk = useful == 0 ? "-" : format("{:.2f}", share(gets, useful));
    const std::string useful_percent = replies == 0 ? "-" : format("{:.1f}", 100 * share(useful, replies));
    std::string line = format(
        "{}: up {} down {}, GETs {}, replies {} (useful {}, duplicates {}), {} GETs per chunk, {} % useful, "
        "{:.2f} s",
        client, up, down, gets, replies, useful, replies - useful, per_chunk, useful_percent,
        static_cast<double>(last_ns - first_ns) / 1e9);
    if (shaped_path) {
        line += format("; up: lost {}, copied {}, overflow {}; down: lost {}, copied {}, overflow {}",
                       shaped[0].lost, shaped[0].copied, shaped[0].overflow, shaped[1].lost, shaped[1].copied,
                       shaped[1].overflow);
    }
    if (network_errors > 0) {
        line += format("; network errors {}", network_errors);
    }
    return line;
}

}  // namespace drovik::trace
