#include "engine.hpp"

#include <algorithm>

#include "net/chunk_reply.hpp"

namespace drovik::fetch {

namespace {
constexpr Nanos MS = 1000000;
constexpr double RATE_PER_SECOND = 1500;  // provisional fixed pacing
constexpr Nanos TIMEOUT = 2000 * MS;
constexpr Nanos END_GAME_SPACING = 200 * MS;
}  // namespace

Engine::Engine(const EngineConfig& config, Nanos now)
    : chunk_total(chunk_count(config.file_size)),
      first(std::min(config.first_chunk, chunk_total)),
      next_new(first),
      slots(config.window),
      server_stats(config.servers),
      last_tick(now) {}

bool Engine::on_reply(std::size_t server, std::uint64_t chunk, Nanos) {
    ++server_stats[server].replies;
    if (chunk < first || chunk >= next_new || slot(chunk).have) {
        return false;
    }
    slot(chunk).have = true;
    ++server_stats[server].useful;
    while (first < next_new && slot(first).have) {
        slot(first) = Slot{};
        ++first;
    }
    return true;
}

void Engine::on_refused(std::size_t, Nanos) {}

void Engine::on_tick(Nanos now, const Send& send) {
    tokens = std::min(tokens + RATE_PER_SECOND * static_cast<double>(now - last_tick) / 1e9, 4.0);
    last_tick = now;
    while (tokens >= 1 && !done()) {
        while (!asked.empty() && (asked.front().second < first || slot(asked.front().second).have ||
                                  slot(asked.front().second).last_send != asked.front().first)) {
            asked.pop_front();
        }
        std::uint64_t chunk = 0;
        const bool new_chunk = next_new < chunk_total && next_new < first + slots.size();
        if (!asked.empty() && now - asked.front().first >= TIMEOUT) {
            chunk = asked.front().second;
        } else if (new_chunk) {
            chunk = next_new++;
        } else if (!asked.empty() && now - asked.front().first >= END_GAME_SPACING) {
            chunk = asked.front().second;
        } else {
            return;
        }
        slot(chunk).last_send = now;
        asked.emplace_back(now, chunk);
        const std::size_t server = next_server;
        next_server = (next_server + 1) % server_stats.size();
        ++server_stats[server].gets;
        send(server, chunk);
        tokens -= 1;
    }
}

Nanos Engine::next_wake(Nanos now) const {
    return now + MS;
}

}  // namespace drovik::fetch
