#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "trace/csv.hpp"
#include "trace/tally.hpp"

namespace drovik::trace {

// Every client the relay has met, in bounded memory whatever the senders do. Up to `live_limit`
// are live, each in a slot of its own, known by the key of its address; the others are gone,
// their figures kept for the summary. Past `line_limit` clients kept, the figures of gone ones
// are folded together, those the server never answered first, so that the summary has at most
// `line_limit` client lines and a last one for all those folded.
class ClientPool {
public:
    struct Record {
        std::string name;
        ClientTally tally;
        bool answered = false;  // a datagram came down for it
    };
    // The live client in `slot`, last active at `active_ns`.
    struct Quiet {
        std::size_t slot;
        std::int64_t active_ns;
    };

    ClientPool(std::size_t live_limit, std::size_t line_limit);

    std::optional<std::size_t> find(std::uint64_t key) const;
    bool full() const { return free_slots.empty(); }
    // A live client for `key`, active at `now_ns`, when the pool is not full: its slot.
    std::size_t add(std::uint64_t key, std::string name, std::int64_t now_ns);
    const std::string& name(std::size_t slot) const { return slots[slot].record->name; }
    // Counts a datagram of the live client in `slot` (see ClientTally::count): the client was
    // active at `now_ns`, and one that a datagram came down for was answered.
    std::optional<bool> count(std::size_t slot, Direction direction, const Classified& what, Fate fate,
                              std::int64_t now_ns);
    void count_network_error(std::size_t slot) { slots[slot].record->tally.count_network_error(); }
    // The live client is gone: its slot is free, its figures stay.
    void forget(std::size_t slot);

    // The client to let go for a new one, among those `may_go` lets go: the least recently
    // active of those the server never answered, else the least recently active.
    template <class MayGo>
    std::optional<std::size_t> to_evict(MayGo may_go) const {
        std::optional<Quiet> chosen = oldest(waiting, may_go);
        if (!chosen) {
            chosen = oldest(talking, may_go);
        }
        return chosen ? std::optional(chosen->slot) : std::nullopt;
    }
    // The least recently active client `may_go` lets go.
    template <class MayGo>
    std::optional<Quiet> quietest(MayGo may_go) const {
        const std::optional<Quiet> a = oldest(waiting, may_go);
        const std::optional<Quiet> b = oldest(talking, may_go);
        return !a || (b && b->active_ns < a->active_ns) ? b : a;
    }
    template <class Visit>
    void for_each_live(Visit visit) const {
        for (const std::list<std::size_t>* order : {&waiting, &talking}) {
            for (const std::size_t slot : *order) {
                visit(slot);
            }
        }
    }

    // The clients kept, in the order they came, then how many were folded and their figures.
    const std::list<Record>& records() const { return kept; }
    std::uint64_t folded() const { return folded_count; }
    const ClientTally& folded_tally() const { return folded_figures; }

private:
    using RecordPlace = std::list<Record>::iterator;
    struct Slot {
        std::uint64_t key = 0;
        RecordPlace record;
        std::int64_t active_ns = 0;
        std::list<std::size_t>::iterator place;  // in `waiting` or `talking`
    };

    template <class MayGo>
    std::optional<Quiet> oldest(const std::list<std::size_t>& order, MayGo may_go) const {
        for (const std::size_t slot : order) {
            if (may_go(slot)) {
                return Quiet{slot, slots[slot].active_ns};
            }
        }
        return std::nullopt;
    }
    void fold_one();

    std::size_t line_limit;
    std::vector<Slot> slots;
    std::vector<std::size_t> free_slots;
    std::unordered_map<std::uint64_t, std::size_t> by_key;
    // Live slots, least recently active first: those never answered, and the others.
    std::list<std::size_t> waiting;
    std::list<std::size_t> talking;
    std::list<Record> kept;
    // Gone clients' records, first gone first: never answered, and the others.
    std::list<RecordPlace> gone_waiting;
    std::list<RecordPlace> gone_talking;
    std::uint64_t folded_count = 0;
    ClientTally folded_figures;
};

}  // namespace drovik::trace
