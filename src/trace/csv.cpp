#include "trace/csv.hpp"

#include "net/format.hpp"

namespace drovik::trace {

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

std::string csv_seconds(std::int64_t ns) {
    return format("{}.{:06}", ns / 1000000000, ns % 1000000000 / 1000);
}

namespace {
std::string_view fate_name(Fate fate) {
    switch (fate) {
    case Fate::relayed:
        return "relayed";
    case Fate::copy:
        return "copy";
    case Fate::lost:
        return "lost";
    case Fate::overflow:
        break;
    }
    return "overflow";
}
}  // namespace

std::string csv_row(const TraceRow& row) {
    const bool numbered = row.what.kind != Kind::other;
    return format("{},{},{},{},{},{},{},{},{}\n", csv_seconds(row.time_ns), csv_field(row.client),
                  row.direction == Direction::up ? "up" : "down", kind_name(row.what.kind),
                  numbered ? std::to_string(row.what.offset) : "",
                  numbered ? std::to_string(row.what.length) : "", row.bytes,
                  row.first ? (*row.first ? "1" : "0") : "", fate_name(row.fate));
}

}  // namespace drovik::trace
