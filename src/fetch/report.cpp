#include "report.hpp"

#include <cerrno>
#include <cstring>

#include "progress.hpp"
#include "system/format.hpp"

namespace drovik::fetch {

namespace {

std::string server_part(const ServerReport& server) {
    return format("{}: {} GETs, {} replies, {} useful", server.name, server.stats.gets, server.stats.replies,
                  server.stats.useful);
}

std::string witness_part(const StallWitness& server) {
    if (server.error == ECONNREFUSED) {
        return format("{} (refused: nothing listens there)", server.name);
    }
    if (server.error != 0) {
        return format("{} (unreachable: {})", server.name, std::strerror(server.error));
    }
    if (server.replies == 0 && server.malformed > 0) {
        return format("{} ({} malformed replies)", server.name, server.malformed);
    }
    if (server.replies == 0) {
        return format("{} (no reply)", server.name);
    }
    return format("{} ({} replies, none new)", server.name, server.replies);
}

std::string interrupted_part(std::uint64_t done, std::uint64_t total) {
    const double percent = 100.0 * static_cast<double>(done) / static_cast<double>(total);
    return format("interrupted with {} of {} bytes ({:.1f} %)", done, total, percent);
}

}  // namespace

std::string summary_line(const Summary& summary) {
    ServerStats total;
    for (const ServerReport& server : summary.servers) {
        total.gets += server.stats.gets;
        total.replies += server.stats.replies;
        total.useful += server.stats.useful;
    }
    const double rate = summary.seconds > 0 ? static_cast<double>(summary.bytes) / summary.seconds : 0;
    // Per chunk taken, whether or not it reached the file before the end.
    const double gets_per_chunk =
        total.useful == 0 ? 0 : static_cast<double>(total.gets) / static_cast<double>(total.useful);
    std::string line = format("{} bytes in {:.2f} s ({}/s), {:.2f} GETs per chunk, {} replies, {} duplicates",
                              summary.bytes, summary.seconds, format_bytes(rate), gets_per_chunk,
                              total.replies, total.replies - total.useful);
    for (const ServerReport& server : summary.servers) {
        line += "; " + server_part(server);
    }
    return line;
}

std::string stall_message(std::uint32_t seconds, const std::vector<StallWitness>& servers,
                          std::optional<std::uint64_t> unanswered_from) {
    std::string line = format("no new data for {} s from ", seconds);
    for (std::size_t k = 0; k < servers.size(); ++k) {
        line += (k == 0 ? "" : ", ") + witness_part(servers[k]);
    }
    if (unanswered_from) {
        line += format("; nothing from offset {} on was ever answered", *unanswered_from);
    }
    return line;
}

std::string interrupted_message(std::uint64_t done, std::uint64_t total, const std::string& part_path) {
    return format("{} kept in {}; --resume continues from there", interrupted_part(done, total), part_path);
}

std::string interrupted_stream_message(std::uint64_t done, std::uint64_t total, const std::string& name) {
    return format("{} written to {}, which cannot be resumed", interrupted_part(done, total), name);
}

}  // namespace drovik::fetch
