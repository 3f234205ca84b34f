#include "trace/client_table.hpp"

#include <cassert>

namespace drovik::trace {

std::optional<std::size_t> ClientTable::find(std::uint64_t key) const {
    const auto found = by_key.find(key);
    if (found == by_key.end()) {
        return std::nullopt;
    }
    return found->second->client;
}

void ClientTable::add(std::uint64_t key, std::size_t client, std::int64_t now_ns) {
    assert(!by_key.contains(key));
    by_key.emplace(key, order.insert(order.end(), {key, client, now_ns}));
}

void ClientTable::touch(std::uint64_t key, std::int64_t now_ns) {
    const auto found = by_key.find(key);
    if (found == by_key.end()) {
        return;
    }
    found->second->active_ns = now_ns;
    order.splice(order.end(), order, found->second);
}

void ClientTable::remove(std::uint64_t key) {
    const auto found = by_key.find(key);
    if (found != by_key.end()) {
        order.erase(found->second);
        by_key.erase(found);
    }
}

}  // namespace drovik::trace
