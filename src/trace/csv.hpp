#pragma once
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "pathsim/fate.hpp"
#include "trace/classify.hpp"

namespace drovik::trace {

// One datagram as the trace records it.
struct TraceRow {
    std::int64_t time_ns;  // since the trace's first datagram
    std::string_view client;
    Direction direction;
    Classified what;
    std::size_t bytes;
    std::optional<bool> first;  // down DATA rows that left only: the first reply for its range
    Fate fate;
};

inline constexpr std::string_view CSV_HEADER = "time,client,direction,kind,offset,length,bytes,first,fate\n";

// The text as one CSV field: quoted, with quotes doubled, when it holds a comma, quote or line break.
std::string csv_field(std::string_view text);

// Nanoseconds as seconds with exactly six decimals (microseconds, truncated).
std::string csv_seconds(std::int64_t ns);

// The row as one CSV line, LF included.
std::string csv_row(const TraceRow& row);

// Reads a trace back as csv_row wrote it, one row at a time.
class CsvReader {
public:
    // Reads the header: a text that does not start with CSV_HEADER raises.
    explicit CsvReader(std::istream& in);

    // The next row, its client valid until the next call; nothing at the end. A line that is
    // not such a row, a cut last one included, raises.
    std::optional<TraceRow> next();

private:
    std::istream& in;
    std::string line;
    std::string client;
};

}  // namespace drovik::trace
