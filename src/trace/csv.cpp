#include "trace/csv.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>
#include <vector>

#include "system/format.hpp"

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

namespace {
constexpr std::array FATES = {Fate::relayed, Fate::copy, Fate::lost, Fate::overflow};
constexpr std::array KINDS = {Kind::get, Kind::data, Kind::other};

// The line's fields, unquoted; nothing when a quote is out of place.
std::optional<std::vector<std::string>> split_fields(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"' && (quoted || fields.back().empty())) {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return quoted ? std::nullopt : std::optional(std::move(fields));
}

template <typename Number>
bool read_number(std::string_view text, Number& value) {
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc{} && stop == end;
}

bool read_seconds(std::string_view text, std::int64_t& ns) {
    const std::size_t dot = text.find('.');
    std::int64_t seconds = 0;
    std::int64_t micros = 0;
    if (dot == std::string_view::npos || text.size() - dot != 7 ||
        !read_number(text.substr(0, dot), seconds) || !read_number(text.substr(dot + 1), micros) ||
        seconds < 0 || micros < 0) {
        return false;
    }
    ns = seconds * 1000000000 + micros * 1000;
    return true;
}

// The value among `values` whose name is `text`.
template <typename Value, std::size_t N, typename Name>
std::optional<Value> named(const std::array<Value, N>& values, Name name, std::string_view text) {
    for (const Value value : values) {
        if (name(value) == text) {
            return value;
        }
    }
    return std::nullopt;
}

bool read_row(const std::vector<std::string>& fields, TraceRow& row) {
    const auto kind = named(KINDS, kind_name, fields[3]);
    const auto fate = named(FATES, fate_name, fields[8]);
    const bool numbered = kind && *kind != Kind::other;
    row.what = {kind.value_or(Kind::other), 0, 0};
    row.direction = fields[2] == "up" ? Direction::up : Direction::down;
    row.first = fields[7].empty() ? std::nullopt : std::optional(fields[7] == "1");
    row.fate = fate.value_or(Fate::relayed);
    return kind && fate && (fields[2] == "up" || fields[2] == "down") &&
           read_seconds(fields[0], row.time_ns) &&
           (numbered ? read_number(fields[4], row.what.offset) && read_number(fields[5], row.what.length)
                     : fields[4].empty() && fields[5].empty()) &&
           read_number(fields[6], row.bytes) && (fields[7].empty() || fields[7] == "0" || fields[7] == "1");
}
}  // namespace

CsvReader::CsvReader(std::istream& in) : in(in) {
    if (!std::getline(in, line) || line + '\n' != CSV_HEADER) {
        throw std::runtime_error("not a drovik-trace CSV: its first line is not the trace's header");
    }
}

std::optional<TraceRow> CsvReader::next() {
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    // A quoted field may hold line breaks: the row goes on until its quotes pair up.
    for (std::string more; std::count(line.begin(), line.end(), '"') % 2 != 0 && std::getline(in, more);) {
        line += '\n' + more;
    }
    const auto fields = split_fields(line);
    TraceRow row{};
    if (in.eof() || !fields || fields->size() != 9 || !read_row(*fields, row)) {
        throw std::runtime_error("not a row of a drovik-trace CSV: " + line);
    }
    client = (*fields)[1];
    row.client = client;
    return row;
}

}  // namespace drovik::trace
