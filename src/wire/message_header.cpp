#include "wire/message_header.hpp"

#include <charconv>
#include <sstream>
#include <string>
#include <system_error>

namespace drovik {

namespace {

// Reads the digits at the front of `text` up to `stop`, and drops them and `stop` from it.
std::optional<std::uint64_t> take_number(std::string_view& text, char stop) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || last == end || *last != stop) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(last - text.data()) + 1);
    return value;
}

std::optional<MessageHeader> read_exact(std::string_view datagram, std::string_view keyword) {
    std::string_view rest = datagram;
    if (!rest.starts_with(keyword) || !rest.substr(keyword.size()).starts_with(' ')) {
        return std::nullopt;
    }
    rest.remove_prefix(keyword.size() + 1);
    const std::optional<std::uint64_t> offset = take_number(rest, ' ');
    if (!offset) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> length = take_number(rest, '\n');
    if (!length) {
        return std::nullopt;
    }
    return MessageHeader{*offset, *length, datagram.size() - rest.size()};
}

std::optional<MessageHeader> read_lenient(std::string_view datagram, std::string_view keyword) {
    const std::size_t lf = datagram.find('\n');
    if (lf == std::string_view::npos) {
        return std::nullopt;
    }
    // A failed read only sets the stream's state here; it never throws.
    std::istringstream header{std::string(datagram.substr(0, lf))};
    std::string word;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    if (!(header >> word >> offset >> length) || word != keyword) {
        return std::nullopt;
    }
    return MessageHeader{offset, length, lf + 1};
}

}  // namespace

std::optional<MessageHeader> read_message_header(std::string_view datagram, std::string_view keyword,
                                                 HeaderForm form) {
    return form == HeaderForm::exact ? read_exact(datagram, keyword) : read_lenient(datagram, keyword);
}

}  // namespace drovik
