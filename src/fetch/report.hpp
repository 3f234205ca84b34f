#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine.hpp"

namespace drovik::fetch {

// The lines drovik-fetch ends with, apart from the loop that gathers their figures.

struct ServerReport {
    std::string name;
    ServerStats stats;
};

struct Summary {
    std::uint64_t bytes = 0;  // written in this run
    double seconds = 0;
    std::vector<ServerReport> servers;
};

// --stats: "5000000 bytes in 9.12 s (548.2 kB/s), 3.71 GETs per chunk, 7812 replies,
// 2812 duplicates; 127.0.0.1:4000: 18550 GETs, 7812 replies, 5000 useful".
std::string summary_line(const Summary& summary);

// What one server did since the last new chunk came.
struct StallWitness {
    std::string name;
    int error = 0;                // the errno of the latest word about it, when an error
    std::uint64_t replies = 0;    // replies since, none of them new
    std::uint64_t malformed = 0;  // datagrams since that were no reply to the download
};

// "no new data for 30 s from 127.0.0.1:4000 (refused: nothing listens there)". When every
// chunk before `unanswered_from` is held and none from it on was ever answered, the line
// says so: the servers answer only part of the file.
std::string stall_message(std::uint32_t seconds, const std::vector<StallWitness>& servers,
                          std::optional<std::uint64_t> unanswered_from = std::nullopt);

// "interrupted with 120000 of 5000000 bytes (2.4 %) kept in FILE.part; --resume continues from there".
std::string interrupted_message(std::uint64_t done, std::uint64_t total, const std::string& part_path);
// "interrupted with 120000 of 5000000 bytes (2.4 %) written to NAME, which cannot be resumed".
std::string interrupted_stream_message(std::uint64_t done, std::uint64_t total, const std::string& name);

}  // namespace drovik::fetch
