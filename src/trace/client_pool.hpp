#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

namespace drovik::trace {

// The clients being relayed, each known by the key of its address and named by its place
// in the relay's list of all clients, kept from the least recently active to the most: the
// first is the one to forget when the table is full or it has been quiet too long.
class ClientTable {
public:
    struct Entry {
        std::uint64_t key;
        std::size_t client;
        std::int64_t active_ns;  // when it was last active
    };

    explicit ClientTable(std::size_t capacity) : capacity(capacity) {}

    bool full() const { return order.size() >= capacity; }
    std::optional<std::size_t> find(std::uint64_t key) const;
    // Adds a client that is not in the table, as the most recently active.
    void add(std::uint64_t key, std::size_t client, std::int64_t now_ns);
    // The client at `key`, if it is in the table, was active at `now_ns`.
    void touch(std::uint64_t key, std::int64_t now_ns);
    void remove(std::uint64_t key);

    // The least recently active entry whose client `may_go` lets go, or nothing.
    template <class MayGo>
    std::optional<Entry> least_recent(MayGo may_go) const {
        for (const Entry& entry : order) {
            if (may_go(entry.client)) {
                return entry;
            }
        }
        return std::nullopt;
    }

    // From the least recently active to the most.
    auto begin() const { return order.begin(); }
    auto end() const { return order.end(); }

private:
    std::size_t capacity;
    std::list<Entry> order;
    std::unordered_map<std::uint64_t, std::list<Entry>::iterator> by_key;
};

}  // namespace drovik::trace
