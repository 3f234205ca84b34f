#include "request.hpp"

// GCC 12 sees uninitialised members inside the standard regex compiler when
// sanitizers instrument it; the warning is a false positive in library code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <cassert>
#include <optional>
#include <regex>

#include "wire/message_header.hpp"
#include "wire/protocol.hpp"

namespace drovik {

request::request(const sockaddr_in& sender, const std::string& text, in_addr local)
    : valid(false), offset(0), byte_count(0), source(sender), destination(local) {
    // Compiled once per process; the pattern ends with a real LF byte.
    static const std::regex re("GET [[:digit:]]{1,9} [[:digit:]]{1,4}\n");
    if (!std::regex_match(text, re)) {
        return;
    }
    // The grammar guarantees both numbers fit; leading zeros carry no weight.
    const std::optional<MessageHeader> fields = read_message_header(text, "GET", HeaderForm::exact);
    assert(fields);
    offset = static_cast<std::uint32_t>(fields->offset);
    byte_count = static_cast<std::uint32_t>(fields->length);
    valid = offset <= MAX_REQUEST_OFFSET && byte_count - 1U < MAX_CHUNK_SIZE;
}

}  // namespace drovik
