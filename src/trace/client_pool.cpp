#include "trace/client_pool.hpp"

#include <cassert>

namespace drovik::trace {

ClientPool::ClientPool(std::size_t live_limit, std::size_t line_limit)
    : line_limit(line_limit), slots(live_limit) {
    assert(line_limit > live_limit);
    for (std::size_t slot = live_limit; slot-- > 0;) {
        free_slots.push_back(slot);
    }
}

std::optional<std::size_t> ClientPool::find(std::uint64_t key) const {
    const auto found = by_key.find(key);
    if (found == by_key.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::size_t ClientPool::add(std::uint64_t key, std::string name, std::int64_t now_ns) {
    assert(!full() && !by_key.contains(key));
    const std::size_t slot = free_slots.back();
    free_slots.pop_back();
    kept.push_back({std::move(name), {}, false});
    slots[slot] = {key, std::prev(kept.end()), now_ns, waiting.insert(waiting.end(), slot)};
    by_key.emplace(key, slot);
    if (kept.size() > line_limit) {
        fold_one();
    }
    return slot;
}

std::optional<bool> ClientPool::count(std::size_t slot, Direction direction, const Classified& what,
                                      Fate fate, std::int64_t now_ns) {
    Slot& live = slots[slot];
    live.active_ns = now_ns;
    if (direction == Direction::down && !live.record->answered) {
        live.record->answered = true;
        talking.splice(talking.end(), waiting, live.place);
    } else {
        std::list<std::size_t>& order = live.record->answered ? talking : waiting;
        order.splice(order.end(), order, live.place);
    }
    return live.record->tally.count(direction, what, fate, now_ns);
}

void ClientPool::forget(std::size_t slot) {
    Slot& live = slots[slot];
    live.record->tally.forget_ranges();
    (live.record->answered ? talking : waiting).erase(live.place);
    (live.record->answered ? gone_talking : gone_waiting).push_back(live.record);
    by_key.erase(live.key);
    free_slots.push_back(slot);
}

// Live clients are fewer than the line limit, so past it there is always a gone one to fold.
void ClientPool::fold_one() {
    std::list<RecordPlace>& from = gone_waiting.empty() ? gone_talking : gone_waiting;
    assert(!from.empty());
    folded_figures.add(from.front()->tally);
    ++folded_count;
    kept.erase(from.front());
    from.pop_front();
}

}  // namespace drovik::trace
